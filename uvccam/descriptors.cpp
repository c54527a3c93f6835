#include "descriptors.h"

#include <linux/usb/ch9.h>
#include <linux/usb/video.h>

namespace uvccam {

namespace {

// pid.codes' test vendor and product: no quirk table of uvcvideo knows them.
constexpr uint16_t kVendor = 0x1209;
constexpr uint16_t kProduct = 0x0001;
constexpr uint32_t kClockHz = 48000000;
constexpr uint8_t kCameraTerminal = 1;
constexpr uint8_t kOutputTerminal = 2;

void put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void put32(Bytes& b, uint32_t v) {
    put16(b, uint16_t(v));
    put16(b, uint16_t(v >> 16));
}

void set16(Bytes& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

Bytes interface_descriptor(uint8_t number, uint8_t endpoints, uint8_t subclass) {
    return {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, number, 0, endpoints,
            USB_CLASS_VIDEO, subclass, 0, 0};
}

// The class-specific control interface: header, camera terminal (no
// controls, so uvcvideo queries none at probe), output terminal.
Bytes control_descriptors() {
    Bytes b = {13, USB_DT_CS_INTERFACE, UVC_VC_HEADER};
    put16(b, 0x0100);
    const size_t total_at = b.size();
    put16(b, 0);
    put32(b, kClockHz);
    b.push_back(1);
    b.push_back(kStreamingInterface);

    b.insert(b.end(), {15, USB_DT_CS_INTERFACE, UVC_VC_INPUT_TERMINAL, kCameraTerminal});
    put16(b, UVC_ITT_CAMERA);
    b.insert(b.end(), {0, 0});
    put16(b, 0);
    put16(b, 0);
    put16(b, 0);
    b.push_back(0);  // bControlSize

    b.insert(b.end(), {9, USB_DT_CS_INTERFACE, UVC_VC_OUTPUT_TERMINAL, kOutputTerminal});
    put16(b, UVC_TT_STREAMING);
    b.insert(b.end(), {0, kCameraTerminal, 0});

    set16(b, total_at, uint16_t(b.size()));
    return b;
}

void append_frame(Bytes& b, const PixelFormat& pixel, FrameSize size, uint8_t index,
                  uint32_t frame_interval) {
    const uint32_t bytes = uint32_t(frame_bytes(pixel, size));
    const uint32_t bits_per_second = uint32_t(uint64_t(bytes) * 8 * 10000000 / frame_interval);
    b.insert(b.end(), {30, USB_DT_CS_INTERFACE, UVC_VS_FRAME_UNCOMPRESSED, index, 0});
    put16(b, size.width);
    put16(b, size.height);
    put32(b, bits_per_second);
    put32(b, bits_per_second);
    put32(b, bytes);
    put32(b, frame_interval);
    b.push_back(1);  // one discrete interval
    put32(b, frame_interval);
}

Bytes streaming_descriptors(const std::vector<Format>& formats, uint32_t frame_interval,
                            uint8_t endpoint_address) {
    // Input header without per-format controls (bControlSize 0).
    Bytes b = {13, USB_DT_CS_INTERFACE, UVC_VS_INPUT_HEADER, uint8_t(formats.size())};
    const size_t total_at = b.size();
    put16(b, 0);
    b.insert(b.end(), {endpoint_address, 0, kOutputTerminal, 0, 0, 0, 0});
    uint8_t format_index = 0;
    for (const Format& format : formats) {
        b.insert(b.end(), {27, USB_DT_CS_INTERFACE, UVC_VS_FORMAT_UNCOMPRESSED, ++format_index,
                           uint8_t(format.sizes.size())});
        b.insert(b.end(), format.pixel->guid, format.pixel->guid + 16);
        b.insert(b.end(), {format.pixel->bits_per_pixel, 1, 0, 0, 0, 0});
        uint8_t frame_index = 0;
        for (FrameSize size : format.sizes)
            append_frame(b, *format.pixel, size, ++frame_index, frame_interval);
    }
    set16(b, total_at, uint16_t(b.size()));
    return b;
}

}  // namespace

Bytes device_descriptor() {
    Bytes b = {USB_DT_DEVICE_SIZE, USB_DT_DEVICE};
    put16(b, 0x0200);
    // Class per interface: uvcvideo binds to the video control interface.
    b.insert(b.end(), {0, 0, 0, 64});
    put16(b, kVendor);
    put16(b, kProduct);
    put16(b, 0x0100);
    b.insert(b.end(), {kManufacturerString, kProductString, 0, 1});
    return b;
}

Bytes endpoint_descriptor(uint8_t endpoint_address, uint16_t max_packet) {
    Bytes b = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, endpoint_address, USB_ENDPOINT_XFER_BULK};
    put16(b, max_packet);
    b.push_back(0);
    return b;
}

Bytes configuration_descriptor(const std::vector<Format>& formats, uint32_t frame_interval,
                               uint8_t endpoint_address, uint16_t max_packet) {
    Bytes b = {USB_DT_CONFIG_SIZE, USB_DT_CONFIG, 0, 0, 2, kConfigurationValue, 0,
               USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER, 1};
    auto append = [&b](const Bytes& part) { b.insert(b.end(), part.begin(), part.end()); };
    append(interface_descriptor(kControlInterface, 0, UVC_SC_VIDEOCONTROL));
    append(control_descriptors());
    append(interface_descriptor(kStreamingInterface, 1, UVC_SC_VIDEOSTREAMING));
    append(streaming_descriptors(formats, frame_interval, endpoint_address));
    append(endpoint_descriptor(endpoint_address, max_packet));
    set16(b, 2, uint16_t(b.size()));
    return b;
}

Bytes string_descriptor(uint8_t index, const std::string& manufacturer,
                        const std::string& product) {
    if (index == 0) return {4, USB_DT_STRING, 0x09, 0x04};  // US English
    const std::string* text = index == kManufacturerString ? &manufacturer
                              : index == kProductString    ? &product
                                                           : nullptr;
    if (!text) return {};
    // ASCII names only (checked on the command line): one UTF-16LE unit each.
    Bytes b = {uint8_t(2 + 2 * text->size()), USB_DT_STRING};
    for (char c : *text) put16(b, uint8_t(c));
    return b;
}

}  // namespace uvccam
