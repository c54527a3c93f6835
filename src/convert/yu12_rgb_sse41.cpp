// YU12 to RGB, 16 pixels a step with SSE4.1 (and the SSSE3 byte shuffle).
// Built with -msse4.1; only called when the CPU reports SSE4.1. The integer
// form and why it is exact: convert/yu12_rgb_int.h.
#include "convert/kernels.h"
#include "convert/row_blocks.h"
#include "convert/yu12_rgb_int.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace camsnap {
namespace {

using namespace yu12_int;

// (11485 e) >> 13 == mulhi(e << 3, 11485); (3629 d) >> 11 == mulhi(d << 5, 3629).
// The G multipliers do not fit 16 bits, so pmaddwd takes them in halves and
// does d * hi + e * hi and d * lo + e * lo in exact 32-bit sums.

struct Chroma {
    __m128i r, g, b;  // 8 per-chroma-sample offsets each, int16
};

__m128i g_offsets(__m128i de) {
    const __m128i hi = _mm_madd_epi16(de, _mm_setr_epi16(kGdHi, kGeHi, kGdHi, kGeHi, kGdHi,
                                                         kGeHi, kGdHi, kGeHi));
    const __m128i lo = _mm_madd_epi16(de, _mm_setr_epi16(kGdLo, kGeLo, kGdLo, kGeLo, kGdLo,
                                                         kGeLo, kGdLo, kGeLo));
    const __m128i sum = _mm_add_epi32(_mm_add_epi32(_mm_slli_epi32(hi, 8), lo),
                                      _mm_set1_epi32(kGBias));
    return _mm_srai_epi32(sum, 20);
}

Chroma chroma_offsets(__m128i cb8, __m128i cr8) {
    const __m128i bias = _mm_set1_epi16(128);
    const __m128i d = _mm_sub_epi16(_mm_cvtepu8_epi16(cb8), bias);
    const __m128i e = _mm_sub_epi16(_mm_cvtepu8_epi16(cr8), bias);
    Chroma c;
    c.r = _mm_mulhi_epi16(_mm_slli_epi16(e, 3), _mm_set1_epi16(kRMul));
    c.b = _mm_mulhi_epi16(_mm_slli_epi16(d, 5), _mm_set1_epi16(kBMul));
    c.g = _mm_packs_epi32(g_offsets(_mm_unpacklo_epi16(d, e)),
                          g_offsets(_mm_unpackhi_epi16(d, e)));
    return c;
}

__m128i in_odd_y_range(__m128i y16) {
    return _mm_and_si128(_mm_cmpgt_epi16(y16, _mm_set1_epi16(kOddYMin - 1)),
                         _mm_cmplt_epi16(y16, _mm_set1_epi16(kOddYMax + 1)));
}

// Interleaving three 16-byte channels into 48 bytes of R G B. The bytes a
// channel owns in the three output blocks sit at disjoint positions that
// together cover 0..15 (R at 0, 3 .. in block 0, at 2, 5 .. in block 1, at
// 1, 4 .. in block 2), so one pshufb per channel puts every pixel where its
// block wants it, and each block is then two blends.
// The channels arrive as [even pixels 0, 2 .. 14 | odd pixels 1, 3 .. 15],
// what packus of the even and odd halves gives; the selectors absorb that.
struct InterleaveTables {
    int8_t place[3][16];   // [channel][position]: pshufb selector
    int8_t take_g[3][16];  // [block][position]: -1 where the byte is G
    int8_t take_b[3][16];  // [block][position]: -1 where the byte is B
};

constexpr InterleaveTables make_interleave_tables() {
    InterleaveTables t{};
    for (int block = 0; block < 3; ++block)
        for (int pos = 0; pos < 16; ++pos) {
            const int j = 16 * block + pos, ch = j % 3, pixel = j / 3;
            t.place[ch][pos] = static_cast<int8_t>(pixel % 2 ? 8 + pixel / 2 : pixel / 2);
            t.take_g[block][pos] = ch == 1 ? -1 : 0;
            t.take_b[block][pos] = ch == 2 ? -1 : 0;
        }
    return t;
}

alignas(16) constexpr InterleaveTables kInterleave = make_interleave_tables();

__m128i load_table(const int8_t (&row)[16]) {
    return _mm_load_si128(reinterpret_cast<const __m128i *>(row));
}

void store_rgb48(uint8_t *dst, __m128i r, __m128i g, __m128i b) {
    r = _mm_shuffle_epi8(r, load_table(kInterleave.place[0]));
    g = _mm_shuffle_epi8(g, load_table(kInterleave.place[1]));
    b = _mm_shuffle_epi8(b, load_table(kInterleave.place[2]));
    for (int block = 0; block < 3; ++block) {
        const __m128i rg = _mm_blendv_epi8(r, g, load_table(kInterleave.take_g[block]));
        const __m128i rgb = _mm_blendv_epi8(rg, b, load_table(kInterleave.take_b[block]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16 * block), rgb);
    }
}

// The chroma side of a 16-pixel block: offsets for 8 samples, and which of
// them are the Cb 28 / Cr 228 pair. Shared by the two luma rows that use it.
struct ChromaBlock {
    Chroma offsets;
    __m128i odd_pair;  // 0xFF per flagged sample
    bool any_odd;
};

__attribute__((always_inline)) inline ChromaBlock load_chroma(const uint8_t *cb, const uint8_t *cr) {
    const __m128i cb8 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(cb));
    const __m128i cr8 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(cr));
    ChromaBlock c;
    c.offsets = chroma_offsets(cb8, cr8);
    c.odd_pair = _mm_and_si128(_mm_cmpeq_epi8(cb8, _mm_set1_epi8(char(kOddCb))),
                               _mm_cmpeq_epi8(cr8, _mm_set1_epi8(char(kOddCr))));
    c.any_odd = (_mm_movemask_epi8(c.odd_pair) & 0xFF) != 0;
    return c;
}

