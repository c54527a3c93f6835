// How a SIMD row walks its pixels; included by each instruction-set file, and
// kept in an unnamed namespace so every file gets its own copy, compiled for
// its own instruction set.
#pragma once

#include <cstdint>

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

}  // namespace
}  // namespace camsnap
