// The production frame copy: whole rows where the layout allows, the reference
// everywhere else.
#include "convert/frame.h"

#include <cstddef>
#include <cstring>

namespace camsnap {

void copy_frame(const FrameGeometry &g, const uint8_t *buf, uint8_t *out,
                int32_t stride_x, int32_t stride_y) {
    const bool ir = g.current_mode == IR16 || g.current_mode == IR16_FALLBACK;
    if (ir && g.bpp == 2 && stride_x == 2 && g.width > 0) {
        // Pixels contiguous on both sides: a row is one memcpy.
        const size_t row_bytes = static_cast<size_t>(g.width) * 2;
        for (int32_t y = 0; y < g.height; ++y) {
            std::memcpy(out + static_cast<ptrdiff_t>(y) * stride_y,
                        buf + static_cast<uint32_t>(y) * static_cast<uint32_t>(g.stride),
                        row_bytes);
        }
        return;
    }
    copy_frame_reference(g, buf, out, stride_x, stride_y);
}

}  // namespace camsnap
