// The module as Python sees it: nine methods, their doc strings, and the numpy
// import at start-up. Nothing touches a device at import.
#define CAMSNAP_IMPORTS_NUMPY
#include "camsnap/numpy.h"

#include "capture/capture.h"
#include "device/device.h"

namespace {

using namespace camsnap;

PyMethodDef camsnap_methods[] = {
    {"open", cs_open, METH_VARARGS, "Open the video device, takes the file name as the argument"},
    {"close", cs_close, METH_VARARGS, "Close the video device"},
    {"list", cs_list, METH_VARARGS, "Return array with video device names"},
    {"init", cs_init, METH_VARARGS, "Init the video device, takes the pixel format as the argument"},
    {"captureSingle", cs_captureSingle, METH_VARARGS, "Capture a single frame, returns a numpy array"},
    {"captureSeries", cs_captureSeries, METH_VARARGS, "Capture a series of frames, returns a numpy array"},
    {"startStream", cs_startStream, METH_VARARGS, "Start streaming frames"},
    {"captureStream", cs_captureStream, METH_VARARGS, "Capture a single frame during streaming"},
    {"stopStream", cs_stopStream, METH_VARARGS, "Stop streaming frames"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef camsnap_definition = {
    PyModuleDef_HEAD_INIT,
    "camsnap",
    "A Python module that grabs UVC frames.",
    -1,
    camsnap_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// The one exported symbol. Interpreters before 3.9 do not mark it visible
// themselves, and the module is built with hidden visibility.
extern "C" __attribute__((visibility("default"))) PyObject *PyInit_camsnap(void);

PyMODINIT_FUNC PyInit_camsnap(void) {
    Py_Initialize();
    if (_import_array() < 0) {
        // numpy's own reason first, then the one error importers check for.
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return nullptr;
    }
    return PyModule_Create(&camsnap_definition);
}
