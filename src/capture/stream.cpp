// Streaming capture: the stream and its staging memory live in the device state
// from startStream until stopStream or the first failing captureStream.
#include "capture/capture.h"

#include "capture/frames.h"
#include "device/report.h"
#include "device/state.h"
#include "device/v4l2.h"

namespace camsnap {

namespace {

// A failed capture ends the stream: off first, then the memory the driver held.
void end_stream() {
    streamoff();
    stream_buf.reset();
}

// Ends the stream when a capture leaves early; dismissed once it succeeds.
class EndStreamOnFailure {
public:
    EndStreamOnFailure() = default;
    ~EndStreamOnFailure() {
        if (armed_) end_stream();
    }
    EndStreamOnFailure(const EndStreamOnFailure &) = delete;
    EndStreamOnFailure &operator=(const EndStreamOnFailure &) = delete;

    void dismiss() { armed_ = false; }

private:
    bool armed_ = true;
};

}  // namespace

PyObject *cs_startStream(PyObject *, PyObject *) {
    if (!frame_geometry_fits()) Py_RETURN_FALSE;

    stream_buffers = 1;
    if (request_buffers(&stream_buffers) != 0) Py_RETURN_FALSE;

    StagingMemory memory = allocate_staging(stream_buffers, frame_size);
    if (!memory) {
        CS_REPORT("Failed to allocate buffers\n");
        Py_RETURN_FALSE;
    }
    DriverBuffers driver;  // taken back if the stream does not start
    for (int i = 0; i < stream_buffers; ++i) {
        if (queue_buffer(i, staging_slot(memory, i), frame_size) != 0) Py_RETURN_FALSE;
        driver.queued();
    }
    if (streamon() != 0) Py_RETURN_FALSE;

    driver.dismiss();
    stream_buf = std::move(memory);
    stream_frame_size = frame_size;
    streamingFirstFrame = 2;
    Py_RETURN_TRUE;
}

PyObject *cs_captureStream(PyObject *, PyObject *) {
    // Polling an idle queue would start some drivers' read() emulation, which
    // then owns the queue until the device is closed.
    if (!stream_buf) {
        CS_REPORT("No stream running\n");
        Py_RETURN_NONE;
    }
    EndStreamOnFailure failure;
    // A refused init during the stream can leave a mode whose copy reads past the frame.
    if (!frame_geometry_fits()) Py_RETURN_NONE;
    // Drivers refuse a new format while streaming; one that took it anyway has
    // changed the slot size under the memory this stream was started with.
    if (frame_size != stream_frame_size) {
        CS_REPORT("Frame size changed from %d to %d bytes during the stream\n",
                  stream_frame_size, frame_size);
        Py_RETURN_NONE;
    }

    int n = dequeue_slot(stream_buffers);
    if (n < 0) Py_RETURN_NONE;

    PyRef vecout = new_frame_array(-1);
    if (!vecout) {
        CS_REPORT("Failed to allocate array\n");
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    auto *array = reinterpret_cast<PyArrayObject *>(vecout.get());

    char *slot = staging_slot(stream_buf, n);
    if (streamingFirstFrame) {
        // The first frame after stream-on is discarded.
        streamingFirstFrame = 0;
        if (queue_buffer(n, slot, frame_size) != 0) Py_RETURN_NONE;
        n = dequeue_slot(stream_buffers);
        if (n < 0) Py_RETURN_NONE;
        slot = staging_slot(stream_buf, n);
    }

    const npy_intp *strides = PyArray_STRIDES(array);
    copyFrame(slot, PyArray_DATA(array), int(strides[1]), int(strides[0]));
    if (queue_buffer(n, slot, frame_size) != 0) Py_RETURN_NONE;

    failure.dismiss();
    return PyArray_Return(reinterpret_cast<PyArrayObject *>(vecout.release()));
}

PyObject *cs_stopStream(PyObject *, PyObject *) {
    if (streamoff() != 0) Py_RETURN_FALSE;
    stream_buf.reset();
    Py_RETURN_TRUE;
}

}  // namespace camsnap
