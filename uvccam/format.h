#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace uvccam {

struct FrameSize {
    uint16_t width;
    uint16_t height;
};

// An uncompressed format as uvcvideo knows it: the GUID it maps to a V4L2
// pixel format and the bits per pixel it derives the line length from.
struct PixelFormat {
    const char* name;  // as given on the command line
    uint8_t guid[16];
    uint8_t bits_per_pixel;
    bool planar_yuv420;  // Y plane, then the quarter-size Cb and Cr planes
};

struct Format {
    const PixelFormat* pixel;
    std::vector<FrameSize> sizes;
};

// nullptr for a name that is not one of "Y16", "BGR3", "YU12", "YUYV".
const PixelFormat* find_pixel_format(const std::string& name);

size_t frame_bytes(const PixelFormat& pixel, FrameSize size);

// The frame a camera sends as its frame `number`: every byte depends on the
// number, so a frame put together from two frames, or the wrong frame, shows.
// The number itself is stamped where a capture can read it back:
//   Y16, BGR3, YUYV: bytes 0..3, little-endian (the first two 16-bit pixels);
//   YU12: the first 32 luma samples of row 0 are 255 for a set bit, 0 for a
//   clear one (bit 0 first), and their chroma samples are 128, so the RGB of
//   those pixels is exactly black or white.
void fill_frame(const PixelFormat& pixel, FrameSize size, uint32_t number,
                std::vector<uint8_t>& out);

}  // namespace uvccam
