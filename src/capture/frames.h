// What single, series and streaming capture share: frame arrays, the frame
// copy on the device, and a dequeue that only ever names a slot in use.
#pragma once

#include "camsnap/numpy.h"
#include "camsnap/pyref.h"
#include "device/state.h"

namespace camsnap {

// A new uninitialised frame array: (frames,) + (height, width) uint16, or
// (frames,) + (height, width, 3) uint8 in RGB mode. frames < 0: no leading axis.
PyRef new_frame_array(const Device &d, int frames);

// Copies the driver frame at buf into the array pixel at array, laid out by the
// array's byte strides, in the device's geometry.
void copyFrame(const Device &d, void *buf, void *array, int stride_x, int stride_y);

// Slot n of staging memory, n * slot_size bytes in: the user pointer of buffer n.
inline char *staging_slot(const StagingMemory &memory, int n, int32_t slot_size) {
    return reinterpret_cast<char *>(memory.get() + size_t(n) * size_t(slot_size));
}

// False, with a line, when a frame copy of the device's geometry would
// read past a slot: a failed init can leave one mode beside another's geometry.
bool frame_geometry_fits(Device &d);

// dequeue_buffer(), also failing when the driver names a buffer outside the
// slots handed to it: no address outside the staging memory is ever read.
int dequeue_slot(Device &d, int slots);

// Takes back every buffer handed to the driver when it goes out of scope,
// unless dismissed: a stream-off stops the stream if it runs and returns all
// queued buffers, so the driver keeps no pointer into staging memory that is
// about to be freed. Nothing is asked of the driver if nothing was queued.
class DriverBuffers {
public:
    explicit DriverBuffers(Device &d) : device_(d) {}
    ~DriverBuffers() { take_back(); }
    DriverBuffers(const DriverBuffers &) = delete;
    DriverBuffers &operator=(const DriverBuffers &) = delete;

    void queued() { held_ = true; }
    void take_back();
    void dismiss() { held_ = false; }

private:
    Device &device_;
    bool held_ = false;
};

}  // namespace camsnap
