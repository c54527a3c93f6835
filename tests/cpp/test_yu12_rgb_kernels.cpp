// Every YU12 to RGB row kernel this CPU runs, held to the reference row.
#include "convert/kernels.h"
#include "guarded_buffer.h"
#include "kernel_print.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace camsnap {
namespace {

std::string kernel_name(const testing::TestParamInfo<Yu12RgbKernel> &info) {
    return info.param.name;
}

class Yu12RgbRowTest : public testing::TestWithParam<Yu12RgbKernel> {};

// All 2^24 (Y, Cb, Cr): one row per Cr value, 65536 pixels wide, where each
// Cb value covers 256 consecutive pixels with Y = 0..255 (pixels 2k and 2k+1
// share chroma sample k).
TEST_P(Yu12RgbRowTest, MatchesReferenceForEveryYCbCr) {
    constexpr int32_t width = 65536;
    std::vector<uint8_t> luma(width), cb(width / 2), cr(width / 2);
    for (int32_t x = 0; x < width; ++x) luma[x] = static_cast<uint8_t>(x);
    for (int32_t k = 0; k < width / 2; ++k) cb[k] = static_cast<uint8_t>(k / 128);
    std::vector<uint8_t> want(3 * width), got(3 * width);
    for (int cr_value = 0; cr_value < 256; ++cr_value) {
        std::fill(cr.begin(), cr.end(), static_cast<uint8_t>(cr_value));
        yu12_rgb_row_reference(luma.data(), 1, cb.data(), cr.data(), want.data(), 3, width);
        GetParam().row(luma.data(), cb.data(), cr.data(), got.data(), width);
        if (want != got) {
            for (int32_t x = 0; x < width; ++x) {
                ASSERT_TRUE(std::equal(&want[3 * x], &want[3 * x + 3], &got[3 * x]))
                    << "Y=" << int(luma[x]) << " Cb=" << int(cb[x / 2]) << " Cr=" << cr_value
                    << " want (" << int(want[3 * x]) << "," << int(want[3 * x + 1]) << ","
                    << int(want[3 * x + 2]) << ") got (" << int(got[3 * x]) << ","
                    << int(got[3 * x + 1]) << "," << int(got[3 * x + 2]) << ")";
            }
        }
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

// A row of every example, each with its own chroma pair, at each offset within
// a vector block so that every lane position sees the special cases.
TEST_P(Yu12RgbRowTest, WorkedExamplesInEveryLane) {
    constexpr int32_t kLanes = 64;
    for (const Example &ex : kExamples) {
        for (int32_t pos = 0; pos < kLanes; ++pos) {
            const int32_t width = kLanes + 1;
            std::vector<uint8_t> luma(width, 50), cb((width + 1) / 2, 128), cr((width + 1) / 2, 128);
            luma[pos] = ex.y;
            cb[pos / 2] = ex.cb;
            cr[pos / 2] = ex.cr;
            std::vector<uint8_t> got(3 * width, 0);
            GetParam().row(luma.data(), cb.data(), cr.data(), got.data(), width);
            const std::array<uint8_t, 3> px{got[3 * pos], got[3 * pos + 1], got[3 * pos + 2]};
            EXPECT_EQ(px, ex.rgb) << "Y=" << int(ex.y) << " Cb=" << int(ex.cb)
                                  << " Cr=" << int(ex.cr) << " at pixel " << pos;
        }
    }
}

// Every width up to a few vector blocks, with the row's inputs ending at a
// guard page (an over-read faults) and sentinel bytes around the output.
TEST_P(Yu12RgbRowTest, EveryWidthReadsAndWritesOnlyItsRow) {
    constexpr int32_t kMaxWidth = 200;
    constexpr size_t kMargin = 64;
    for (int32_t width = 1; width <= kMaxWidth; ++width) {
        const int32_t chroma = (width + 1) / 2;
        camsnap_test::GuardedBuffer luma(width), cb(chroma), cr(chroma);
        for (int32_t x = 0; x < width; ++x) luma.data()[x] = static_cast<uint8_t>(x * 37 + 11);
        for (int32_t k = 0; k < chroma; ++k) {
            cb.data()[k] = static_cast<uint8_t>(k % 5 == 3 ? 28 : k * 53 + 7);
            cr.data()[k] = static_cast<uint8_t>(k % 5 == 3 ? 228 : k * 91 + 200);
        }
        for (uint8_t sentinel : {uint8_t{0x5A}, uint8_t{0xA5}}) {
            std::vector<uint8_t> want(3 * width + 2 * kMargin, sentinel), got(want);
            yu12_rgb_row_reference(luma.data(), 1, cb.data(), cr.data(), want.data() + kMargin,
                                   3, width);
            GetParam().row(luma.data(), cb.data(), cr.data(), got.data() + kMargin, width);
            ASSERT_EQ(want, got) << "width " << width << ", sentinel " << int(sentinel);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Yu12RgbRowTest, testing::ValuesIn(yu12_rgb_kernels()),
                         kernel_name);

}  // namespace
}  // namespace camsnap
