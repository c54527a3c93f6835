// Every YU12 to RGB row kernel this CPU runs, in every Y'CbCr variant, held
// to the variant's reference row.
#include "convert/kernels.h"
#include "convert/ycbcr.h"
#include "guarded_buffer.h"
#include "kernel_print.h"
#include "named_variants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <sstream>
#include <string>
#include <vector>

namespace camsnap {
namespace {

struct KernelCase {
    Yu12RgbKernel kernel;
    const char *variant_name;
    YcbcrVariant variant;
    YcbcrRows rows() const { return ycbcr_rgb_rows(kernel, variant); }
    void reference(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *rgb,
                   int32_t width) const {
        ycbcr_rgb_row_reference(variant, y, cb, cr, rgb, width);
    }
};

void PrintTo(const KernelCase &c, std::ostream *os) { *os << c.kernel.name << "_" << c.variant_name; }

std::string case_name(const testing::TestParamInfo<KernelCase> &info) {
    return std::string(info.param.kernel.name) + "_" + info.param.variant_name;
}

// Every kernel in the variants it is given: all of them, or full-range BT.601 only.
std::vector<KernelCase> kernel_cases(bool every_variant) {
    std::vector<KernelCase> cases;
    for (const Yu12RgbKernel &k : yu12_rgb_kernels())
        for (const NamedVariant &v : kVariants)
            if (every_variant || &v == &kVariants[0]) cases.push_back({k, v.name, v.v});
    return cases;
}

class Yu12RgbRowTest : public testing::TestWithParam<KernelCase> {};

// All 2^24 (Y, Cb, Cr): one row per Cr value, 65536 pixels wide, where each
// Cb value covers 256 consecutive pixels with Y = 0..255 (pixels 2k and 2k+1
// share chroma sample k). The second row of a pair runs Y the other way.
class EveryYCbCr {
public:
    static constexpr int32_t kWidth = 65536;

    EveryYCbCr() : luma_(2 * kWidth), cb_(kWidth / 2), cr_(kWidth / 2) {
        for (int32_t x = 0; x < kWidth; ++x) {
            luma_[x] = static_cast<uint8_t>(x);
            luma_[kWidth + x] = static_cast<uint8_t>(255 - x % 256);
        }
        for (int32_t k = 0; k < kWidth / 2; ++k) cb_[k] = static_cast<uint8_t>(k / 128);
    }
    void set_cr(int cr) { std::fill(cr_.begin(), cr_.end(), static_cast<uint8_t>(cr)); }
    const uint8_t *luma(int row) const { return luma_.data() + row * kWidth; }
    const uint8_t *cb() const { return cb_.data(); }
    const uint8_t *cr() const { return cr_.data(); }

