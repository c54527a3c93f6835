#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "format.h"

namespace uvccam {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kControlInterface = 0;
constexpr uint8_t kStreamingInterface = 1;
constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
// gadgetfs cuts every control reply at 256 bytes, its own replies with the
// configuration descriptor included.
constexpr size_t kControlReplyLimit = 256;

Bytes device_descriptor();

// The whole configuration: a UVC 1.00 function with a camera terminal, an
// output terminal and one streaming interface whose single bulk endpoint
// (alternate setting 0, as UVC has it for bulk) carries the frames.
Bytes configuration_descriptor(const std::vector<Format>& formats, uint32_t frame_interval,
                               uint8_t endpoint_address, uint16_t max_packet);

Bytes endpoint_descriptor(uint8_t endpoint_address, uint16_t max_packet);

// String descriptor `index` (0: the language list), empty if there is none.
Bytes string_descriptor(uint8_t index, const std::string& manufacturer,
                        const std::string& product);

}  // namespace uvccam
