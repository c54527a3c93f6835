// The plane loops of camera objects' formats: copies for the greyscale ones,
// Y'CbCr rows brought to the planar form the row kernels take.
#include "convert/pixels.h"

#include <climits>
#include <cstring>
#include <vector>

namespace camsnap {

namespace {

constexpr uint32_t code(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}

const uint8_t *row_at(const uint8_t *base, int64_t stride, int32_t y) {
    return base + stride * y;
}

void copy_rows(const PixelFrame &f, const uint8_t *src, uint8_t *out, int64_t src_stride) {
    const int64_t bytes = output_row_bytes(f);
    for (int32_t y = 0; y < output_rows(f); ++y)
        std::memcpy(out + bytes * y, row_at(src, src_stride, y), size_t(bytes));
}

// Rows 2k and 2k + 1 of a 4:2:0 frame share chroma row k: each pair goes
// through the row-pair kernel, which works out the chroma once for both.
template <typename Chroma>
void convert_420(const PixelFrame &f, const YcbcrRows &rows, const uint8_t *src, uint8_t *out,
                 Chroma &&chroma_row) {
    const auto rgb = [&](int32_t y) { return out + int64_t(3) * f.width * y; };
    int32_t y = 0;
    for (; y + 1 < f.height; y += 2) {
        const uint8_t *cb, *cr;
        chroma_row(y / 2, &cb, &cr);
        rows.row_pair(row_at(src, f.stride, y), row_at(src, f.stride, y + 1), cb, cr, rgb(y),
                      rgb(y + 1), f.width);
    }
    if (y < f.height) {
        const uint8_t *cb, *cr;
        chroma_row(y / 2, &cb, &cr);
        rows.row(row_at(src, f.stride, y), cb, cr, rgb(y), f.width);
    }
}

// "YU12" planes as V4L2 lays them out: chroma rows half the luma stride apart.
void convert_yu12(const PixelFrame &f, const YcbcrRows &rows, const uint8_t *src, uint8_t *out) {
    const int64_t luma = int64_t(f.stride) * f.height;
    const int64_t chroma_stride = f.stride / 2;
    const int64_t chroma = chroma_stride * ((f.height + 1) / 2);
    convert_420(f, rows, src, out, [&](int32_t k, const uint8_t **cb, const uint8_t **cr) {
        *cb = src + luma + chroma_stride * k;
        *cr = *cb + chroma;
    });
}

// "NV12": one chroma row of Cb, Cr pairs serves two luma rows; split it once.
void convert_nv12(const PixelFrame &f, const YcbcrRows &rows, const uint8_t *src, uint8_t *out) {
    const int32_t pairs = (f.width + 1) / 2;
    std::vector<uint8_t> cb(static_cast<size_t>(pairs)), cr(static_cast<size_t>(pairs));
    const uint8_t *chroma_plane = src + int64_t(f.stride) * f.height;
    convert_420(f, rows, src, out, [&](int32_t k, const uint8_t **cb_row, const uint8_t **cr_row) {
        const uint8_t *pair = row_at(chroma_plane, f.stride, k);
        for (int32_t i = 0; i < pairs; ++i) {
            cb[size_t(i)] = pair[2 * i];
            cr[size_t(i)] = pair[2 * i + 1];
        }
        *cb_row = cb.data();
        *cr_row = cr.data();
    });
}

// "YUYV": each row split into its planes, then the same rows as "YU12".
void convert_yuyv(const PixelFrame &f, const YcbcrRows &rows, const uint8_t *src, uint8_t *out) {
    const int32_t pairs = (f.width + 1) / 2;
    std::vector<uint8_t> luma(static_cast<size_t>(f.width)), cb(static_cast<size_t>(pairs)),
        cr(static_cast<size_t>(pairs));
    for (int32_t y = 0; y < f.height; ++y) {
        const uint8_t *packed = row_at(src, f.stride, y);
        for (int32_t x = 0; x < f.width; ++x) luma[size_t(x)] = packed[2 * x];
        for (int32_t k = 0; k < pairs; ++k) {
            cb[size_t(k)] = packed[4 * k + 1];
            cr[size_t(k)] = packed[4 * k + 3];
        }
        rows.row(luma.data(), cb.data(), cr.data(), out + int64_t(3) * f.width * y, f.width);
    }
}

// One past the last byte a conversion reads (0 when it reads nothing).
uint64_t read_extent(const PixelFrame &f) {
    if (f.width <= 0 || f.height <= 0) return 0;
    const int64_t w = f.width, h = f.height, s = f.stride;
    switch (f.layout) {
    case PixelLayout::grey:
        return uint64_t((h - 1) * s + w);
    case PixelLayout::y16:
        return uint64_t((h - 1) * s + 2 * w);
    case PixelLayout::bgr3_16:
        return uint64_t(int64_t(output_rows(f)) * 2 * w);
    case PixelLayout::yu12:
        return uint64_t(s * h + (s / 2) * ((h + 1) / 2) * 2);
    case PixelLayout::nv12:
        return uint64_t(s * h + s * ((h - 1) / 2) + 2 * ((w + 1) / 2));
    case PixelLayout::yuyv:
        return uint64_t((h - 1) * s + 4 * ((w + 1) / 2));
    case PixelLayout::rgb3:
        return uint64_t((h - 1) * s + 3 * w);
    }
    return 0;
}

// Bytes of one driver row that the pixels of a row take.
int64_t driver_row_bytes(const PixelFrame &f) {
    switch (f.layout) {
    case PixelLayout::grey:
    case PixelLayout::yu12:
    case PixelLayout::nv12:
        return f.width;
    case PixelLayout::y16:
    case PixelLayout::bgr3_16:
        return int64_t(2) * f.width;
    case PixelLayout::yuyv:
        return int64_t(4) * ((f.width + 1) / 2);
    case PixelLayout::rgb3:
        return int64_t(3) * f.width;
    }
    return 0;
}

}  // namespace

bool pixel_layout_of(uint32_t fourcc, PixelLayout *layout) {
    struct Entry {
        uint32_t code;
        PixelLayout layout;
    };
    static constexpr Entry table[] = {
        {code('G', 'R', 'E', 'Y'), PixelLayout::grey},
        {code('Y', '1', '6', ' '), PixelLayout::y16},
        {code('B', 'G', 'R', '3'), PixelLayout::bgr3_16},
        {code('Y', 'U', '1', '2'), PixelLayout::yu12},
        {code('N', 'V', '1', '2'), PixelLayout::nv12},
        {code('Y', 'U', 'Y', 'V'), PixelLayout::yuyv},
        {code('R', 'G', 'B', '3'), PixelLayout::rgb3},
    };
    for (const Entry &e : table) {
        if (e.code != fourcc) continue;
        *layout = e.layout;
        return true;
    }
    return false;
}

int32_t bgr3_16_rows(int32_t driver_height) {
    if (driver_height == 172) return 256;
    if (driver_height == 342) return 512;
    return (3 * driver_height) / 2;
}

int32_t output_rows(const PixelFrame &f) {
    return f.layout == PixelLayout::bgr3_16 ? bgr3_16_rows(f.height) : f.height;
}

int output_channels(const PixelFrame &f) {
    switch (f.layout) {
    case PixelLayout::yu12:
    case PixelLayout::nv12:
    case PixelLayout::yuyv:
    case PixelLayout::rgb3:
        return 3;
    default:
        return 1;
    }
}

int output_element_bytes(const PixelFrame &f) {
    return f.layout == PixelLayout::y16 || f.layout == PixelLayout::bgr3_16 ? 2 : 1;
}

int64_t output_row_bytes(const PixelFrame &f) {
    return int64_t(f.width) * output_channels(f) * output_element_bytes(f);
}

bool pixel_frame_fits(const PixelFrame &f) {
    if (f.width <= 0 || f.height <= 0 || f.stride < 0) return false;
    if (f.height > INT32_MAX / 3) return false;
    if (f.layout != PixelLayout::bgr3_16 && f.stride < driver_row_bytes(f)) return false;
    return read_extent(f) <= f.size;
}

void convert_pixels(const PixelFrame &f, const uint8_t *src, uint8_t *out) {
    convert_pixels_with(yu12_rgb_best_kernel(), f, src, out);
}

void convert_pixels_with(const Yu12RgbKernel &k, const PixelFrame &f, const uint8_t *src,
                         uint8_t *out) {
    switch (f.layout) {
    case PixelLayout::grey:
    case PixelLayout::y16:
    case PixelLayout::rgb3:
        copy_rows(f, src, out, f.stride);
        break;
    case PixelLayout::bgr3_16:
        copy_rows(f, src, out, int64_t(2) * f.width);
        break;
    case PixelLayout::yu12:
        convert_yu12(f, ycbcr_rgb_rows(k, f.variant), src, out);
        break;
    case PixelLayout::nv12:
        convert_nv12(f, ycbcr_rgb_rows(k, f.variant), src, out);
        break;
    case PixelLayout::yuyv:
        convert_yuyv(f, ycbcr_rgb_rows(k, f.variant), src, out);
        break;
    }
}

}  // namespace camsnap
