// Frames of the pixel formats camera objects convert: where their bytes are and
// what array each gives. Knows nothing of Python or of the device.
#pragma once

#include <cstdint>

#include "convert/ycbcr.h"

namespace camsnap {

enum class PixelLayout {
    grey,     // "GREY": one byte a pixel -> uint8 (H, W)
    y16,      // "Y16 ": 16-bit little-endian pixels -> uint16 (H, W)
    bgr3_16,  // "BGR3" carrying 16-bit pixels, 2W bytes a row -> uint16 (H', W)
    yu12,     // "YU12": Y plane, then Cb and Cr planes at half size -> RGB uint8 (H, W, 3)
    nv12,     // "NV12": Y plane, then one plane of Cb, Cr pairs -> RGB uint8 (H, W, 3)
    yuyv,     // "YUYV": Y0 Cb Y1 Cr for each two pixels -> RGB uint8 (H, W, 3)
    rgb3,     // "RGB3": R, G, B bytes a pixel -> RGB uint8 (H, W, 3), copied
};

// The layout of a four-character code; false for one without a conversion.
bool pixel_layout_of(uint32_t fourcc, PixelLayout *layout);

struct PixelFrame {
    PixelLayout layout = PixelLayout::grey;
    int32_t width = 0;        // pixels
    int32_t height = 0;       // rows of the driver's format
    int32_t stride = 0;       // bytesperline: bytes from one row (of the first plane) to the next
    uint32_t size = 0;        // sizeimage: the bound of every read
    YcbcrVariant variant;     // for the Y'CbCr layouts
};

// Rows of the output array: the driver's height, except for 16-bit pixels in
// "BGR3", which fill 3/2 of its rows (thermal cameras' 172 and 342 row modes
// carry 256 and 512 rows).
int32_t output_rows(const PixelFrame &f);
// Rows of 2-byte pixels read out of a 3-byte-per-pixel frame of driver_height rows.
int32_t bgr3_16_rows(int32_t driver_height);

// Bytes of one output row (W, 2W or 3W) and of one output element (1 or 2).
int64_t output_row_bytes(const PixelFrame &f);
int output_element_bytes(const PixelFrame &f);
// 3 for the RGB layouts (the Y'CbCr ones and "RGB3"), 1 otherwise.
int output_channels(const PixelFrame &f);

// True when every read of convert_pixels stays inside f.size bytes and rows
// are at least as long as their pixels.
bool pixel_frame_fits(const PixelFrame &f);

// Converts one frame into a C-contiguous output of output_rows x output_row_bytes.
void convert_pixels(const PixelFrame &f, const uint8_t *src, uint8_t *out);
// The same with a chosen kernel's rows (tests and benchmarks reach each one).
void convert_pixels_with(const Yu12RgbKernel &k, const PixelFrame &f, const uint8_t *src,
                         uint8_t *out);

}  // namespace camsnap
