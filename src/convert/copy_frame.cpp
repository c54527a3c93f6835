// The production frame copy: the fastest row kernel this CPU runs wherever the
// layout allows, the reference everywhere else.
#include "convert/frame.h"
#include "convert/kernels.h"

namespace camsnap {

void copy_frame(const FrameGeometry &g, const uint8_t *buf, uint8_t *out,
                int32_t stride_x, int32_t stride_y) {
    copy_frame_with(yu12_rgb_best_kernel(), g, buf, out, stride_x, stride_y);
}

}  // namespace camsnap
