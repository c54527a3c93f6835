// The Y'CbCr variants beside full-range BT.601: their exact rational reference
// and the integer rows that match it for every (Y, Cb, Cr).
#include "convert/ycbcr.h"

namespace camsnap {

namespace {

// Kr and Kb of an encoding in ten-thousandths.
struct Weights {
    int64_t kr, kb;
};
constexpr int64_t kUnit = 10000;

Weights weights(Encoding e) { return e == Encoding::bt709 ? Weights{2126, 722} : Weights{2990, 1140}; }

uint8_t clamp8(int64_t v) { return v < 0 ? 0 : v > 255 ? 255 : uint8_t(v); }

// floor(n / d) for d > 0.
int64_t floor_div(int64_t n, int64_t d) { return n >= 0 ? n / d : -((-n + d - 1) / d); }

// The three channels as numerators over one denominator, every coefficient
// an exact fraction: no rounding anywhere but the last.
void reference_pixel(YcbcrVariant v, int y, int cb, int cr, uint8_t *rgb) {
    const Weights w = weights(v.encoding);
    const int64_t kg = kUnit - w.kr - w.kb;
    const bool limited = v.quantization == Quantization::limited;
    // c = (Y - y0) * ys_n / ys_d, chroma scaled by cs_n / cs_d.
    const int64_t y0 = limited ? 16 : 0, ys_n = limited ? 255 : 1, ys_d = limited ? 219 : 1;
    const int64_t cs_n = limited ? 255 : 1, cs_d = limited ? 224 : 1;
    const int64_t d = cb - 128, e = cr - 128;
    const int64_t den = ys_d * cs_d * kUnit * kg;
    const int64_t c = (y - y0) * ys_n * cs_d * kUnit * kg;
    const int64_t chroma = cs_n * ys_d;
    const int64_t r = c + e * chroma * 2 * (kUnit - w.kr) * kg;
    const int64_t b = c + d * chroma * 2 * (kUnit - w.kb) * kg;
    const int64_t g = c - d * chroma * 2 * w.kb * (kUnit - w.kb) - e * chroma * 2 * w.kr * (kUnit - w.kr);
    rgb[0] = clamp8(floor_div(2 * r + den, 2 * den));
    rgb[1] = clamp8(floor_div(2 * g + den, 2 * den));
    rgb[2] = clamp8(floor_div(2 * b + den, 2 * den));
}

// One channel: (y_mul (Y - y0) + d_mul d + e_mul e + bias) >> shift, clamped.
struct Channel {
    int64_t y_mul, d_mul, e_mul, bias;
    int shift;
};
struct IntegerForm {
    int64_t y0;
    Channel r, g, b;
};

// The form's products for every byte value, so that a pixel costs three
// additions, a shift and a clamp per channel, and the chroma sums are made once
// for the two pixels that share them.
struct Tables {
    int64_t y[3][256], d[3][256], e[3][256];
    int shift[3];
    explicit Tables(const IntegerForm &f) {
        const Channel *ch[3] = {&f.r, &f.g, &f.b};
        for (int c = 0; c < 3; ++c) {
            shift[c] = ch[c]->shift;
            for (int v = 0; v < 256; ++v) {
                y[c][v] = ch[c]->y_mul * (v - f.y0) + ch[c]->bias;
                d[c][v] = ch[c]->d_mul * (v - 128);
                e[c][v] = ch[c]->e_mul * (v - 128);
            }
        }
    }
};

template <const IntegerForm &F>
void integer_row(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                 int32_t width) {
    static const Tables t(F);
    for (int32_t x = 0; x < width; x += 2) {
        const uint8_t b = cb[x / 2], r = cr[x / 2];
        const int64_t chroma[3] = {t.d[0][b] + t.e[0][r], t.d[1][b] + t.e[1][r], t.d[2][b] + t.e[2][r]};
        const int32_t end = x + 1 < width ? x + 2 : x + 1;
        for (int32_t p = x; p < end; ++p)
            for (int c = 0; c < 3; ++c)
                rgb[3 * p + c] = clamp8((t.y[c][y[p]] + chroma[c]) >> t.shift[c]);
    }
}

// Multipliers are the coefficients times 2^shift, rounded; bias is one half
// plus the correction that makes every (Y, Cb, Cr) round as the reference does
// (found by checking all 2^24 triples, as tests/cpp does).
constexpr IntegerForm kLimited601 = {
    16,
    {1220945, 0, 1673555, (int64_t(1) << 19) - 32, 20},
    {1250247329, -420651556, -872917364, int64_t(1) << 29, 30},
    {1220945, 2115221, 0, (int64_t(1) << 19) - 32, 20},
};
constexpr IntegerForm kFull709 = {
    0,
    {1048576, 0, 1651297, int64_t(1) << 19, 20},
    {1048576, -196424, -490864, int64_t(1) << 19, 20},
    {1048576, 1945738, 0, int64_t(1) << 19, 20},
};
constexpr IntegerForm kLimited709 = {
    16,
    {2441889, 0, 3759651, int64_t(1) << 20, 21},
    {1250247329, -228973956, -572207034, int64_t(1) << 29, 30},
    {1220945, 2215014, 0, (int64_t(1) << 19) - 16, 20},
};

template <const IntegerForm &F>
void integer_row_pair(const uint8_t *y0, const uint8_t *y1, const uint8_t *cb, const uint8_t *cr,
                      uint8_t *rgb0, uint8_t *rgb1, int32_t width) {
    integer_row<F>(y0, cb, cr, rgb0, width);
    integer_row<F>(y1, cb, cr, rgb1, width);
}

template <const IntegerForm &F>
constexpr YcbcrRows integer_rows() {
    return {integer_row<F>, integer_row_pair<F>};
}

int other_index(YcbcrVariant v) {
    if (v.encoding == Encoding::bt601) return 0;
    return v.quantization == Quantization::full ? 1 : 2;
}

}  // namespace

const YcbcrRows ycbcr_rows_scalar[kOtherYcbcrVariants] = {
    integer_rows<kLimited601>(), integer_rows<kFull709>(), integer_rows<kLimited709>()};

void ycbcr_rgb_row_reference(YcbcrVariant v, const uint8_t *y, const uint8_t *cb,
                             const uint8_t *cr, uint8_t *rgb, int32_t width) {
    if (v.encoding == Encoding::bt601 && v.quantization == Quantization::full) {
        yu12_rgb_row_reference(y, 1, cb, cr, rgb, 3, width);
        return;
    }
    for (int32_t x = 0; x < width; ++x) reference_pixel(v, y[x], cb[x / 2], cr[x / 2], rgb + 3 * x);
}

YcbcrRows ycbcr_rgb_rows(const Yu12RgbKernel &k, YcbcrVariant v) {
    if (v.encoding == Encoding::bt601 && v.quantization == Quantization::full)
        return {k.row, k.row_pair};
    return k.other[other_index(v)];
}


}  // namespace camsnap
