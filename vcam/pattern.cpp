// The frames the camera draws (a pattern that names its frame in every pixel) and the
// buffer geometry a UVC driver answers for each format.
#include "pattern.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>

namespace vcam {
namespace {

bool is_planar_420(uint32_t f) {
    return f == V4L2_PIX_FMT_YUV420 || f == V4L2_PIX_FMT_YVU420 || f == V4L2_PIX_FMT_NV12 || f == V4L2_PIX_FMT_NV21;
}
bool is_compressed(uint32_t f) { return f == V4L2_PIX_FMT_MJPEG || f == V4L2_PIX_FMT_JPEG || f == V4L2_PIX_FMT_H264; }

uint32_t bytes_per_pixel(uint32_t f) {
    if (f == V4L2_PIX_FMT_GREY || is_planar_420(f)) return 1;
    if (f == V4L2_PIX_FMT_BGR24 || f == V4L2_PIX_FMT_RGB24) return 3;
    if (f == V4L2_PIX_FMT_BGR32 || f == V4L2_PIX_FMT_RGB32 || f == V4L2_PIX_FMT_XBGR32) return 4;
    return 2;  // Y16, YUYV, UYVY, RGBP and whatever else a test invents
}

// Writes one little-endian 16-bit value if it lies wholly inside the frame.
void put16(uint8_t *out, uint64_t size, uint64_t offset, uint32_t value) {
    if (offset + 2 > size) return;
    out[offset] = uint8_t(value);
    out[offset + 1] = uint8_t(value >> 8);
}

void put8(uint8_t *out, uint64_t size, uint64_t offset, uint32_t value) {
    if (offset < size) out[offset] = uint8_t(value);
}

uint32_t pixel16(uint32_t x, uint32_t y, uint32_t width, uint32_t seq) {
    if (y == 0 && x == 0) return seq & 0xffff;
    if (y == 0 && x == 1 && width >= 2) return seq >> 16;
    return (x * 3 + y * 7 + seq) & 0xffff;
}

void render_16bit(uint32_t width, uint32_t rows, uint64_t stride, uint64_t size, uint32_t seq,
                  uint8_t *out) {
    // Loops end at the frame's end: a driver's answer can claim billions of pixels.
    // With no stride every row lands on the first: the last one written is what stays.
    const uint64_t first = stride || rows == 0 ? 0 : rows - 1;
    for (uint64_t y = first; y < rows && y * stride < size; ++y) {
        for (uint64_t x = 0; x < width && y * stride + 2 * x < size; ++x) {
            put16(out, size, y * stride + 2 * x, pixel16(uint32_t(x), uint32_t(y), width, seq));
        }
    }
}

// Y plane, then Cb and Cr planes of half the line length, laid out as the kernel does.
void render_yu12(uint32_t width, uint32_t height, uint64_t bpl, uint64_t size, uint32_t seq,
                 uint8_t *out) {
    for (uint64_t y = bpl || height == 0 ? 0 : height - 1; y < height && y * bpl < size; ++y) {
        for (uint64_t x = 0; x < width && y * bpl + x < size; ++x) {
            uint64_t v = (y == 0 && x < 4) ? seq >> (8 * x) : x + 2 * y + seq;
            put8(out, size, y * bpl + x, uint32_t(v));
        }
    }
    const uint64_t cb = bpl * height;
    const uint64_t cbpl = bpl / 2;
    const uint64_t cr = cb + cbpl * (height / 2);
    const uint64_t chroma_rows = height / 2;
    for (uint64_t y = cbpl || chroma_rows == 0 ? 0 : chroma_rows - 1;
         y < chroma_rows && cb + y * cbpl < size; ++y) {
        for (uint64_t x = 0; x < width / 2 && cb + y * cbpl + x < size; ++x) {
            put8(out, size, cb + y * cbpl + x, 5 * x + 3 * y + seq);
            put8(out, size, cr + y * cbpl + x, 7 * x + 11 * y + 2 * seq);
        }
    }
}

}  // namespace

Geometry geometry_for(uint32_t f, uint32_t width, uint32_t height, uint32_t pad) {
    if (is_compressed(f)) return {0, width * height * 2};
    const uint32_t bpl = width * bytes_per_pixel(f) + pad;
    if (is_planar_420(f)) return {bpl, uint32_t(uint64_t(bpl) * height * 3 / 2)};
    return {bpl, bpl * height};
}

void render(uint32_t f, uint32_t width, uint32_t height, uint32_t bpl, uint32_t size,
            uint32_t seq, uint8_t *out) {
    if (f == V4L2_PIX_FMT_Y16 || f == V4L2_PIX_FMT_BGR24 || f == V4L2_PIX_FMT_YUV420) {
        std::memset(out, kPadByte, size);
    } else {
        std::memset(out, seq & 0xff, size);
        return;
    }
    if (f == V4L2_PIX_FMT_Y16) {
        render_16bit(width, height, bpl, size, seq, out);
    } else if (f == V4L2_PIX_FMT_BGR24) {
        // Infrared cameras ship 16-bit pixels inside "BGR3": two bytes each, packed rows.
        const uint64_t stride = 2ull * width;
        if (stride != 0) render_16bit(width, uint32_t(size / stride), stride, size, seq, out);
    } else {
        render_yu12(width, height, bpl, size, seq, out);
    }
}

}  // namespace vcam
