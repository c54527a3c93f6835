// The exact integer form of YU12 to RGB that every SIMD row computes; each
// instruction-set file includes it and evaluates it in its own vectors.
//
// Exact against the double-precision reference for every (Y, Cb, Cr), with
// d = Cb - 128 and e = Cr - 128:
//   R = clamp(Y + floor(1.402 e))          floor(1.402 e)  = (11485 e) >> 13
//   B = clamp(Y + floor(1.772 d))          floor(1.772 d)  = (3629 d) >> 11
//   G = clamp(Y + ((-360857 d - 748830 e + 12) >> 20))
// Truncation and flooring agree wherever the clamp does not already decide,
// since every negative sum clamps to 0. One chroma pair breaks G: Cb = 28,
// Cr = 228 makes the true value exactly Y - 37, and for 94 <= Y <= 165 the
// double evaluation lands a hair below it and truncates to Y - 38. Those
// pixels get G - 1 on a rarely taken path.
#pragma once

#include <cstdint>

namespace camsnap {
namespace yu12_int {

constexpr int16_t kChromaBias = 128;
constexpr int16_t kRMul = 11485, kRShift = 13;
constexpr int16_t kBMul = 3629, kBShift = 11;
constexpr int32_t kGdMul = -360857, kGeMul = -748830, kGBias = 12, kGShift = 20;
// Where 16-bit multiplies (x86's pmaddwd) need the G multipliers in halves:
// mul = hi * 256 + lo.
constexpr int16_t kGdHi = -1410, kGdLo = 103;
constexpr int16_t kGeHi = -2926, kGeLo = 226;
static_assert(kGdHi * 256 + kGdLo == kGdMul && kGeHi * 256 + kGeLo == kGeMul,
              "G multiplier halves");
constexpr uint8_t kOddCb = 28, kOddCr = 228;
constexpr uint8_t kOddYMin = 94, kOddYMax = 165;

}  // namespace yu12_int
}  // namespace camsnap
