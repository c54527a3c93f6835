// YU12 to RGB, 32 pixels a step with AVX2. Built with -mavx2; only called when
// the CPU reports AVX2. The integer form of convert/yu12_rgb_int.h, laid out so
// that each 128-bit lane holds 16 whole pixels: the byte shuffles then stay
// inside lanes and only the final stores cross them.
#include "convert/kernels.h"
#include "convert/row_blocks.h"
#include "convert/yu12_rgb_int.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace camsnap {
namespace {

using namespace yu12_int;

struct Chroma {
    __m256i r, g, b;  // 16 per-chroma-sample offsets each, int16, in sample order
};

__m256i pairs(int16_t d_mul, int16_t e_mul) {
    return _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(d_mul)) |
                             (static_cast<int32_t>(static_cast<uint16_t>(e_mul)) << 16));
}

__m256i g_offsets(__m256i de) {
    const __m256i hi = _mm256_madd_epi16(de, pairs(kGdHi, kGeHi));
    const __m256i lo = _mm256_madd_epi16(de, pairs(kGdLo, kGeLo));
    const __m256i sum = _mm256_add_epi32(_mm256_add_epi32(_mm256_slli_epi32(hi, 8), lo),
                                         _mm256_set1_epi32(kGBias));
    return _mm256_srai_epi32(sum, 20);
}

Chroma chroma_offsets(__m128i cb8, __m128i cr8) {
    const __m256i bias = _mm256_set1_epi16(128);
    const __m256i d = _mm256_sub_epi16(_mm256_cvtepu8_epi16(cb8), bias);
    const __m256i e = _mm256_sub_epi16(_mm256_cvtepu8_epi16(cr8), bias);
    Chroma c;
    c.r = _mm256_mulhi_epi16(_mm256_slli_epi16(e, 3), _mm256_set1_epi16(kRMul));
    c.b = _mm256_mulhi_epi16(_mm256_slli_epi16(d, 5), _mm256_set1_epi16(kBMul));
    // Lane-wise unpack and pack undo each other, so samples stay in order.
    c.g = _mm256_packs_epi32(g_offsets(_mm256_unpacklo_epi16(d, e)),
                             g_offsets(_mm256_unpackhi_epi16(d, e)));
    return c;
}

__m256i in_odd_y_range(__m256i y16) {
    return _mm256_and_si256(_mm256_cmpgt_epi16(y16, _mm256_set1_epi16(kOddYMin - 1)),
                            _mm256_cmpgt_epi16(_mm256_set1_epi16(kOddYMax + 1), y16));
}

// Interleaving three channels into R G B triples, per 128-bit lane: the bytes
// a channel owns in the lane's three output blocks sit at disjoint positions
// that together cover 0..15, so one pshufb per channel puts every pixel where
// its block wants it, and each block is then two blends. The channels arrive
// per lane as [even pixels | odd pixels] (packus of the two halves); the
// selectors absorb that.
struct InterleaveTables {
    int8_t place[3][32];   // [channel][position]: pshufb selector, both lanes alike
    int8_t take_g[3][32];  // [block][position]: -1 where the byte is G
    int8_t take_b[3][32];  // [block][position]: -1 where the byte is B
};

constexpr InterleaveTables make_interleave_tables() {
    InterleaveTables t{};
    for (int block = 0; block < 3; ++block)
        for (int i = 0; i < 32; ++i) {
            const int pos = i % 16, j = 16 * block + pos, ch = j % 3, pixel = j / 3;
            t.place[ch][i] = static_cast<int8_t>(pixel % 2 ? 8 + pixel / 2 : pixel / 2);
            t.take_g[block][i] = ch == 1 ? -1 : 0;
            t.take_b[block][i] = ch == 2 ? -1 : 0;
        }
    return t;
}

alignas(32) constexpr InterleaveTables kInterleave = make_interleave_tables();

__m256i load_table(const int8_t (&row)[32]) {
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(row));
}

// Channels of 32 pixels (lane 0 pixels 0-15, lane 1 pixels 16-31) into 96
// bytes of R G B.
void store_rgb96(uint8_t *dst, __m256i r, __m256i g, __m256i b) {
    r = _mm256_shuffle_epi8(r, load_table(kInterleave.place[0]));
    g = _mm256_shuffle_epi8(g, load_table(kInterleave.place[1]));
    b = _mm256_shuffle_epi8(b, load_table(kInterleave.place[2]));
    __m256i o[3];
    for (int block = 0; block < 3; ++block) {
        const __m256i rg = _mm256_blendv_epi8(r, g, load_table(kInterleave.take_g[block]));
        o[block] = _mm256_blendv_epi8(rg, b, load_table(kInterleave.take_b[block]));
    }
    // Output order: o0.lane0 o1.lane0 o2.lane0 o0.lane1 o1.lane1 o2.lane1.
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), _mm256_permute2x128_si256(o[0], o[1], 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 32), _mm256_blend_epi32(o[2], o[0], 0xF0));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 64), _mm256_permute2x128_si256(o[1], o[2], 0x31));
}

