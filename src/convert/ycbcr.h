// Y'CbCr to RGB in the variants a driver names in its format answer: full or
// limited quantization, BT.601 or BT.709 encoding. Full-range BT.601 is the
// module's own conversion (reference.cpp, the SIMD rows of kernels.h). Each
// other variant has an exact rational reference, a scalar integer row
// (ycbcr.cpp) and SIMD rows (ycbcr_forms.h, in each kernel's file), all equal
// to the reference for every (Y, Cb, Cr).
#pragma once

#include <cstdint>

#include "convert/kernels.h"

namespace camsnap {

enum class Quantization { full, limited };
enum class Encoding { bt601, bt709 };

struct YcbcrVariant {
    Encoding encoding = Encoding::bt601;
    Quantization quantization = Quantization::full;
};

// The variant's reference row: out[x * 3 + 0..2] = R, G, B of y[x], cb[x / 2],
// cr[x / 2]. Full-range BT.601 is yu12_rgb_row_reference; the others evaluate
//   c = (Y - 16) * 255/219, d = (Cb - 128) * 255/224, e = (Cr - 128) * 255/224
//   (limited; full: c = Y, d = Cb - 128, e = Cr - 128)
//   R = c + 2(1 - Kr) e,  B = c + 2(1 - Kb) d,
//   G = c - 2 Kb (1 - Kb) / Kg d - 2 Kr (1 - Kr) / Kg e
// with the standard's Kr, Kb (BT.601: 0.299, 0.114; BT.709: 0.2126, 0.0722)
// as exact fractions, rounded half up, clamped to 0..255.
void ycbcr_rgb_row_reference(YcbcrVariant v, const uint8_t *y, const uint8_t *cb,
                             const uint8_t *cr, uint8_t *rgb, int32_t width);

// A kernel's rows for a variant, with the signatures of the YU12 rows; the
// scalar kernel's are the integer rows that the SIMD ones are held to.
YcbcrRows ycbcr_rgb_rows(const Yu12RgbKernel &k, YcbcrVariant v);

}  // namespace camsnap
