// Frame conversion: one driver frame (a staging slot) into one output image.
// Knows nothing of Python or of the device; the geometry comes in by value.
#pragma once

#include <cstdint>

namespace camsnap {

// How frames are interpreted and what arrays are produced.
enum mode : int32_t { IR16 = 0, RGB = 1, IR16_FALLBACK = 2 };

// The part of the device state a frame copy reads.
struct FrameGeometry {
    int32_t width = 0;       // W, pixels
    int32_t height = 0;      // H, rows delivered
    int32_t stride = 0;      // bytes between rows of the driver frame
    int32_t bpp = 0;         // bytes between pixels of a driver row
    int32_t frame_size = 0;  // bytes of one staging slot: the bound of every read
    int32_t current_mode = IR16;
};

// 0 for a < 0, 255 for a > 255, else a.
uint8_t clip8bit(int a);

// Byte offsets of a "YU12" frame's chroma rows for output row y. The row offset
// ((y / 2) * W) / 2 is computed in this order on purpose: for odd W it is what
// the camera's layout is defined as, not (y / 2) * (W / 2).
uint32_t yu12_cb_offset(const FrameGeometry &g, int32_t y);
uint32_t yu12_cr_offset(const FrameGeometry &g, int32_t y);

// One past the last byte a copy of this geometry reads from the slot (0 when it
// reads nothing). 64-bit so that no geometry the driver can answer overflows it.
uint64_t frame_read_extent(const FrameGeometry &g);

// True when every read of a frame copy stays inside frame_size bytes.
bool frame_fits(const FrameGeometry &g);

// The scalar reference: straightforward, pixel by pixel, exactly the formula.
// Any output strides; writes nothing for a mode outside IR16/RGB/IR16_FALLBACK.
void copy_frame_reference(const FrameGeometry &g, const uint8_t *buf, uint8_t *out,
                          int32_t stride_x, int32_t stride_y);

// One output row of "YU12" to RGB: y[x * y_step], cb[x / 2], cr[x / 2] into
// out[x * out_step + 0..2]. The reference row that every fast row must match.
void yu12_rgb_row_reference(const uint8_t *y, int32_t y_step, const uint8_t *cb,
                            const uint8_t *cr, uint8_t *out, int32_t out_step,
                            int32_t width);

// The production copy: identical output to copy_frame_reference for every
// input, using the fastest kernel this CPU runs.
void copy_frame(const FrameGeometry &g, const uint8_t *buf, uint8_t *out,
                int32_t stride_x, int32_t stride_y);

}  // namespace camsnap
