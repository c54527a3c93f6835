// Capture methods: a single frame or a series with a stream of their own, and
// continuous streaming with one frame per call.
#pragma once

#include <Python.h>

namespace camsnap {

PyObject *cs_captureSingle(PyObject *self, PyObject *args);
PyObject *cs_captureSeries(PyObject *self, PyObject *args);
PyObject *cs_captureSeries_internal(int num_frames);

PyObject *cs_startStream(PyObject *self, PyObject *args);
PyObject *cs_captureStream(PyObject *self, PyObject *args);
PyObject *cs_stopStream(PyObject *self, PyObject *args);

}  // namespace camsnap
