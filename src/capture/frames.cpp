// Frame arrays, the frame copy and the checked dequeue of the module's captures.
#include "capture/frames.h"

#include "convert/frame.h"
#include "device/report.h"
#include "device/state.h"
#include "device/v4l2.h"

namespace camsnap {

PyRef new_frame_array(const Device &d, int frames) {
    npy_intp dims[4];
    int num_dims = 0;
    if (frames >= 0) dims[num_dims++] = frames;
    dims[num_dims++] = d.height;
    dims[num_dims++] = d.width;
    int array_type = NPY_USHORT;
    if (d.current_mode == RGB) {
        dims[num_dims++] = 3;
        array_type = NPY_UBYTE;
    }
    return PyRef(PyArray_SimpleNew(num_dims, dims, array_type));
}

void copyFrame(const Device &d, void *buf, void *array, int stride_x, int stride_y) {
    copy_frame(d.geometry(), static_cast<const uint8_t *>(buf),
               static_cast<uint8_t *>(array), stride_x, stride_y);
}

bool frame_geometry_fits(Device &d) {
    const FrameGeometry g = d.geometry();
    if (frame_fits(g)) return true;
    CS_REPORT(d, "A %dx%d frame in mode %d does not fit the driver's %d bytes\n", g.width, g.height,
              g.current_mode, g.frame_size);
    return false;
}

int dequeue_slot(Device &d, int slots) {
    const int n = dequeue_buffer(d);
    if (n >= slots) {
        CS_REPORT(d, "Driver returned buffer %d, only %d handed to it\n\n", n, slots);
        return -1;
    }
    return n;
}

void DriverBuffers::take_back() {
    if (!held_) return;
    held_ = false;
    streamoff(device_);
}

}  // namespace camsnap
