// The Y'CbCr variants' reference, and the plane loops of camera objects'
// formats: reads kept inside the frame (every kernel's rows of each variant are
// held to the reference in test_yu12_rgb_kernels.cpp).
#include "convert/pixels.h"
#include "convert/ycbcr.h"
#include "guarded_buffer.h"
#include "named_variants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace camsnap {
namespace {

struct Worked {
    YcbcrVariant v;
    uint8_t y, cb, cr;
    std::array<uint8_t, 3> rgb;
};

// Values worked by hand from the standards: limited range puts black at 16 and
// white at 235, chroma's 16..240 spans the full swing; BT.709's G weighs chroma
// less than BT.601's (0.18732 d + 0.46812 e). The 8-bit codes of pure red are
// themselves rounded, so red comes back a step off.
const Worked kWorked[] = {
    {{Encoding::bt601, Quantization::limited}, 16, 128, 128, {0, 0, 0}},
    {{Encoding::bt601, Quantization::limited}, 235, 128, 128, {255, 255, 255}},
    {{Encoding::bt601, Quantization::limited}, 126, 128, 128, {128, 128, 128}},  // 110 * 255/219 = 128.08
    {{Encoding::bt601, Quantization::limited}, 81, 90, 240, {254, 0, 0}},  // BT.601 red: 254.45
    {{Encoding::bt709, Quantization::limited}, 63, 102, 240, {255, 1, 0}},  // BT.709 red: G 0.58
    {{Encoding::bt709, Quantization::full}, 100, 128, 200, {213, 66, 100}},  // R 213.39, G 66.30
    {{Encoding::bt709, Quantization::full}, 100, 200, 128, {100, 87, 234}},  // G 86.51, B 233.60
};

TEST(VariantReference, WorkedValues) {
    for (const Worked &w : kWorked) {
        std::array<uint8_t, 3> got{};
        ycbcr_rgb_row_reference(w.v, &w.y, &w.cb, &w.cr, got.data(), 1);
        EXPECT_EQ(got, w.rgb) << "Y=" << int(w.y) << " Cb=" << int(w.cb) << " Cr=" << int(w.cr);
    }
}

// A frame of each layout, odd-sized, whose bytes end at a guard page: the
// conversion, with the fastest kernel and with each kernel, reads nothing past
// the frame and gives what the reference row gives for the planes the format defines.
struct LayoutCase {
    const char *name;
    PixelLayout layout;
    int32_t stride_extra;  // padding bytes at each row's end
};
const LayoutCase kLayouts[] = {
    {"grey", PixelLayout::grey, 3}, {"y16", PixelLayout::y16, 2},   {"bgr3_16", PixelLayout::bgr3_16, 0},
    {"yu12", PixelLayout::yu12, 2}, {"nv12", PixelLayout::nv12, 2}, {"yuyv", PixelLayout::yuyv, 4},
};

struct Planes {  // what each output pixel reads, by the format's definition
    std::function<uint8_t(int, int)> y, cb, cr;
};

Planes planes_of(const PixelFrame &f, const uint8_t *src) {
    const int64_t s = f.stride, h = f.height;
    switch (f.layout) {
    case PixelLayout::yu12:
        return {[=](int x, int y) { return src[y * s + x]; },
                [=](int x, int y) { return src[s * h + (y / 2) * (s / 2) + x / 2]; },
                [=](int x, int y) { return src[s * h + (s / 2) * ((h + 1) / 2) + (y / 2) * (s / 2) + x / 2]; }};
    case PixelLayout::nv12:
        return {[=](int x, int y) { return src[y * s + x]; },
                [=](int x, int y) { return src[s * h + (y / 2) * s + 2 * (x / 2)]; },
                [=](int x, int y) { return src[s * h + (y / 2) * s + 2 * (x / 2) + 1]; }};
    default:  // yuyv
        return {[=](int x, int y) { return src[y * s + 2 * x]; },
                [=](int x, int y) { return src[y * s + 4 * (x / 2) + 1]; },
                [=](int x, int y) { return src[y * s + 4 * (x / 2) + 3]; }};
    }
}

class LayoutTest : public testing::TestWithParam<std::tuple<LayoutCase, NamedVariant>> {};

TEST_P(LayoutTest, ConvertsWithinTheFrame) {
    const LayoutCase &lc = std::get<0>(GetParam());
    PixelFrame f;
    f.layout = lc.layout;
    f.width = 101;  // wider than one AVX-512 block, so every kernel's blocks run
    f.height = 11;
    f.variant = std::get<1>(GetParam()).v;
    const int32_t row_bytes = lc.layout == PixelLayout::grey || lc.layout == PixelLayout::yu12 ||
                                      lc.layout == PixelLayout::nv12
                                  ? f.width
                                  : lc.layout == PixelLayout::yuyv ? 4 * ((f.width + 1) / 2) : 2 * f.width;
    f.stride = row_bytes + lc.stride_extra;
    const int64_t s = f.stride, h = f.height;
    // The size each format's frames take: 16-bit "BGR3" as 3 bytes a pixel of h rows.
    switch (lc.layout) {
    case PixelLayout::yu12: f.size = uint32_t(s * h + 2 * (s / 2) * ((h + 1) / 2)); break;
    case PixelLayout::nv12: f.size = uint32_t(s * h + s * ((h - 1) / 2) + 2 * ((f.width + 1) / 2)); break;
    case PixelLayout::bgr3_16: f.size = uint32_t(3 * f.width * h); break;
    default: f.size = uint32_t(s * (h - 1) + row_bytes); break;
    }
    ASSERT_TRUE(pixel_frame_fits(f));
    camsnap_test::GuardedBuffer frame(f.size);
    for (uint32_t i = 0; i < f.size; ++i) frame.data()[i] = uint8_t(i * 131 + 7);

    const int64_t out_bytes = output_row_bytes(f) * output_rows(f);
    std::vector<uint8_t> got(size_t(out_bytes) + 16, 0x5A), want(got);
    if (output_channels(f) == 3) {
        const Planes p = planes_of(f, frame.data());
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                const uint8_t yy = p.y(x, y), cb = p.cb(x, y), cr = p.cr(x, y);
                ycbcr_rgb_row_reference(f.variant, &yy, &cb, &cr, &want[3 * (size_t(y) * f.width + x)], 1);
            }
    } else {
        const int64_t src_stride = lc.layout == PixelLayout::bgr3_16 ? 2 * f.width : s;
        for (int y = 0; y < output_rows(f); ++y)
            std::memcpy(&want[size_t(y * output_row_bytes(f))], frame.data() + y * src_stride,
                        size_t(output_row_bytes(f)));
    }
    convert_pixels(f, frame.data(), got.data());
    EXPECT_EQ(want, got);
    for (const Yu12RgbKernel &k : yu12_rgb_kernels()) {
        std::vector<uint8_t> with(want);  // the output blanked, the margin kept
        std::fill(with.begin(), with.begin() + out_bytes, 0xA5);
        convert_pixels_with(k, f, frame.data(), with.data());
        EXPECT_EQ(want, with) << k.name;
    }
}

// Greyscale layouts take no variant: one column of variants is enough for them.
std::vector<std::tuple<LayoutCase, NamedVariant>> layout_cases() {
    std::vector<std::tuple<LayoutCase, NamedVariant>> cases;
    for (const LayoutCase &lc : kLayouts)
        for (const NamedVariant &v : kVariants) {
            const bool colour = lc.layout == PixelLayout::yu12 || lc.layout == PixelLayout::nv12 ||
                                lc.layout == PixelLayout::yuyv;
            if (colour || &v == &kVariants[0]) cases.emplace_back(lc, v);
        }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Layouts, LayoutTest, testing::ValuesIn(layout_cases()),
                         [](const testing::TestParamInfo<std::tuple<LayoutCase, NamedVariant>> &info) {
                             return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

}  // namespace
}  // namespace camsnap
