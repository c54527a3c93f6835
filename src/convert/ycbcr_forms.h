// The integer forms that the SIMD rows of limited-range BT.601, full-range
// BT.709 and limited-range BT.709 compute; each instruction-set file includes
// it and evaluates them in its own vectors. Exact for every (Y, Cb, Cr)
// against ycbcr_rgb_row_reference, which rounds half up.
//
// Each channel is floor(c + t + 1/2), c the luma's share and t the chroma's
// (d = Cb - 128, e = Cr - 128).
//
// Full range, c = Y: channel = Y + O, with O = floor(t + 1/2) one integer per
// chroma sample.
//
// Limited range, c = (Y - 16) 255/219: with v = 255 Y the channel is
// floor((v - M) / 219) for the integer M = ceil(3970.5 - 219 t), again one per
// chroma sample. Splitting v = 219 q + j and M = 219 Mq + Mr (0 <= j, Mr < 219)
// gives channel = q - Mq - [j < Mr]: the per-pixel work is 16-bit and rounds
// nowhere. q = Y + f and j = 36 Y - 219 f with f = floor(36 Y / 219), which is
// (Y * 10774) >> 16 for every Y.
//
// The per-sample integers come from forms (d_mul d + e_mul e + bias) >> shift
// in 32-bit lanes. O and Mq fit plain forms whose products and sums stay inside
// signed 32 bits. M of G needs about 30 bits of precision, more than such a
// form holds, so M comes from a wrapped form: exact only in its low 32 bits,
// which the lanes keep as they wrap, so that its top 32 - shift bits are
// M mod 2^(32 - shift). That is at least 1024 > 219, so
// Mr = (that - 219 Mq) mod 2^(32 - shift). Multipliers are the slope times
// 2^shift, rounded, and the bias one the 65536 chroma pairs all allow, at the
// smallest shift that admits one: bench/ycbcr_forms.py searches them and
// checks the rows over all 2^24 triples, as tests/cpp does against the
// reference.
#pragma once

#include <cstdint>

namespace camsnap {
namespace ycbcr_int {

// (d_mul d + e_mul e + bias) >> shift; a wrapped form's sum is taken modulo 2^32
// and shifted logically.
struct Form {
    int32_t d_mul, e_mul;
    uint32_t bias;
    int shift;
};

// Full range: `plain` gives O. Limited: `plain` gives Mq, `wrapped` M's low bits.
struct Channel {
    Form plain, wrapped;
};

struct Variant {
    bool limited;
    int index;  // in Yu12RgbKernel::other
    Channel r, g, b;
};

constexpr int32_t kLumaSplitMul = 10774;  // f = (Y * 10774) >> 16
constexpr int32_t kLimitedDivisor = 219;
constexpr Form kUnused = {0, 0, 0, 0};

constexpr Variant kBt601Limited = {
    true,
    0,
    {{0, -13075, 148564, 13}, {0, -2863349, 32534527, 13}},
    {{410793, 852458, 19015613, 20}, {89963565, 186688382, 4164419583u, 20}},
    {{-16525, 0, 148513, 13}, {-904753, 0, 8133631, 11}},
};
constexpr Variant kBt709Full = {
    false,
    1,
    {{0, 6451, 2047, 12}, kUnused},
    {{-24553, -61358, 65535, 17}, kUnused},
    {{7601, 0, 2047, 12}, kUnused},
};
constexpr Variant kBt709Limited = {
    true,
    2,
    {{0, -7343, 74285, 12}, {0, -402033, 4066815, 10}},
    {{223607, 558796, 19015573, 20}, {195880062, 489505237, 3772776447u, 22}},
    {{-17305, 0, 148546, 13}, {-1894875, 0, 16267263, 12}},
};

}  // namespace ycbcr_int
}  // namespace camsnap
