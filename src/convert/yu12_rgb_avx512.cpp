// YU12 to RGB, 64 pixels a step with AVX-512 (F, BW, VL and VBMI). Built with
// those flags; only called when the CPU reports all four and AVX2 (which rows
// narrower than a block use). The integer form of convert/yu12_rgb_int.h.
// VBMI's two-table byte permute builds the R G B triples in two instructions
// per 64 output bytes, where AVX2 needs a shuffle per channel, two blends per
// 32 bytes and a lane fix-up.
#include "convert/kernels.h"
#include "convert/row_blocks.h"
#include "convert/yu12_rgb_int.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace camsnap {
namespace {

using namespace yu12_int;

__m512i pairs(int16_t d_mul, int16_t e_mul) {
    return _mm512_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(d_mul)) |
                             (static_cast<int32_t>(static_cast<uint16_t>(e_mul)) << 16));
}

__m512i g_offsets(__m512i de) {
    const __m512i hi = _mm512_madd_epi16(de, pairs(kGdHi, kGeHi));
    const __m512i lo = _mm512_madd_epi16(de, pairs(kGdLo, kGeLo));
    const __m512i sum = _mm512_add_epi32(_mm512_add_epi32(_mm512_slli_epi32(hi, 8), lo),
                                         _mm512_set1_epi32(kGBias));
    return _mm512_srai_epi32(sum, 20);
}

__mmask32 in_odd_y_range(__m512i y16) {
    return _mm512_cmpgt_epi16_mask(y16, _mm512_set1_epi16(kOddYMin - 1)) &
           _mm512_cmplt_epi16_mask(y16, _mm512_set1_epi16(kOddYMax + 1));
}

// The channels arrive as three vectors of 16-byte lanes; lane L of each holds
// pixels 16L .. 16L + 15 as two 8-byte halves, one channel of the even or the
// odd pixels each:
//   mix0 = [R even | G even], mix1 = [B even | R odd], mix2 = [G odd | B odd].
// For each 64-byte block of output, `from01` picks every byte that lives in
// mix0 or mix1 (bit 6 chooses mix1) and `from2`, under `take2`, the rest.
struct PermuteTables {
    uint8_t from01[3][64];
    uint8_t from2[3][64];
    uint64_t take2[3];
};

constexpr PermuteTables make_permute_tables() {
    PermuteTables t{};
    // [parity][channel] -> vector * 2 + half
    constexpr int where[2][3] = {{0, 1, 2}, {3, 4, 5}};
    for (int block = 0; block < 3; ++block)
        for (int i = 0; i < 64; ++i) {
            const int j = 64 * block + i, pixel = j / 3, ch = j % 3;
            const int lane = pixel / 16, q = pixel % 16;
            const int vh = where[q % 2][ch], vec = vh / 2, half = vh % 2;
            const int at = 16 * lane + 8 * half + q / 2;
            if (vec == 2) {
                t.from2[block][i] = static_cast<uint8_t>(at);
                t.take2[block] |= uint64_t{1} << i;
            } else {
                t.from01[block][i] = static_cast<uint8_t>(at + 64 * vec);
            }
        }
    return t;
}

alignas(64) constexpr PermuteTables kPermute = make_permute_tables();

__m512i rgb_block(__m512i mix0, __m512i mix1, __m512i mix2, int block) {
    const __m512i a = _mm512_permutex2var_epi8(
        mix0, _mm512_load_si512(kPermute.from01[block]), mix1);
    return _mm512_mask_permutexvar_epi8(a, kPermute.take2[block],
                                        _mm512_load_si512(kPermute.from2[block]), mix2);
}

// The chroma side of a 64-pixel block: offsets for 32 samples, and which of
// them are the Cb 28 / Cr 228 pair. Shared by the two luma rows that use it.
struct ChromaBlock {
    __m512i r, g, b;     // int16 offsets, one lane per sample
    __mmask32 odd_pair;  // one bit per flagged sample
};

__attribute__((always_inline)) inline ChromaBlock load_chroma(const uint8_t *cb, const uint8_t *cr) {
    const __m256i cb8 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(cb));
    const __m256i cr8 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(cr));
    const __m512i bias = _mm512_set1_epi16(128);
    const __m512i d = _mm512_sub_epi16(_mm512_cvtepu8_epi16(cb8), bias);
    const __m512i e = _mm512_sub_epi16(_mm512_cvtepu8_epi16(cr8), bias);
    ChromaBlock c;
    c.r = _mm512_mulhi_epi16(_mm512_slli_epi16(e, 3), _mm512_set1_epi16(kRMul));
    c.b = _mm512_mulhi_epi16(_mm512_slli_epi16(d, 5), _mm512_set1_epi16(kBMul));
    // Lane-wise unpack and pack undo each other, so samples stay in order.
    c.g = _mm512_packs_epi32(g_offsets(_mm512_unpacklo_epi16(d, e)),
                             g_offsets(_mm512_unpackhi_epi16(d, e)));
    c.odd_pair = _mm256_cmpeq_epi8_mask(cb8, _mm256_set1_epi8(char(kOddCb))) &
                 _mm256_cmpeq_epi8_mask(cr8, _mm256_set1_epi8(char(kOddCr)));
    return c;
}

