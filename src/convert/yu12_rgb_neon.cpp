// YU12 to RGB, 16 pixels a step with NEON (Advanced SIMD, part of every
// AArch64 processor). The integer form of convert/yu12_rgb_int.h. The chroma
// offsets are widened to one lane per pixel once per block, so the two rows of
// a pair add them to luma in pixel order, and vst3 interleaves R G B on store.
#include "convert/kernels.h"
#include "convert/row_blocks.h"
#include "convert/yu12_rgb_int.h"

#if defined(__aarch64__)

#include <arm_neon.h>

namespace camsnap {
namespace {

using namespace yu12_int;

// Per-pixel int16 offsets for 16 pixels (lo: pixels 0-7, hi: 8-15), and the
// pixels whose chroma is the Cb 28 / Cr 228 pair (0xFF each).
struct ChromaBlock {
    int16x8_t r_lo, r_hi, g_lo, g_hi, b_lo, b_hi;
    uint8x16_t odd_pair;
    bool any_odd;
};

// (11485 e) >> 13 and (3629 d) >> 11 as sqdmulh, which gives (2 a b) >> 16:
// a = e << 2 and a = d << 4 make that the wanted floor. |a b| stays far
// below the one product that saturates (-32768 * -32768).
int16x8_t r_offsets(int16x8_t e) { return vqdmulhq_n_s16(vshlq_n_s16(e, 2), kRMul); }
int16x8_t b_offsets(int16x8_t d) { return vqdmulhq_n_s16(vshlq_n_s16(d, 4), kBMul); }

// The G sum needs 32 bits (|sum| < 2^28 for d, e in -128..127).
int16x4_t g_offsets(int16x4_t d, int16x4_t e) {
    int32x4_t sum = vmulq_n_s32(vmovl_s16(d), kGdMul);
    sum = vmlaq_n_s32(sum, vmovl_s16(e), kGeMul);
    sum = vaddq_s32(sum, vdupq_n_s32(kGBias));
    return vmovn_s32(vshrq_n_s32(sum, kGShift));
}

// Each sample's offset for the two pixels that share it.
void widen_to_pixels(int16x8_t per_sample, int16x8_t &lo, int16x8_t &hi) {
    lo = vzip1q_s16(per_sample, per_sample);
    hi = vzip2q_s16(per_sample, per_sample);
}

// The chroma side of a 16-pixel block: reads cb[0..7] and cr[0..7].
__attribute__((always_inline)) inline ChromaBlock load_chroma(const uint8_t *cb, const uint8_t *cr) {
    const uint8x8_t cb8 = vld1_u8(cb), cr8 = vld1_u8(cr);
    const uint8x8_t bias = vdup_n_u8(static_cast<uint8_t>(kChromaBias));
    const int16x8_t d = vreinterpretq_s16_u16(vsubl_u8(cb8, bias));
    const int16x8_t e = vreinterpretq_s16_u16(vsubl_u8(cr8, bias));
    const int16x8_t g = vcombine_s16(g_offsets(vget_low_s16(d), vget_low_s16(e)),
                                     g_offsets(vget_high_s16(d), vget_high_s16(e)));
    ChromaBlock c;
    widen_to_pixels(r_offsets(e), c.r_lo, c.r_hi);
    widen_to_pixels(g, c.g_lo, c.g_hi);
    widen_to_pixels(b_offsets(d), c.b_lo, c.b_hi);
    const uint8x8_t odd = vand_u8(vceq_u8(cb8, vdup_n_u8(kOddCb)), vceq_u8(cr8, vdup_n_u8(kOddCr)));
    c.odd_pair = vcombine_u8(vzip1_u8(odd, odd), vzip2_u8(odd, odd));
    c.any_odd = vmaxv_u8(odd) != 0;
    return c;
}

// Y + offset, clamped to 0..255, for 16 pixels in order.
uint8x16_t add_clamp(int16x8_t y_lo, int16x8_t y_hi, int16x8_t off_lo, int16x8_t off_hi) {
    return vcombine_u8(vqmovun_s16(vaddq_s16(y_lo, off_lo)), vqmovun_s16(vaddq_s16(y_hi, off_hi)));
}

// Pixels x .. x + 15 of one row, for even x: reads y[0..15], writes rgb[0..47].
__attribute__((always_inline)) inline void emit16(const uint8_t *y, const ChromaBlock &c,
                                                  uint8_t *rgb) {
    const uint8x16_t luma = vld1q_u8(y);
    const int16x8_t y_lo = vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(luma)));
    const int16x8_t y_hi = vreinterpretq_s16_u16(vmovl_u8(vget_high_u8(luma)));
    int16x8_t g_lo = c.g_lo, g_hi = c.g_hi;
    if (__builtin_expect(c.any_odd, 0)) {
        // -1 (0xFF widened with sign) where the pair meets 94 <= Y <= 165.
        const uint8x16_t in_range =
            vandq_u8(vcgeq_u8(luma, vdupq_n_u8(kOddYMin)), vcleq_u8(luma, vdupq_n_u8(kOddYMax)));
        const int8x16_t minus_one = vreinterpretq_s8_u8(vandq_u8(in_range, c.odd_pair));
        g_lo = vaddq_s16(g_lo, vmovl_s8(vget_low_s8(minus_one)));
        g_hi = vaddq_s16(g_hi, vmovl_s8(vget_high_s8(minus_one)));
    }
    uint8x16x3_t out;
    out.val[0] = add_clamp(y_lo, y_hi, c.r_lo, c.r_hi);
    out.val[1] = add_clamp(y_lo, y_hi, g_lo, g_hi);
    out.val[2] = add_clamp(y_lo, y_hi, c.b_lo, c.b_hi);
    vst3q_u8(rgb, out);
}