    // The first pixel where `got` differs from the reference, described; empty if none.
    std::string first_difference(const KernelCase &c, int row, const std::vector<uint8_t> &got) const {
        std::vector<uint8_t> want(3 * kWidth);
        c.reference(luma(row), cb(), cr(), want.data(), kWidth);
        if (want == got) return {};
        for (int32_t x = 0;; ++x) {
            if (std::equal(&want[3 * x], &want[3 * x + 3], &got[3 * x])) continue;
            std::ostringstream os;
            os << "Y=" << int(luma(row)[x]) << " Cb=" << int(cb_[x / 2]) << " Cr=" << int(cr_[0])
               << " want (" << int(want[3 * x]) << "," << int(want[3 * x + 1]) << ","
               << int(want[3 * x + 2]) << ") got (" << int(got[3 * x]) << ","
               << int(got[3 * x + 1]) << "," << int(got[3 * x + 2]) << ")";
            return os.str();
        }
    }

private:
    std::vector<uint8_t> luma_, cb_, cr_;
};

TEST_P(Yu12RgbRowTest, RowMatchesReferenceForEveryYCbCr) {
    EveryYCbCr in;
    std::vector<uint8_t> got(3 * EveryYCbCr::kWidth);
    for (int cr = 0; cr < 256; ++cr) {
        in.set_cr(cr);
        GetParam().rows().row(in.luma(0), in.cb(), in.cr(), got.data(), EveryYCbCr::kWidth);
        ASSERT_EQ(in.first_difference(GetParam(), 0, got), "");
    }
}

TEST_P(Yu12RgbRowTest, RowPairMatchesReferenceForEveryYCbCr) {
    EveryYCbCr in;
    std::vector<uint8_t> got0(3 * EveryYCbCr::kWidth), got1(got0);
    for (int cr = 0; cr < 256; ++cr) {
        in.set_cr(cr);
        GetParam().rows().row_pair(in.luma(0), in.luma(1), in.cb(), in.cr(), got0.data(),
                                   got1.data(), EveryYCbCr::kWidth);
        ASSERT_EQ(in.first_difference(GetParam(), 0, got0), "") << "first row";
        ASSERT_EQ(in.first_difference(GetParam(), 1, got1), "") << "second row";
    }
}

struct Example {
    uint8_t y, cb, cr;
    std::array<uint8_t, 3> rgb;
};

// Worked values: neutral chroma keeps luma (no range expansion), negative sums
// clamp to 0, fractions truncate, and the Cb 28 / Cr 228 pair where the double
// evaluation falls just below Y - 37 (G = Y - 38 for Y 94..165, Y - 37 beside).
const Example kExamples[] = {
    {100, 128, 128, {100, 100, 100}}, {16, 128, 128, {16, 16, 16}},
    {235, 128, 128, {235, 235, 235}}, {0, 128, 0, {0, 91, 0}},
    {255, 255, 255, {255, 120, 255}}, {0, 128, 255, {178, 0, 0}},
    {81, 90, 240, {238, 14, 13}},     {93, 28, 228, {233, 56, 0}},
    {94, 28, 228, {234, 56, 0}},      {165, 28, 228, {255, 127, 0}},
    {166, 28, 228, {255, 129, 0}},    {130, 28, 228, {255, 92, 0}},
};

// Full-range BT.601's worked values (the other variants' are in
// test_ycbcr_variants.cpp).
class Yu12RgbWorkedTest : public Yu12RgbRowTest {};

// A row of every example, each with its own chroma pair, at each offset within
// a vector block so that every lane position sees the special cases.
TEST_P(Yu12RgbWorkedTest, WorkedExamplesInEveryLane) {
    constexpr int32_t kLanes = 64;
    for (const Example &ex : kExamples) {
        for (int32_t pos = 0; pos < kLanes; ++pos) {
            const int32_t width = kLanes + 1;
            std::vector<uint8_t> luma(width, 50), cb((width + 1) / 2, 128), cr((width + 1) / 2, 128);
            luma[pos] = ex.y;
            cb[pos / 2] = ex.cb;
            cr[pos / 2] = ex.cr;
            std::vector<uint8_t> got(3 * width, 0);
            GetParam().kernel.row(luma.data(), cb.data(), cr.data(), got.data(), width);
            const std::array<uint8_t, 3> px{got[3 * pos], got[3 * pos + 1], got[3 * pos + 2]};
            EXPECT_EQ(px, ex.rgb) << "Y=" << int(ex.y) << " Cb=" << int(ex.cb)
                                  << " Cr=" << int(ex.cr) << " at pixel " << pos;
        }
    }
}

// Every width up to a few vector blocks, with each row's inputs ending at a
// guard page (an over-read faults) and sentinel bytes around the outputs; the
// pair's rows differ so that a mix-up between them shows.
TEST_P(Yu12RgbRowTest, EveryWidthReadsAndWritesOnlyItsRows) {
    constexpr int32_t kMaxWidth = 200;
    constexpr size_t kMargin = 64;
    for (int32_t width = 1; width <= kMaxWidth; ++width) {
        const int32_t chroma = (width + 1) / 2;
        camsnap_test::GuardedBuffer luma0(width), luma1(width), cb(chroma), cr(chroma);
        for (int32_t x = 0; x < width; ++x) {
            luma0.data()[x] = static_cast<uint8_t>(x * 37 + 11);
            luma1.data()[x] = static_cast<uint8_t>(x * 101 + 90);
        }
        for (int32_t k = 0; k < chroma; ++k) {
            cb.data()[k] = static_cast<uint8_t>(k % 5 == 3 ? 28 : k * 53 + 7);
            cr.data()[k] = static_cast<uint8_t>(k % 5 == 3 ? 228 : k * 91 + 200);
        }
        for (uint8_t sentinel : {uint8_t{0x5A}, uint8_t{0xA5}}) {
            const std::vector<uint8_t> blank(3 * width + 2 * kMargin, sentinel);
            std::vector<uint8_t> want0(blank), want1(blank), got(blank), got0(blank), got1(blank);
            const KernelCase &c = GetParam();
            c.reference(luma0.data(), cb.data(), cr.data(), want0.data() + kMargin, width);
            c.reference(luma1.data(), cb.data(), cr.data(), want1.data() + kMargin, width);
            c.rows().row(luma0.data(), cb.data(), cr.data(), got.data() + kMargin, width);
            ASSERT_EQ(want0, got) << "row, width " << width << ", sentinel " << int(sentinel);
            c.rows().row_pair(luma0.data(), luma1.data(), cb.data(), cr.data(),
                                got0.data() + kMargin, got1.data() + kMargin, width);
            ASSERT_EQ(want0, got0) << "pair row 0, width " << width << ", sentinel " << int(sentinel);
            ASSERT_EQ(want1, got1) << "pair row 1, width " << width << ", sentinel " << int(sentinel);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Yu12RgbRowTest, testing::ValuesIn(kernel_cases(true)),
                         case_name);
INSTANTIATE_TEST_SUITE_P(Kernels, Yu12RgbWorkedTest, testing::ValuesIn(kernel_cases(false)),
                         case_name);

}  // namespace
}  // namespace camsnap
