// Streaming capture: the stream and its staging memory live in the module's device
// from startStream until stopStream or the first failing captureStream.
#include "capture/capture.h"

#include "capture/frames.h"
#include "device/report.h"
#include "device/state.h"
#include "device/undo.h"
#include "device/v4l2.h"

namespace camsnap {

namespace {

// A failed capture ends the stream: off first, then the memory the driver held.
void end_stream(Device &d) {
    streamoff(d);
    d.stream_buf.reset();
}

}  // namespace

PyObject *cs_startStream(PyObject *, PyObject *) {
    Device &d = module_device();
    if (!frame_geometry_fits(d)) Py_RETURN_FALSE;

    d.stream_buffers = 1;
    if (request_buffers(d, &d.stream_buffers) != 0) Py_RETURN_FALSE;

    StagingMemory memory = allocate_staging(d.stream_buffers, d.frame_size);
    if (!memory) {
        CS_REPORT(d, "Failed to allocate buffers\n");
        Py_RETURN_FALSE;
    }
    DriverBuffers driver(d);  // taken back if the stream does not start
    for (int i = 0; i < d.stream_buffers; ++i) {
        if (queue_buffer(d, i, staging_slot(memory, i, d.frame_size), d.frame_size) != 0) Py_RETURN_FALSE;
        driver.queued();
    }
    if (streamon(d) != 0) Py_RETURN_FALSE;

    driver.dismiss();
    d.stream_buf = std::move(memory);
    d.stream_frame_size = d.frame_size;
    d.streamingFirstFrame = 2;
    Py_RETURN_TRUE;
}

PyObject *cs_captureStream(PyObject *, PyObject *) {
    Device &d = module_device();
    // Polling an idle queue would start some drivers' read() emulation, which
    // then owns the queue until the device is closed.
    if (!d.stream_buf) {
        CS_REPORT(d, "No stream running\n");
        Py_RETURN_NONE;
    }
    // Ends the stream when a capture leaves early.
    UndoUnlessDismissed failure([&d] { end_stream(d); });
    // A refused init during the stream can leave a mode whose copy reads past the frame.
    if (!frame_geometry_fits(d)) Py_RETURN_NONE;
    // Drivers refuse a new format while streaming; one that took it anyway has
    // changed the slot size under the memory this stream was started with.
    if (d.frame_size != d.stream_frame_size) {
        CS_REPORT(d, "Frame size changed from %d to %d bytes during the stream\n",
                  d.stream_frame_size, d.frame_size);
        Py_RETURN_NONE;
    }

    int n = dequeue_slot(d, d.stream_buffers);
    if (n < 0) Py_RETURN_NONE;

    PyRef vecout = new_frame_array(d, -1);
    if (!vecout) {
        CS_REPORT(d, "Failed to allocate array\n");
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    auto *array = reinterpret_cast<PyArrayObject *>(vecout.get());

    char *slot = staging_slot(d.stream_buf, n, d.frame_size);
    if (d.streamingFirstFrame) {
        // The first frame after stream-on is discarded.
        d.streamingFirstFrame = 0;
        if (queue_buffer(d, n, slot, d.frame_size) != 0) Py_RETURN_NONE;
        n = dequeue_slot(d, d.stream_buffers);
        if (n < 0) Py_RETURN_NONE;
        slot = staging_slot(d.stream_buf, n, d.frame_size);
    }

    const npy_intp *strides = PyArray_STRIDES(array);
    copyFrame(d, slot, PyArray_DATA(array), int(strides[1]), int(strides[0]));
    if (queue_buffer(d, n, slot, d.frame_size) != 0) Py_RETURN_NONE;

    failure.dismiss();
    return PyArray_Return(reinterpret_cast<PyArrayObject *>(vecout.release()));
}

PyObject *cs_stopStream(PyObject *, PyObject *) {
    Device &d = module_device();
    if (streamoff(d) != 0) Py_RETURN_FALSE;
    d.stream_buf.reset();
    Py_RETURN_TRUE;
}

}  // namespace camsnap
