// What single, series and streaming capture share: frame arrays, the frame
// copy on the device state, and a dequeue that only ever names a slot in use.
#pragma once

#include "camsnap/numpy.h"
#include "camsnap/pyref.h"

namespace camsnap {

// A new uninitialised frame array: (frames,) + (height, width) uint16, or
// (frames,) + (height, width, 3) uint8 in RGB mode. frames < 0: no leading axis.
PyRef new_frame_array(int frames);

// Copies the driver frame at buf into the array pixel at array, laid out by the
// array's byte strides.
void copyFrame(void *buf, void *array, int stride_x, int stride_y);

// dequeue_buffer(), also failing when the driver names a buffer outside the
// slots handed to it: no address outside the staging memory is ever read.
int dequeue_slot(int slots);

// Turns streaming off when it goes out of scope, unless already stopped.
class StreamOn {
public:
    StreamOn() = default;
    ~StreamOn() { stop(); }
    StreamOn(const StreamOn &) = delete;
    StreamOn &operator=(const StreamOn &) = delete;

    void stop();

private:
    bool on_ = true;
};

}  // namespace camsnap