// Pixels x .. x + 15 of one row, for even x: reads y[0..15]. Inlined so the
// loop keeps its constants in registers.
__attribute__((always_inline)) inline void emit16(const uint8_t *y, const ChromaBlock &cb,
                                                  uint8_t *rgb) {
    const Chroma &c = cb.offsets;
    // Even and odd pixels as 16-bit lanes: lane k of either belongs to chroma
    // sample k, the lane its offsets are in, so they need no widening.
    const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i *>(y));
    const __m128i y_even = _mm_and_si128(luma, _mm_set1_epi16(0x00FF));
    const __m128i y_odd = _mm_srli_epi16(luma, 8);

    __m128i g_even = _mm_add_epi16(y_even, c.g), g_odd = _mm_add_epi16(y_odd, c.g);
    if (__builtin_expect(cb.any_odd, 0)) {
        const __m128i pair16 = _mm_cvtepi8_epi16(cb.odd_pair);  // -1 per flagged sample
        g_even = _mm_add_epi16(g_even, _mm_and_si128(pair16, in_odd_y_range(y_even)));
        g_odd = _mm_add_epi16(g_odd, _mm_and_si128(pair16, in_odd_y_range(y_odd)));
    }
    const __m128i r = _mm_packus_epi16(_mm_add_epi16(y_even, c.r), _mm_add_epi16(y_odd, c.r));
    const __m128i g = _mm_packus_epi16(g_even, g_odd);
    const __m128i b = _mm_packus_epi16(_mm_add_epi16(y_even, c.b), _mm_add_epi16(y_odd, c.b));
    store_rgb48(rgb, r, g, b);
}

struct Block {
    static constexpr int32_t kStep = 16;
    static constexpr auto load_chroma = camsnap::load_chroma;
    static constexpr auto emit = emit16;
    static constexpr auto narrow_row = yu12_rgb_row_scalar;
    static constexpr auto narrow_row_pair = yu12_rgb_row_pair_scalar;
};

