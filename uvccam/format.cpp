#include "format.h"

#include <cstring>

namespace uvccam {

namespace {

const PixelFormat kPixelFormats[] = {
    {"Y16", {0x59, 0x31, 0x36, 0x20, 0x00, 0x00, 0x10, 0x00,
             0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}, 16, false},
    {"BGR3", {0x7d, 0xeb, 0x36, 0xe4, 0x4f, 0x52, 0xce, 0x11,
              0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70}, 24, false},
    {"YU12", {0x49, 0x34, 0x32, 0x30, 0x00, 0x00, 0x10, 0x00,
              0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}, 12, true},
    // What most webcams offer; thermal cameras carry raw 16-bit pixels in it.
    {"YUYV", {0x59, 0x55, 0x59, 0x32, 0x00, 0x00, 0x10, 0x00,
              0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}, 16, false},
};

constexpr uint32_t kByteMix = 2654435761u;
constexpr uint32_t kFrameMix = 40503u;
constexpr unsigned kStampBits = 32;

void stamp_yuv420(FrameSize size, uint32_t number, uint8_t* frame) {
    for (unsigned bit = 0; bit < kStampBits; ++bit) frame[bit] = (number >> bit) & 1 ? 255 : 0;
    const size_t luma = size_t(size.width) * size.height;
    const size_t chroma = luma / 4;
    std::memset(frame + luma, 128, kStampBits / 2);
    std::memset(frame + luma + chroma, 128, kStampBits / 2);
}

void stamp_le32(uint32_t number, uint8_t* frame) {
    for (unsigned i = 0; i < 4; ++i) frame[i] = uint8_t(number >> (8 * i));
}

}  // namespace

const PixelFormat* find_pixel_format(const std::string& name) {
    for (const PixelFormat& pixel : kPixelFormats) {
        if (name == pixel.name) return &pixel;
    }
    return nullptr;
}

size_t frame_bytes(const PixelFormat& pixel, FrameSize size) {
    return size_t(size.width) * size.height * pixel.bits_per_pixel / 8;
}

void fill_frame(const PixelFormat& pixel, FrameSize size, uint32_t number,
                std::vector<uint8_t>& out) {
    out.resize(frame_bytes(pixel, size));
    const uint32_t offset = number * kFrameMix;
    for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t((uint32_t(i) * kByteMix + offset) >> 24);
    if (pixel.planar_yuv420)
        stamp_yuv420(size, number, out.data());
    else
        stamp_le32(number, out.data());
}

}  // namespace uvccam
