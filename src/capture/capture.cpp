// Single and series capture: each call runs its own short stream.
//   request buffers -> staging memory -> array -> queue all -> stream on ->
//   dequeue (two discarded, then the kept frames) -> stream off -> free
#include "capture/capture.h"

#include "capture/frames.h"
#include "convert/frame.h"
#include "device/report.h"
#include "device/state.h"
#include "device/v4l2.h"

namespace camsnap {

namespace {
// Frames thrown away after stream-on: the first frames of a starting sensor.
constexpr int skip_frames = 2;
}  // namespace

PyObject *cs_captureSeries_internal(int num_frames) {
    Device &d = module_device();
    bool series = true;
    if (num_frames == -1) {
        series = false;
        num_frames = 1;
    } else if (num_frames <= 0) {
        Py_RETURN_NONE;
    }

    if (!frame_geometry_fits(d)) Py_RETURN_NONE;

    int num_buffers = num_frames;
    if (request_buffers(d, &num_buffers) != 0) Py_RETURN_NONE;

    StagingMemory buf = allocate_staging(num_buffers, d.frame_size);
    if (!buf) {
        CS_REPORT(d, "Failed to allocate buffers\n");
        Py_RETURN_NONE;
    }

    PyRef vecout = new_frame_array(d, series ? num_frames : -1);
    if (!vecout) {
        CS_REPORT(d, "Failed to allocate array\n");
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    auto *array = reinterpret_cast<PyArrayObject *>(vecout.get());

    // Stream off again on every way out, before buf is freed.
    DriverBuffers driver(d);
    for (int i = 0; i < num_buffers; ++i) {
        if (queue_buffer(d, i, staging_slot(buf, i, d.frame_size), d.frame_size) != 0) Py_RETURN_NONE;
        driver.queued();
    }
    if (streamon(d) != 0) Py_RETURN_NONE;

    // Kept frame i hands its slot back only while the frames still to come
    // outnumber the buffers already queued: the driver gets num_frames + 2
    // buffers in all, one per dequeue, and none is left queued at the end.
    int num_left = num_frames - num_buffers;
    const npy_intp *strides = PyArray_STRIDES(array);
    char *data = static_cast<char *>(PyArray_DATA(array));
    for (int i = -skip_frames; i < num_frames; ++i) {
        const int n = dequeue_slot(d, num_buffers);
        if (n < 0) Py_RETURN_NONE;
        char *slot = staging_slot(buf, n, d.frame_size);
        if (i >= 0) {
            if (series)
                copyFrame(d, slot, data + i * strides[0], int(strides[2]), int(strides[1]));
            else
                copyFrame(d, slot, data, int(strides[1]), int(strides[0]));
            if (--num_left < 0) continue;
        }
        if (queue_buffer(d, n, slot, d.frame_size) != 0) Py_RETURN_NONE;
    }

    driver.take_back();
    buf.reset();
    return PyArray_Return(reinterpret_cast<PyArrayObject *>(vecout.release()));
}

PyObject *cs_captureSingle(PyObject *, PyObject *) { return cs_captureSeries_internal(-1); }

PyObject *cs_captureSeries(PyObject *, PyObject *args) {
    int num_frames = 0;
    if (!PyArg_ParseTuple(args, "i", &num_frames)) return nullptr;
    return cs_captureSeries_internal(num_frames);
}

}  // namespace camsnap
