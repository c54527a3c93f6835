// The Python methods that bind and prepare the device: open, close, init, list.
#pragma once

#include <Python.h>

namespace camsnap {

PyObject *cs_open(PyObject *self, PyObject *args);
PyObject *cs_close(PyObject *self, PyObject *args);
PyObject *cs_init(PyObject *self, PyObject *args);
PyObject *cs_list(PyObject *self, PyObject *args);

}  // namespace camsnap