// Pixels x .. x + 63 of one row, for even x: reads y[0..63]. Inlined so the
// loop keeps its constants in registers.
__attribute__((always_inline)) inline void emit64(const uint8_t *y, const ChromaBlock &c,
                                                  uint8_t *rgb) {
    // Even and odd pixels as 16-bit lanes: lane k of either belongs to chroma
    // sample k, the lane its offsets are in.
    const __m512i luma = _mm512_loadu_si512(y);
    const __m512i y_even = _mm512_and_si512(luma, _mm512_set1_epi16(0x00FF));
    const __m512i y_odd = _mm512_srli_epi16(luma, 8);

    __m512i g_even = _mm512_add_epi16(y_even, c.g), g_odd = _mm512_add_epi16(y_odd, c.g);
    if (__builtin_expect(c.odd_pair != 0, 0)) {
        const __m512i one = _mm512_set1_epi16(1);
        g_even = _mm512_mask_sub_epi16(g_even, c.odd_pair & in_odd_y_range(y_even), g_even, one);
        g_odd = _mm512_mask_sub_epi16(g_odd, c.odd_pair & in_odd_y_range(y_odd), g_odd, one);
    }
    const __m512i r_even = _mm512_add_epi16(y_even, c.r), r_odd = _mm512_add_epi16(y_odd, c.r);
    const __m512i b_even = _mm512_add_epi16(y_even, c.b), b_odd = _mm512_add_epi16(y_odd, c.b);
    const __m512i mix0 = _mm512_packus_epi16(r_even, g_even);
    const __m512i mix1 = _mm512_packus_epi16(b_even, r_odd);
    const __m512i mix2 = _mm512_packus_epi16(g_odd, b_odd);
    _mm512_storeu_si512(rgb, rgb_block(mix0, mix1, mix2, 0));
    _mm512_storeu_si512(rgb + 64, rgb_block(mix0, mix1, mix2, 1));
    _mm512_storeu_si512(rgb + 128, rgb_block(mix0, mix1, mix2, 2));
}

struct Block {
    static constexpr int32_t kStep = 64;
    static constexpr auto load_chroma = camsnap::load_chroma;
    static constexpr auto emit = emit64;
    static constexpr auto narrow_row = yu12_rgb_row_avx2;
    static constexpr auto narrow_row_pair = yu12_rgb_row_pair_avx2;
};

