#pragma once
#include <cstdint>
#include <vector>

#include "descriptors.h"
#include "format.h"

namespace uvccam {

// The UVC 1.00 video probe and commit control: 26 bytes on the wire.
struct StreamingParameters {
    uint16_t hint = 0;
    uint8_t format_index = 1;  // 1-based, as in the descriptors
    uint8_t frame_index = 1;
    uint32_t frame_interval = 0;  // 100 ns units
    uint32_t max_video_frame_size = 0;
    uint32_t max_payload_transfer_size = 0;

    static constexpr size_t kWireSize = 26;
    Bytes encode() const;
    static StreamingParameters decode(const uint8_t* data, size_t length);
};

// What the camera agrees to: the host's format and frame indices brought into
// range, our one frame interval, the frame size and payload size we send.
class Negotiation {
public:
    Negotiation(const std::vector<Format>& formats, uint32_t frame_interval,
                uint32_t max_payload);

    StreamingParameters defaults() const;
    StreamingParameters settle(StreamingParameters asked) const;

    const PixelFormat& pixel(const StreamingParameters& p) const;
    FrameSize size(const StreamingParameters& p) const;

private:
    const std::vector<Format>& formats_;
    uint32_t frame_interval_;
    uint32_t max_payload_;
};

}  // namespace uvccam