struct Block {
    static constexpr int32_t kStep = 16;
    static constexpr auto load_chroma = camsnap::load_chroma;
    static constexpr auto emit = emit16;
    static constexpr auto narrow_row = yu12_rgb_row_scalar;
    static constexpr auto narrow_row_pair = yu12_rgb_row_pair_scalar;
};

// The other variants (convert/ycbcr_forms.h): per chroma sample an offset
// and, for limited range, the remainder Mr that each pixel's j is held against,
// widened to pixels like the offsets above.
namespace variant {

using ycbcr_int::Channel;
using ycbcr_int::Form;

// The lanes wrap on overflow, which the wrapped forms rely on.
__attribute__((always_inline)) inline int32x4_t sum_of(const Form &f, int32x4_t d, int32x4_t e) {
    int32x4_t s = vdupq_n_s32(static_cast<int32_t>(f.bias));
    if (f.d_mul) s = vmlaq_n_s32(s, d, f.d_mul);
    if (f.e_mul) s = vmlaq_n_s32(s, e, f.e_mul);
    return s;
}

struct Values {
    int16x4_t off, rem;
};

__attribute__((always_inline)) inline Values values(const Channel &c, bool limited, int16x4_t d16,
                                                    int16x4_t e16) {
    const int32x4_t d = vmovl_s16(d16), e = vmovl_s16(e16);
    const int32x4_t plain = vshlq_s32(sum_of(c.plain, d, e), vdupq_n_s32(-c.plain.shift));
    if (!limited) return {vmovn_s32(plain), vdup_n_s16(0)};
    const uint32x4_t low = vshlq_u32(vreinterpretq_u32_s32(sum_of(c.wrapped, d, e)),
                                     vdupq_n_s32(-c.wrapped.shift));
    const uint32x4_t rem = vandq_u32(
        vmlsq_n_u32(low, vreinterpretq_u32_s32(plain), uint32_t(ycbcr_int::kLimitedDivisor)),
        vdupq_n_u32(0xFFFFFFFFu >> c.wrapped.shift));
    return {vmovn_s32(vnegq_s32(plain)), vmovn_s32(vreinterpretq_s32_u32(rem))};
}

struct PerPixel {
    int16x8_t off_lo, off_hi, rem_lo, rem_hi;  // pixels 0-7 and 8-15
};

struct ChromaBlock {
    PerPixel r, g, b;
};

__attribute__((always_inline)) inline PerPixel channel(const Channel &c, bool limited, int16x8_t d,
                                                      int16x8_t e) {
    const Values lo = values(c, limited, vget_low_s16(d), vget_low_s16(e));
    const Values hi = values(c, limited, vget_high_s16(d), vget_high_s16(e));
    PerPixel p;
    widen_to_pixels(vcombine_s16(lo.off, hi.off), p.off_lo, p.off_hi);
    widen_to_pixels(vcombine_s16(lo.rem, hi.rem), p.rem_lo, p.rem_hi);
    return p;
}

// q and j of 8 luma values: 255 Y = 219 q + j. sqdmulh by 5387 is
// (Y * 10774) >> 16.
struct Split {
    int16x8_t q, j;
};

__attribute__((always_inline)) inline Split split(int16x8_t y) {
    const int16x8_t f = vqdmulhq_n_s16(y, ycbcr_int::kLumaSplitMul / 2);
    return {vaddq_s16(y, f), vmlsq_n_s16(vmulq_n_s16(y, 36), f, 219)};
}

__attribute__((always_inline)) inline int16x8_t pixel(const Split &s, int16x8_t off, int16x8_t rem,
                                                      bool limited) {
    const int16x8_t sum = vaddq_s16(s.q, off);
    if (!limited) return sum;
    return vaddq_s16(sum, vreinterpretq_s16_u16(vcgtq_s16(rem, s.j)));
}

template <const ycbcr_int::Variant &F>
struct Block : ScalarVariantTail<F.index> {
    static constexpr int32_t kStep = 16;

