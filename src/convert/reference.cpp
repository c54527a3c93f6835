// The scalar reference conversion: the formula as written, one pixel at a time.
// Fast kernels are held to this byte for byte; keep it plain.
#include "convert/frame.h"

#include <cstddef>
#include <cstring>

namespace camsnap {

uint8_t clip8bit(int a) {
    if (a < 0) return 0;
    if (a > 255) return 255;
    return static_cast<uint8_t>(a);
}

uint32_t yu12_cb_offset(const FrameGeometry &g, int32_t y) {
    const uint32_t w = static_cast<uint32_t>(g.width);
    const uint32_t h = static_cast<uint32_t>(g.height);
    return w * h + ((static_cast<uint32_t>(y) / 2) * w) / 2;
}

uint32_t yu12_cr_offset(const FrameGeometry &g, int32_t y) {
    const uint32_t w = static_cast<uint32_t>(g.width);
    const uint32_t h = static_cast<uint32_t>(g.height);
    return yu12_cb_offset(g, y) + ((h / 2) * w) / 2;
}

uint64_t frame_read_extent(const FrameGeometry &g) {
    if (g.width <= 0 || g.height <= 0) return 0;
    const int64_t w = g.width, h = g.height;
    switch (g.current_mode) {
    case IR16:
    case IR16_FALLBACK:
        return static_cast<uint64_t>((h - 1) * g.stride + (w - 1) * g.bpp + 2);
    case RGB: {
        const int64_t luma = (h - 1) * g.stride + (w - 1) * g.bpp + 1;
        // The last Cr row holds the highest chroma byte read.
        const int64_t plane = w * h, row = (((h - 1) / 2) * w) / 2;
        const int64_t chroma = plane + ((h / 2) * w) / 2 + row + (w - 1) / 2 + 1;
        return static_cast<uint64_t>(luma > chroma ? luma : chroma);
    }
    default:
        return 0;
    }
}

bool frame_fits(const FrameGeometry &g) {
    if (g.width < 0 || g.height < 0 || g.stride < 0 || g.bpp < 0 || g.frame_size < 0)
        return false;
    return frame_read_extent(g) <= static_cast<uint64_t>(g.frame_size);
}

void yu12_rgb_row_reference(const uint8_t *y, int32_t y_step, const uint8_t *cb,
                            const uint8_t *cr, uint8_t *out, int32_t out_step,
                            int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        const double c = y[static_cast<uint32_t>(x) * static_cast<uint32_t>(y_step)];
        const double d = cb[x / 2] - 128.0;
        const double e = cr[x / 2] - 128.0;
        const int r = static_cast<int>(e * 1.402 + c);
        const int gr = static_cast<int>((c - d * 0.34414) - e * 0.71414);
        const int b = static_cast<int>(c + d * 1.772);
        uint8_t *px = out + static_cast<ptrdiff_t>(x) * out_step;
        px[0] = clip8bit(r);
        px[1] = clip8bit(gr);
        px[2] = clip8bit(b);
    }
}

static void copy_ir16_reference(const FrameGeometry &g, const uint8_t *buf, uint8_t *out,
                                int32_t stride_x, int32_t stride_y) {
    for (int32_t y = 0; y < g.height; ++y) {
        const uint8_t *src = buf + static_cast<uint32_t>(y) * static_cast<uint32_t>(g.stride);
        uint8_t *dst = out + static_cast<ptrdiff_t>(y) * stride_y;
        for (int32_t x = 0; x < g.width; ++x) {
            std::memcpy(dst + static_cast<ptrdiff_t>(x) * stride_x,
                        src + static_cast<uint32_t>(x) * static_cast<uint32_t>(g.bpp), 2);
        }
    }
}

static void copy_rgb_reference(const FrameGeometry &g, const uint8_t *buf, uint8_t *out,
                               int32_t stride_x, int32_t stride_y) {
    for (int32_t y = 0; y < g.height; ++y) {
        yu12_rgb_row_reference(buf + static_cast<uint32_t>(y) * static_cast<uint32_t>(g.stride),
                               g.bpp, buf + yu12_cb_offset(g, y), buf + yu12_cr_offset(g, y),
                               out + static_cast<ptrdiff_t>(y) * stride_y, stride_x, g.width);
    }
}

void copy_frame_reference(const FrameGeometry &g, const uint8_t *buf, uint8_t *out,
                          int32_t stride_x, int32_t stride_y) {
    switch (g.current_mode) {
    case IR16:
    case IR16_FALLBACK:
        copy_ir16_reference(g, buf, out, stride_x, stride_y);
        break;
    case RGB:
        copy_rgb_reference(g, buf, out, stride_x, stride_y);
        break;
    default:
        break;  // an unknown mode writes nothing
    }
}

}  // namespace camsnap
