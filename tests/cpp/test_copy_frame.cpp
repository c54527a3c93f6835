// Whole-frame copies against copy_frame_reference: odd sizes, padded driver
// rows, output strides other than packed, frames that end at a guard page, and
// output buffers filled with a sentinel so a missed or stray write shows.
#include "convert/frame.h"
#include "convert/kernels.h"
#include "guarded_buffer.h"
#include "kernel_print.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace camsnap {
namespace {

struct FrameCase {
    std::string name;
    int32_t mode, width, height, stride, bpp;
    int32_t stride_x, stride_y;  // output
};

std::ostream &operator<<(std::ostream &os, const FrameCase &c) { return os << c.name; }

FrameGeometry geometry_of(const FrameCase &c) {
    FrameGeometry g;
    g.width = c.width;
    g.height = c.height;
    g.stride = c.stride;
    g.bpp = c.bpp;
    g.current_mode = c.mode;
    g.frame_size = static_cast<int32_t>(frame_read_extent(g));
    return g;
}

// A frame that ends exactly where the copy's reads end, followed by a guard
// page; random bytes, with some chroma pairs set to Cb 28 / Cr 228.
class SourceFrame {
public:
    explicit SourceFrame(const FrameGeometry &g)
        : mem_(std::max<size_t>(1, static_cast<size_t>(g.frame_size))) {
        std::mt19937 rng(static_cast<uint32_t>(g.width * 7919 + g.height * 31 + g.stride));
        std::uniform_int_distribution<int> byte(0, 255);
        for (size_t i = 0; i < mem_.size(); ++i) mem_.data()[i] = static_cast<uint8_t>(byte(rng));
        if (g.current_mode == RGB && g.frame_size > 0) plant_odd_chroma(g);
    }
    const uint8_t *data() { return mem_.data(); }

private:
    void plant_odd_chroma(const FrameGeometry &g) {
        const uint32_t cb = yu12_cb_offset(g, 0), cr = yu12_cr_offset(g, 0);
        const uint32_t end = static_cast<uint32_t>(g.frame_size);
        for (uint32_t k = 0; cr + k < end; k += 5) {
            mem_.data()[cb + k] = 28;
            mem_.data()[cr + k] = 228;
        }
    }
    camsnap_test::GuardedBuffer mem_;
};

// Output memory for one frame plus margins on both sides, for any strides.
class OutputFrame {
public:
    OutputFrame(const FrameCase &c, uint8_t sentinel) {
        const int64_t px = c.mode == RGB ? 3 : 2;
        const int64_t xs = int64_t{c.stride_x} * std::max(0, c.width - 1);
        const int64_t ys = int64_t{c.stride_y} * std::max(0, c.height - 1);
        const int64_t lo = std::min<int64_t>(0, xs) + std::min<int64_t>(0, ys);
        const int64_t hi = std::max<int64_t>(0, xs) + std::max<int64_t>(0, ys) + px;
        bytes_.assign(static_cast<size_t>(hi - lo + 2 * kMargin), sentinel);
        origin_ = static_cast<size_t>(kMargin - lo);
    }
    uint8_t *pixels() { return bytes_.data() + origin_; }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
    static constexpr int64_t kMargin = 64;
    std::vector<uint8_t> bytes_;
    size_t origin_ = 0;
};

using CopyFn = std::function<void(const FrameGeometry &, const uint8_t *, uint8_t *, int32_t,
                                  int32_t)>;

void expect_same_as_reference(const FrameCase &c, const CopyFn &copy) {
    const FrameGeometry g = geometry_of(c);
    SourceFrame src(g);
    for (uint8_t sentinel : {uint8_t{0x5A}, uint8_t{0xA5}}) {
        OutputFrame want(c, sentinel), got(c, sentinel);
        copy_frame_reference(g, src.data(), want.pixels(), c.stride_x, c.stride_y);
        copy(g, src.data(), got.pixels(), c.stride_x, c.stride_y);
        ASSERT_EQ(want.bytes(), got.bytes()) << c.name << ", sentinel " << int(sentinel);
    }
}

FrameCase rgb(int32_t w, int32_t h) {
    return {"rgb_" + std::to_string(w) + "x" + std::to_string(h), RGB, w, h, w, 1, 3, 3 * w};
}

FrameCase ir16(int32_t w, int32_t h) {
    return {"ir16_" + std::to_string(w) + "x" + std::to_string(h), IR16, w, h, 2 * w, 2, 2, 2 * w};
}

FrameCase with(FrameCase c, const std::string &suffix, int32_t stride, int32_t bpp,
               int32_t stride_x, int32_t stride_y) {
    c.name += "_" + suffix;
    c.stride = stride;
    c.bpp = bpp;
    c.stride_x = stride_x;
    c.stride_y = stride_y;
    return c;
}

std::vector<FrameCase> rgb_cases() {
    std::vector<FrameCase> cases;
    for (auto [w, h] : {std::pair{1, 1}, {2, 1}, {1, 2}, {2, 2}, {3, 3}, {4, 2}, {5, 7}, {15, 4},
                        {16, 16}, {17, 5}, {31, 3}, {32, 2}, {33, 9}, {47, 6}, {63, 5}, {64, 4},
                        {65, 3}, {97, 11}, {127, 3}, {128, 2}, {129, 5}, {640, 480}, {641, 7}})
        cases.push_back(rgb(w, h));
    cases.push_back(with(rgb(33, 9), "padded_rows", 40, 1, 3, 99));
    cases.push_back(with(rgb(64, 6), "padded_rows", 96, 1, 3, 192));
    cases.push_back(with(rgb(65, 5), "padded_output", 65, 1, 3, 3 * 65 + 13));
    cases.push_back(with(rgb(66, 5), "bottom_up_output", 66, 1, 3, -3 * 66));
    cases.push_back(with(rgb(35, 4), "rgba_like_output", 35, 1, 4, 4 * 35));
    cases.push_back(with(rgb(34, 4), "column_output", 34, 1, 3 * 4, 3));
    // Each output row starts 7 pixels after the previous one and overwrites
    // most of it: only the reference's row order gives its result.
    cases.push_back(with(rgb(70, 6), "overlapping_rows", 70, 1, 3, 3 * 7));
    cases.push_back(with(rgb(37, 5), "luma_every_2nd_byte", 80, 2, 3, 3 * 37));
    return cases;
}

std::vector<FrameCase> ir16_cases() {
    std::vector<FrameCase> cases;
    for (auto [w, h] : {std::pair{1, 1}, {3, 2}, {7, 5}, {64, 4}, {65, 3}, {640, 480}})
        cases.push_back(ir16(w, h));
    cases.push_back(with(ir16(33, 9), "padded_rows", 80, 2, 2, 66));
    cases.push_back(with(ir16(33, 9), "padded_output", 66, 2, 2, 70));
    cases.push_back(with(ir16(33, 9), "bottom_up_output", 66, 2, 2, -66));
    cases.push_back(with(ir16(17, 4), "bpp3", 51, 3, 2, 34));
    cases.push_back(with(ir16(17, 4), "bpp4_padded", 72, 4, 2, 34));
    cases.push_back(with(ir16(17, 4), "strided_output", 34, 2, 6, 120));
    FrameCase fallback = with(ir16(16, 6), "fallback", 32, 2, 2, 32);
    fallback.mode = IR16_FALLBACK;
    cases.push_back(fallback);
    return cases;
}

std::vector<FrameCase> inert_cases() {
    std::vector<FrameCase> cases;
    FrameCase unknown = with(rgb(8, 4), "mode_3", 8, 1, 3, 24);
    unknown.mode = 3;
    cases.push_back(unknown);
    unknown.mode = -1;
    unknown.name = "mode_minus_1";
    cases.push_back(unknown);
    cases.push_back(rgb(0, 4));
    cases.push_back(rgb(4, 0));
    cases.push_back(ir16(0, 3));
    return cases;
}

class RgbFrameTest : public testing::TestWithParam<std::tuple<Yu12RgbKernel, FrameCase>> {};

TEST_P(RgbFrameTest, KernelFrameMatchesReference) {
    const auto &[kernel, c] = GetParam();
    expect_same_as_reference(c, [&k = kernel](const FrameGeometry &g, const uint8_t *buf,
                                              uint8_t *out, int32_t sx, int32_t sy) {
        copy_frame_with(k, g, buf, out, sx, sy);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Frames, RgbFrameTest, testing::Combine(testing::ValuesIn(yu12_rgb_kernels()),
                                           testing::ValuesIn(rgb_cases())),
    [](const testing::TestParamInfo<RgbFrameTest::ParamType> &info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

// The entry point the module calls, over every kind of frame.
class CopyFrameTest : public testing::TestWithParam<FrameCase> {};

TEST_P(CopyFrameTest, MatchesReference) { expect_same_as_reference(GetParam(), copy_frame); }

std::vector<FrameCase> all_cases() {
    std::vector<FrameCase> cases = rgb_cases();
    for (auto more : {ir16_cases(), inert_cases()}) cases.insert(cases.end(), more.begin(), more.end());
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Frames, CopyFrameTest, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<FrameCase> &info) {
                             return info.param.name;
                         });

// Frames that must leave the output alone.
class InertFrameTest : public testing::TestWithParam<FrameCase> {};

TEST_P(InertFrameTest, WritesNothing) {
    const FrameCase &c = GetParam();
    const FrameGeometry g = geometry_of(c);
    SourceFrame src(g);
    OutputFrame out(c, 0x77);
    copy_frame(g, src.data(), out.pixels(), c.stride_x, c.stride_y);
    EXPECT_TRUE(std::all_of(out.bytes().begin(), out.bytes().end(),
                            [](uint8_t b) { return b == 0x77; }));
}

INSTANTIATE_TEST_SUITE_P(Frames, InertFrameTest, testing::ValuesIn(inert_cases()),
                         [](const testing::TestParamInfo<FrameCase> &info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace camsnap