// The chroma side of a 32-pixel block: offsets for 16 samples, and which of
// them are the Cb 28 / Cr 228 pair. Shared by the two luma rows that use it.
struct ChromaBlock {
    Chroma offsets;
    __m128i odd_pair;  // 0xFF per flagged sample
    bool any_odd;
};

__attribute__((always_inline)) inline ChromaBlock load_chroma(const uint8_t *cb, const uint8_t *cr) {
    const __m128i cb8 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cb));
    const __m128i cr8 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cr));
    ChromaBlock c;
    c.offsets = chroma_offsets(cb8, cr8);
    c.odd_pair = _mm_and_si128(_mm_cmpeq_epi8(cb8, _mm_set1_epi8(char(kOddCb))),
                               _mm_cmpeq_epi8(cr8, _mm_set1_epi8(char(kOddCr))));
    c.any_odd = _mm_movemask_epi8(c.odd_pair) != 0;
    return c;
}

// Pixels x .. x + 31 of one row, for even x: reads y[0..31]. Inlined (as are
// its helpers) so the loop keeps its constants in registers.
__attribute__((always_inline)) inline void emit32(const uint8_t *y, const ChromaBlock &cb,
                                                  uint8_t *rgb) {
    const Chroma &c = cb.offsets;
    // Split luma into even and odd pixels as 16-bit lanes: lane k of either
    // then belongs to chroma sample k, the same lane as its offsets, so the
    // offsets need no widening to pixels; the final shuffle restores order.
    const __m256i luma = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(y));
    const __m256i y_even = _mm256_and_si256(luma, _mm256_set1_epi16(0x00FF));
    const __m256i y_odd = _mm256_srli_epi16(luma, 8);

    __m256i g_even = _mm256_add_epi16(y_even, c.g), g_odd = _mm256_add_epi16(y_odd, c.g);
    if (__builtin_expect(cb.any_odd, 0)) {
        const __m256i pair16 = _mm256_cvtepi8_epi16(cb.odd_pair);  // -1 per flagged sample
        g_even = _mm256_add_epi16(g_even, _mm256_and_si256(pair16, in_odd_y_range(y_even)));
        g_odd = _mm256_add_epi16(g_odd, _mm256_and_si256(pair16, in_odd_y_range(y_odd)));
    }
    const __m256i r = _mm256_packus_epi16(_mm256_add_epi16(y_even, c.r), _mm256_add_epi16(y_odd, c.r));
    const __m256i b = _mm256_packus_epi16(_mm256_add_epi16(y_even, c.b), _mm256_add_epi16(y_odd, c.b));
    store_rgb96(rgb, r, _mm256_packus_epi16(g_even, g_odd), b);
}

struct Block {
    static constexpr int32_t kStep = 32;
    static constexpr auto load_chroma = camsnap::load_chroma;
    static constexpr auto emit = emit32;
    static constexpr auto narrow_row = yu12_rgb_row_sse41;
    static constexpr auto narrow_row_pair = yu12_rgb_row_pair_sse41;
};

