// The YU12 to RGB row kernels this build carries, and the plane loop that
// drives any one of them. Tests and benchmarks reach every kernel the CPU runs
// through yu12_rgb_kernels(); copy_frame() uses yu12_rgb_best_kernel().
#pragma once

#include "convert/frame.h"

#include <cstdint>
#include <vector>

namespace camsnap {

// One row with contiguous luma (bpp 1) into packed RGB (3 bytes a pixel):
// pixel x reads y[x], cb[x / 2], cr[x / 2] and writes rgb[3x .. 3x + 2].
// Reads nothing beyond y[width - 1], cb[(width - 1) / 2], cr[(width - 1) / 2];
// writes nothing outside rgb[0 .. 3 * width - 1].
using Yu12RgbRow = void (*)(const uint8_t *y, const uint8_t *cb, const uint8_t *cr,
                            uint8_t *rgb, int32_t width);

// Two rows that share their chroma row (rows 2k and 2k + 1): the chroma
// arithmetic is done once for both. Each row as Yu12RgbRow would do it.
using Yu12RgbRowPair = void (*)(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                                const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width);

// The rows of one Y'CbCr variant.
struct YcbcrRows {
    Yu12RgbRow row;
    Yu12RgbRowPair row_pair;
};

// The variants beside full-range BT.601 that every kernel also converts, in
// the order of Yu12RgbKernel::other: limited-range BT.601, full-range BT.709,
// limited-range BT.709 (convert/ycbcr.h picks among them; their rows round
// half up where full-range BT.601 truncates).
constexpr int kOtherYcbcrVariants = 3;

struct Yu12RgbKernel {
    const char *name;  // "scalar", "sse41", "avx2", "avx512", "neon"
    Yu12RgbRow row;    // full-range BT.601
    Yu12RgbRowPair row_pair;
    YcbcrRows other[kOtherYcbcrVariants];
};

// Every kernel this CPU can run, slowest first; "scalar" is always there.
const std::vector<Yu12RgbKernel> &yu12_rgb_kernels();

// The last (fastest) entry of yu12_rgb_kernels(), chosen once per process.
const Yu12RgbKernel &yu12_rgb_best_kernel();

// The kernel of that name if this CPU runs it, else nullptr.
const Yu12RgbKernel *find_yu12_rgb_kernel(const char *name);

// copy_frame() with a chosen kernel for the RGB rows. Rows whose layout the
// kernel does not take (bpp != 1 or stride_x != 3) go through the reference
// row; row pairs are used only where output rows do not overlap, so that rows
// land in the reference's order.
void copy_frame_with(const Yu12RgbKernel &kernel, const FrameGeometry &g, const uint8_t *buf,
                     uint8_t *out, int32_t stride_x, int32_t stride_y);

// The ISA rows, defined only in builds for their architecture; call the x86
// ones only when the CPU has the instruction set (yu12_rgb_kernels() checks
// that). Every AArch64 processor has NEON.
void yu12_rgb_row_scalar(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                         int32_t width);
void yu12_rgb_row_pair_scalar(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                              const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width);
// Each ISA's rows of the other variants, in Yu12RgbKernel::other order; the
// scalar ones (convert/ycbcr.cpp) are their reference and the SIMD rows' tails.
extern const YcbcrRows ycbcr_rows_scalar[kOtherYcbcrVariants];
#if defined(__x86_64__)
void yu12_rgb_row_sse41(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                        int32_t width);
void yu12_rgb_row_pair_sse41(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                             const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width);
extern const YcbcrRows ycbcr_rows_sse41[kOtherYcbcrVariants];
void yu12_rgb_row_avx2(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                       int32_t width);
void yu12_rgb_row_pair_avx2(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                            const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width);
extern const YcbcrRows ycbcr_rows_avx2[kOtherYcbcrVariants];
void yu12_rgb_row_avx512(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                         int32_t width);
void yu12_rgb_row_pair_avx512(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                              const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width);
extern const YcbcrRows ycbcr_rows_avx512[kOtherYcbcrVariants];
#endif
#if defined(__aarch64__)
void yu12_rgb_row_neon(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                       int32_t width);
void yu12_rgb_row_pair_neon(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                            const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width);
extern const YcbcrRows ycbcr_rows_neon[kOtherYcbcrVariants];
#endif

}  // namespace camsnap
