// Kernel registry and the plane loop shared by every YU12 to RGB row kernel.
#include "convert/kernels.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace camsnap {

void yu12_rgb_row_scalar(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                         int32_t width) {
    yu12_rgb_row_reference(y, 1, cb, cr, rgb, 3, width);
}

void yu12_rgb_row_pair_scalar(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                              const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width) {
    yu12_rgb_row_scalar(y0, cb, cr, rgb0, width);
    yu12_rgb_row_scalar(y1, cb, cr, rgb1, width);
}

namespace {

std::vector<Yu12RgbKernel> supported_kernels() {
    std::vector<Yu12RgbKernel> k;
    const auto add = [&k](const char *name, Yu12RgbRow row, Yu12RgbRowPair pair,
                          const YcbcrRows (&other)[kOtherYcbcrVariants]) {
        k.push_back({name, row, pair, {other[0], other[1], other[2]}});
    };
    add("scalar", yu12_rgb_row_scalar, yu12_rgb_row_pair_scalar, ycbcr_rows_scalar);
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1"))
        add("sse41", yu12_rgb_row_sse41, yu12_rgb_row_pair_sse41, ycbcr_rows_sse41);
    if (__builtin_cpu_supports("avx2"))
        add("avx2", yu12_rgb_row_avx2, yu12_rgb_row_pair_avx2, ycbcr_rows_avx2);
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512vbmi"))
        add("avx512", yu12_rgb_row_avx512, yu12_rgb_row_pair_avx512, ycbcr_rows_avx512);
#endif
#if defined(__aarch64__)
    add("neon", yu12_rgb_row_neon, yu12_rgb_row_pair_neon, ycbcr_rows_neon);
#endif
    return k;
}

void copy_rgb_rows(const Yu12RgbKernel &k, const FrameGeometry &g, const uint8_t *buf,
                   uint8_t *out, int32_t stride_y) {
    const auto luma = [&](int32_t y) {
        return buf + static_cast<uint32_t>(y) * static_cast<uint32_t>(g.stride);
    };
    const auto row_out = [&](int32_t y) { return out + static_cast<std::ptrdiff_t>(y) * stride_y; };
    const bool rows_apart = std::abs(static_cast<int64_t>(stride_y)) >= 3 * int64_t{g.width};
    int32_t y = 0;
    if (rows_apart) {
        // Rows 2k and 2k + 1 read the same chroma row.
        for (; y + 1 < g.height; y += 2) {
            k.row_pair(luma(y), luma(y + 1), buf + yu12_cb_offset(g, y),
                       buf + yu12_cr_offset(g, y), row_out(y), row_out(y + 1), g.width);
        }
    }
    for (; y < g.height; ++y) {
        k.row(luma(y), buf + yu12_cb_offset(g, y), buf + yu12_cr_offset(g, y), row_out(y),
              g.width);
    }
}

void copy_ir16_rows(const FrameGeometry &g, const uint8_t *buf, uint8_t *out, int32_t stride_y) {
    const size_t row_bytes = static_cast<size_t>(g.width) * 2;
    if (g.stride == stride_y && static_cast<size_t>(g.stride) == row_bytes) {
        // Both sides gap-free: the frame is one block.
        std::memcpy(out, buf, row_bytes * static_cast<size_t>(g.height));
        return;
    }
    for (int32_t y = 0; y < g.height; ++y) {
        std::memcpy(out + static_cast<std::ptrdiff_t>(y) * stride_y,
                    buf + static_cast<uint32_t>(y) * static_cast<uint32_t>(g.stride), row_bytes);
    }
}

}  // namespace

const std::vector<Yu12RgbKernel> &yu12_rgb_kernels() {
    static const std::vector<Yu12RgbKernel> kernels = supported_kernels();
    return kernels;
}

const Yu12RgbKernel &yu12_rgb_best_kernel() { return yu12_rgb_kernels().back(); }

const Yu12RgbKernel *find_yu12_rgb_kernel(const char *name) {
    for (const Yu12RgbKernel &k : yu12_rgb_kernels())
        if (std::strcmp(k.name, name) == 0) return &k;
    return nullptr;
}

void copy_frame_with(const Yu12RgbKernel &kernel, const FrameGeometry &g, const uint8_t *buf,
                     uint8_t *out, int32_t stride_x, int32_t stride_y) {
    if (g.width <= 0 || g.height <= 0) return;
    const bool ir = g.current_mode == IR16 || g.current_mode == IR16_FALLBACK;
    if (ir && g.bpp == 2 && stride_x == 2) {
        copy_ir16_rows(g, buf, out, stride_y);
    } else if (g.current_mode == RGB && g.bpp == 1 && stride_x == 3) {
        copy_rgb_rows(kernel, g, buf, out, stride_y);
    } else {
        copy_frame_reference(g, buf, out, stride_x, stride_y);
    }
}

}  // namespace camsnap