    __attribute__((always_inline)) static ChromaBlock load_chroma(const uint8_t *cb,
                                                                  const uint8_t *cr) {
        const uint8x8_t bias = vdup_n_u8(static_cast<uint8_t>(kChromaBias));
        const int16x8_t d = vreinterpretq_s16_u16(vsubl_u8(vld1_u8(cb), bias));
        const int16x8_t e = vreinterpretq_s16_u16(vsubl_u8(vld1_u8(cr), bias));
        return {channel(F.r, F.limited, d, e), channel(F.g, F.limited, d, e),
                channel(F.b, F.limited, d, e)};
    }

    __attribute__((always_inline)) static void emit(const uint8_t *y, const ChromaBlock &c,
                                                    uint8_t *rgb) {
        const uint8x16_t luma = vld1q_u8(y);
        const int16x8_t y_lo = vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(luma)));
        const int16x8_t y_hi = vreinterpretq_s16_u16(vmovl_u8(vget_high_u8(luma)));
        const Split lo = F.limited ? split(y_lo) : Split{y_lo, y_lo};
        const Split hi = F.limited ? split(y_hi) : Split{y_hi, y_hi};
        const auto channel16 = [&](const PerPixel &p) {
            return vcombine_u8(vqmovun_s16(pixel(lo, p.off_lo, p.rem_lo, F.limited)),
                               vqmovun_s16(pixel(hi, p.off_hi, p.rem_hi, F.limited)));
        };
        uint8x16x3_t out;
        out.val[0] = channel16(c.r);
        out.val[1] = channel16(c.g);
        out.val[2] = channel16(c.b);
        vst3q_u8(rgb, out);
    }
};

}  // namespace variant

}  // namespace

const YcbcrRows ycbcr_rows_neon[kOtherYcbcrVariants] = {
    VariantRows<variant::Block>::table[0], VariantRows<variant::Block>::table[1],
    VariantRows<variant::Block>::table[2]};

void yu12_rgb_row_neon(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                       int32_t width) {
    yu12_rgb_row_blocks<Block>(y, cb, cr, rgb, width);
}

void yu12_rgb_row_pair_neon(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                            const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width) {
    yu12_rgb_row_pair_blocks<Block>(y0, y1, cb, cr, rgb0, rgb1, width);
}

}  // namespace camsnap

#endif  // __aarch64__