// The other variants (convert/ycbcr_forms.h): per chroma sample an offset
// and, for limited range, the remainder Mr that each pixel's j is held against.
namespace variant {

using ycbcr_int::Channel;
using ycbcr_int::Form;

// Signed 16-bit lanes as 32-bit lanes, per 128-bit lane; packs undoes it.
__m256i widen_lo(__m256i x) { return _mm256_unpacklo_epi16(x, _mm256_srai_epi16(x, 15)); }
__m256i widen_hi(__m256i x) { return _mm256_unpackhi_epi16(x, _mm256_srai_epi16(x, 15)); }

__attribute__((always_inline)) inline __m256i sum_of(const Form &f, __m256i d, __m256i e) {
    __m256i s = _mm256_set1_epi32(static_cast<int32_t>(f.bias));
    if (f.d_mul) s = _mm256_add_epi32(s, _mm256_mullo_epi32(d, _mm256_set1_epi32(f.d_mul)));
    if (f.e_mul) s = _mm256_add_epi32(s, _mm256_mullo_epi32(e, _mm256_set1_epi32(f.e_mul)));
    return s;
}

struct Values {
    __m256i off, rem;
};

__attribute__((always_inline)) inline Values values(const Channel &c, bool limited, __m256i d,
                                                    __m256i e) {
    const __m256i plain = _mm256_srai_epi32(sum_of(c.plain, d, e), c.plain.shift);
    if (!limited) return {plain, _mm256_setzero_si256()};
    const __m256i low = _mm256_srli_epi32(sum_of(c.wrapped, d, e), c.wrapped.shift);
    const __m256i m219 = _mm256_mullo_epi32(plain, _mm256_set1_epi32(ycbcr_int::kLimitedDivisor));
    const __m256i mask = _mm256_set1_epi32(static_cast<int32_t>(0xFFFFFFFFu >> c.wrapped.shift));
    return {_mm256_sub_epi32(_mm256_setzero_si256(), plain),
            _mm256_and_si256(_mm256_sub_epi32(low, m219), mask)};
}

struct Sample16 {
    __m256i off, rem;  // 16 samples, int16, in sample order
};

struct ChromaBlock {
    Sample16 r, g, b;
};

__attribute__((always_inline)) inline Sample16 channel(const Channel &c, bool limited, __m256i d,
                                                      __m256i e) {
    const Values lo = values(c, limited, widen_lo(d), widen_lo(e));
    const Values hi = values(c, limited, widen_hi(d), widen_hi(e));
    return {_mm256_packs_epi32(lo.off, hi.off), _mm256_packs_epi32(lo.rem, hi.rem)};
}

// q and j of 16 luma values: 255 Y = 219 q + j.
struct Split {
    __m256i q, j;
};

__attribute__((always_inline)) inline Split split(__m256i y) {
    const __m256i f = _mm256_mulhi_epu16(y, _mm256_set1_epi16(ycbcr_int::kLumaSplitMul));
    return {_mm256_add_epi16(y, f), _mm256_sub_epi16(_mm256_mullo_epi16(y, _mm256_set1_epi16(36)),
                                                     _mm256_mullo_epi16(f, _mm256_set1_epi16(219)))};
}

__attribute__((always_inline)) inline __m256i pixel(const Split &s, const Sample16 &c,
                                                    bool limited) {
    if (!limited) return _mm256_add_epi16(s.q, c.off);
    return _mm256_add_epi16(_mm256_add_epi16(s.q, c.off), _mm256_cmpgt_epi16(c.rem, s.j));
}

template <const ycbcr_int::Variant &F>
struct Block : ScalarVariantTail<F.index> {
    static constexpr int32_t kStep = 32;

    __attribute__((always_inline)) static ChromaBlock load_chroma(const uint8_t *cb,
                                                                  const uint8_t *cr) {
        const __m256i bias = _mm256_set1_epi16(kChromaBias);
        const __m256i d = _mm256_sub_epi16(
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(cb))), bias);
        const __m256i e = _mm256_sub_epi16(
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(cr))), bias);
        return {channel(F.r, F.limited, d, e), channel(F.g, F.limited, d, e),
                channel(F.b, F.limited, d, e)};
    }

    __attribute__((always_inline)) static void emit(const uint8_t *y, const ChromaBlock &c,
                                                    uint8_t *rgb) {
        const __m256i luma = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(y));
        const __m256i y_even = _mm256_and_si256(luma, _mm256_set1_epi16(0x00FF));
        const __m256i y_odd = _mm256_srli_epi16(luma, 8);
        const Split even = F.limited ? split(y_even) : Split{y_even, y_even};
        const Split odd = F.limited ? split(y_odd) : Split{y_odd, y_odd};
        const auto channel8 = [&](const Sample16 &s) {
            return _mm256_packus_epi16(pixel(even, s, F.limited), pixel(odd, s, F.limited));
        };
        store_rgb96(rgb, channel8(c.r), channel8(c.g), channel8(c.b));
    }
};

}  // namespace variant

}  // namespace

const YcbcrRows ycbcr_rows_avx2[kOtherYcbcrVariants] = {
    VariantRows<variant::Block>::table[0], VariantRows<variant::Block>::table[1],
    VariantRows<variant::Block>::table[2]};

void yu12_rgb_row_avx2(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                       int32_t width) {
    yu12_rgb_row_blocks<Block>(y, cb, cr, rgb, width);
}

void yu12_rgb_row_pair_avx2(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                            const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width) {
    yu12_rgb_row_pair_blocks<Block>(y0, y1, cb, cr, rgb0, rgb1, width);
}

}  // namespace camsnap

#endif  // __x86_64__