// The other variants (convert/ycbcr_forms.h): per chroma sample an offset
// and, for limited range, the remainder Mr that each pixel's j is held against.
namespace variant {

using ycbcr_int::Channel;
using ycbcr_int::Form;

// Signed 16-bit lanes 0-3 or 4-7 as 32-bit lanes.
__m128i widen_lo(__m128i x) { return _mm_unpacklo_epi16(x, _mm_srai_epi16(x, 15)); }
__m128i widen_hi(__m128i x) { return _mm_unpackhi_epi16(x, _mm_srai_epi16(x, 15)); }

__attribute__((always_inline)) inline __m128i sum_of(const Form &f, __m128i d, __m128i e) {
    __m128i s = _mm_set1_epi32(static_cast<int32_t>(f.bias));
    if (f.d_mul) s = _mm_add_epi32(s, _mm_mullo_epi32(d, _mm_set1_epi32(f.d_mul)));
    if (f.e_mul) s = _mm_add_epi32(s, _mm_mullo_epi32(e, _mm_set1_epi32(f.e_mul)));
    return s;
}

struct Values {
    __m128i off, rem;
};

// A channel's offset and remainder for 4 samples, 32-bit.
__attribute__((always_inline)) inline Values values(const Channel &c, bool limited, __m128i d,
                                                    __m128i e) {
    const __m128i plain = _mm_srai_epi32(sum_of(c.plain, d, e), c.plain.shift);
    if (!limited) return {plain, _mm_setzero_si128()};
    const __m128i low = _mm_srli_epi32(sum_of(c.wrapped, d, e), c.wrapped.shift);
    const __m128i m219 = _mm_mullo_epi32(plain, _mm_set1_epi32(ycbcr_int::kLimitedDivisor));
    const __m128i mask = _mm_set1_epi32(static_cast<int32_t>(0xFFFFFFFFu >> c.wrapped.shift));
    return {_mm_sub_epi32(_mm_setzero_si128(), plain), _mm_and_si128(_mm_sub_epi32(low, m219), mask)};
}

struct Sample16 {
    __m128i off, rem;  // 8 samples, int16
};

struct ChromaBlock {
    Sample16 r, g, b;
};

__attribute__((always_inline)) inline Sample16 channel(const Channel &c, bool limited, __m128i d,
                                                      __m128i e) {
    const Values lo = values(c, limited, widen_lo(d), widen_lo(e));
    const Values hi = values(c, limited, widen_hi(d), widen_hi(e));
    return {_mm_packs_epi32(lo.off, hi.off), _mm_packs_epi32(lo.rem, hi.rem)};
}

// q and j of 8 luma values (16-bit lanes): 255 Y = 219 q + j.
struct Split {
    __m128i q, j;
};

__attribute__((always_inline)) inline Split split(__m128i y) {
    const __m128i f = _mm_mulhi_epu16(y, _mm_set1_epi16(ycbcr_int::kLumaSplitMul));
    return {_mm_add_epi16(y, f), _mm_sub_epi16(_mm_mullo_epi16(y, _mm_set1_epi16(36)),
                                               _mm_mullo_epi16(f, _mm_set1_epi16(219)))};
}

__attribute__((always_inline)) inline __m128i pixel(const Split &s, const Sample16 &c,
                                                    bool limited) {
    if (!limited) return _mm_add_epi16(s.q, c.off);
    return _mm_add_epi16(_mm_add_epi16(s.q, c.off), _mm_cmpgt_epi16(c.rem, s.j));
}

template <const ycbcr_int::Variant &F>
struct Block : ScalarVariantTail<F.index> {
    static constexpr int32_t kStep = 16;

    __attribute__((always_inline)) static ChromaBlock load_chroma(const uint8_t *cb,
                                                                  const uint8_t *cr) {
        const __m128i bias = _mm_set1_epi16(kChromaBias);
        const __m128i d = _mm_sub_epi16(
            _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(cb))), bias);
        const __m128i e = _mm_sub_epi16(
            _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(cr))), bias);
        return {channel(F.r, F.limited, d, e), channel(F.g, F.limited, d, e),
                channel(F.b, F.limited, d, e)};
    }

    __attribute__((always_inline)) static void emit(const uint8_t *y, const ChromaBlock &c,
                                                    uint8_t *rgb) {
        const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i *>(y));
        const __m128i y_even = _mm_and_si128(luma, _mm_set1_epi16(0x00FF));
        const __m128i y_odd = _mm_srli_epi16(luma, 8);
        const Split even = F.limited ? split(y_even) : Split{y_even, y_even};
        const Split odd = F.limited ? split(y_odd) : Split{y_odd, y_odd};
        const auto channel8 = [&](const Sample16 &s) {
            return _mm_packus_epi16(pixel(even, s, F.limited), pixel(odd, s, F.limited));
        };
        store_rgb48(rgb, channel8(c.r), channel8(c.g), channel8(c.b));
    }
};

}  // namespace variant

}  // namespace

const YcbcrRows ycbcr_rows_sse41[kOtherYcbcrVariants] = {
    VariantRows<variant::Block>::table[0], VariantRows<variant::Block>::table[1],
    VariantRows<variant::Block>::table[2]};

void yu12_rgb_row_sse41(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                        int32_t width) {
    yu12_rgb_row_blocks<Block>(y, cb, cr, rgb, width);
}

void yu12_rgb_row_pair_sse41(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                             const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width) {
    yu12_rgb_row_pair_blocks<Block>(y0, y1, cb, cr, rgb0, rgb1, width);
}

}  // namespace camsnap

#endif  // __x86_64__