// The other variants (convert/ycbcr_forms.h): per chroma sample an offset
// and, for limited range, the remainder Mr that each pixel's j is held against.
namespace variant {

using ycbcr_int::Channel;
using ycbcr_int::Form;

// Signed 16-bit lanes as 32-bit lanes, per 128-bit lane; packs undoes it.
__m512i widen_lo(__m512i x) { return _mm512_unpacklo_epi16(x, _mm512_srai_epi16(x, 15)); }
__m512i widen_hi(__m512i x) { return _mm512_unpackhi_epi16(x, _mm512_srai_epi16(x, 15)); }

__attribute__((always_inline)) inline __m512i sum_of(const Form &f, __m512i d, __m512i e) {
    __m512i s = _mm512_set1_epi32(static_cast<int32_t>(f.bias));
    if (f.d_mul) s = _mm512_add_epi32(s, _mm512_mullo_epi32(d, _mm512_set1_epi32(f.d_mul)));
    if (f.e_mul) s = _mm512_add_epi32(s, _mm512_mullo_epi32(e, _mm512_set1_epi32(f.e_mul)));
    return s;
}

struct Values {
    __m512i off, rem;
};

__attribute__((always_inline)) inline Values values(const Channel &c, bool limited, __m512i d,
                                                    __m512i e) {
    const __m512i plain = _mm512_srai_epi32(sum_of(c.plain, d, e), c.plain.shift);
    if (!limited) return {plain, _mm512_setzero_si512()};
    const __m512i low = _mm512_srli_epi32(sum_of(c.wrapped, d, e), c.wrapped.shift);
    const __m512i m219 = _mm512_mullo_epi32(plain, _mm512_set1_epi32(ycbcr_int::kLimitedDivisor));
    const __m512i mask = _mm512_set1_epi32(static_cast<int32_t>(0xFFFFFFFFu >> c.wrapped.shift));
    return {_mm512_sub_epi32(_mm512_setzero_si512(), plain),
            _mm512_and_si512(_mm512_sub_epi32(low, m219), mask)};
}

struct Sample16 {
    __m512i off, rem;  // 32 samples, int16, in sample order
};

struct ChromaBlock {
    Sample16 r, g, b;
};

__attribute__((always_inline)) inline Sample16 channel(const Channel &c, bool limited, __m512i d,
                                                      __m512i e) {
    const Values lo = values(c, limited, widen_lo(d), widen_lo(e));
    const Values hi = values(c, limited, widen_hi(d), widen_hi(e));
    return {_mm512_packs_epi32(lo.off, hi.off), _mm512_packs_epi32(lo.rem, hi.rem)};
}

// q and j of 32 luma values: 255 Y = 219 q + j.
struct Split {
    __m512i q, j;
};

__attribute__((always_inline)) inline Split split(__m512i y) {
    const __m512i f = _mm512_mulhi_epu16(y, _mm512_set1_epi16(ycbcr_int::kLumaSplitMul));
    return {_mm512_add_epi16(y, f), _mm512_sub_epi16(_mm512_mullo_epi16(y, _mm512_set1_epi16(36)),
                                                     _mm512_mullo_epi16(f, _mm512_set1_epi16(219)))};
}

__attribute__((always_inline)) inline __m512i pixel(const Split &s, const Sample16 &c,
                                                    bool limited) {
    const __m512i sum = _mm512_add_epi16(s.q, c.off);
    if (!limited) return sum;
    return _mm512_mask_sub_epi16(sum, _mm512_cmpgt_epi16_mask(c.rem, s.j), sum,
                                 _mm512_set1_epi16(1));
}

template <const ycbcr_int::Variant &F>
struct Block : ScalarVariantTail<F.index> {
    static constexpr int32_t kStep = 64;

    __attribute__((always_inline)) static ChromaBlock load_chroma(const uint8_t *cb,
                                                                  const uint8_t *cr) {
        const __m512i bias = _mm512_set1_epi16(kChromaBias);
        const __m512i d = _mm512_sub_epi16(
            _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(cb))), bias);
        const __m512i e = _mm512_sub_epi16(
            _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(cr))), bias);
        return {channel(F.r, F.limited, d, e), channel(F.g, F.limited, d, e),
                channel(F.b, F.limited, d, e)};
    }

    __attribute__((always_inline)) static void emit(const uint8_t *y, const ChromaBlock &c,
                                                    uint8_t *rgb) {
        const __m512i luma = _mm512_loadu_si512(y);
        const __m512i y_even = _mm512_and_si512(luma, _mm512_set1_epi16(0x00FF));
        const __m512i y_odd = _mm512_srli_epi16(luma, 8);
        const Split even = F.limited ? split(y_even) : Split{y_even, y_even};
        const Split odd = F.limited ? split(y_odd) : Split{y_odd, y_odd};
        const __m512i mix0 = _mm512_packus_epi16(pixel(even, c.r, F.limited), pixel(even, c.g, F.limited));
        const __m512i mix1 = _mm512_packus_epi16(pixel(even, c.b, F.limited), pixel(odd, c.r, F.limited));
        const __m512i mix2 = _mm512_packus_epi16(pixel(odd, c.g, F.limited), pixel(odd, c.b, F.limited));
        _mm512_storeu_si512(rgb, rgb_block(mix0, mix1, mix2, 0));
        _mm512_storeu_si512(rgb + 64, rgb_block(mix0, mix1, mix2, 1));
        _mm512_storeu_si512(rgb + 128, rgb_block(mix0, mix1, mix2, 2));
    }
};

}  // namespace variant

}  // namespace

const YcbcrRows ycbcr_rows_avx512[kOtherYcbcrVariants] = {
    VariantRows<variant::Block>::table[0], VariantRows<variant::Block>::table[1],
    VariantRows<variant::Block>::table[2]};

void yu12_rgb_row_avx512(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                         int32_t width) {
    yu12_rgb_row_blocks<Block>(y, cb, cr, rgb, width);
}

void yu12_rgb_row_pair_avx512(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb,
                              const uint8_t *cr, uint8_t *rgb0, uint8_t *rgb1, int32_t width) {
    yu12_rgb_row_pair_blocks<Block>(y0, y1, cb, cr, rgb0, rgb1, width);
}

}  // namespace camsnap

#endif  // __x86_64__
