// How a SIMD row walks its pixels; included by each instruction-set file, and
// kept in an unnamed namespace so every file gets its own copy, compiled for
// its own instruction set.
#pragma once

#include <cstdint>

#include "convert/kernels.h"
#include "convert/ycbcr_forms.h"

namespace camsnap {
namespace {

// Covers pixels 0 .. width - 1 with `block(x)` calls, each converting pixels
// x .. x + Step - 1 for an even x (two pixels share a chroma sample, so a
// block must start on a pair). A row that does not divide into blocks gets one
// more block ending at its last pixel, or one short of it for odd widths; it
// rewrites some pixels with the same values instead of reading past the row.
// `rest(x)` then converts pixels x .. width - 1: none, one, or the whole row
// when it is narrower than a block.
template <int32_t Step, typename Block, typename Rest>
inline void for_each_block(int32_t width, Block &&block, Rest &&rest) {
    if (width < Step) {
        rest(0);
        return;
    }
    int32_t x = 0;
    for (; x + Step <= width; x += Step) block(x);
    if (x == width) return;
    x = (width - Step) & ~1;
    block(x);
    if (x + Step < width) rest(x + Step);
}

// The row and row-pair entry points of an instruction set, built from its
// block: K::kStep pixels a block, K::load_chroma(cb, cr) for the block's
// chroma samples (done once for both rows of a pair), K::emit(y, chroma, rgb)
// for one row's pixels, and K::narrow_row / K::narrow_row_pair for the pixels
// a block does not cover (the next narrower kernel).
template <typename K>
inline void yu12_rgb_row_blocks(const uint8_t *y, const uint8_t *cb, const uint8_t *cr,
                                uint8_t *rgb, int32_t width) {
    for_each_block<K::kStep>(
        width,
        [&](int32_t x) { K::emit(y + x, K::load_chroma(cb + x / 2, cr + x / 2), rgb + 3 * x); },
        [&](int32_t x) { K::narrow_row(y + x, cb + x / 2, cr + x / 2, rgb + 3 * x, width - x); });
}

template <typename K>
inline void yu12_rgb_row_pair_blocks(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                                     const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1,
                                     int32_t width) {
    for_each_block<K::kStep>(
        width,
        [&](int32_t x) {
            const auto c = K::load_chroma(cb + x / 2, cr + x / 2);
            K::emit(y0 + x, c, rgb0 + 3 * x);
            K::emit(y1 + x, c, rgb1 + 3 * x);
        },
        [&](int32_t x) {
            K::narrow_row_pair(y0 + x, y1 + x, cb + x / 2, cr + x / 2, rgb0 + 3 * x,
                               rgb1 + 3 * x, width - x);
        });
}

// A Y'CbCr variant's rows from a block type K as above, whose narrow rows are
// the variant's scalar rows (K::kIndex in Yu12RgbKernel::other).
template <int Index>
struct ScalarVariantTail {
    static void narrow_row(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                           int32_t width) {
        ycbcr_rows_scalar[Index].row(y, cb, cr, rgb, width);
    }
    static void narrow_row_pair(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                                const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width) {
        ycbcr_rows_scalar[Index].row_pair(y0, y1, cb, cr, rgb0, rgb1, width);
    }
};

template <typename K>
constexpr YcbcrRows rows_of() {
    return {yu12_rgb_row_blocks<K>, yu12_rgb_row_pair_blocks<K>};
}

// The rows of the three variants of Yu12RgbKernel::other from a block template
// taking a ycbcr_int::Variant.
template <template <const ycbcr_int::Variant &> class K>
struct VariantRows {
    static constexpr YcbcrRows table[kOtherYcbcrVariants] = {
        rows_of<K<ycbcr_int::kBt601Limited>>(), rows_of<K<ycbcr_int::kBt709Full>>(),
        rows_of<K<ycbcr_int::kBt709Limited>>()};
};

}  // namespace
}  // namespace camsnap
