// camsnap_camera.Frame: the pixels of one dequeued buffer and the driver's
// metadata beside them. numpy.asarray(frame) gives frame.array (__array__).
#include "camera/frame.h"

#include <cstring>

#include "camsnap/numpy.h"

namespace camsnap {

PyObject *camera_error = nullptr;
PyObject *frame_type = nullptr;

PyObject *raise_camera_error(int err, const std::string &text, const std::string &path) {
    std::string message = text;
    if (err) message += std::string(": ") + std::strerror(err);
    PyObject *exc = PyObject_CallFunction(camera_error, "iss", err, message.c_str(), path.c_str());
    if (exc) {
        PyErr_SetObject(camera_error, exc);
        Py_DECREF(exc);
    }
    return nullptr;
}

namespace {

struct FrameObject {
    PyObject_HEAD
    PyObject *array;
    FrameInfo info;
    uint32_t fourcc;
};

FrameObject *as_frame(PyObject *o) { return reinterpret_cast<FrameObject *>(o); }

void frame_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    Py_XDECREF(as_frame(self)->array);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject *get_array(PyObject *self, void *) {
    Py_INCREF(as_frame(self)->array);
    return as_frame(self)->array;
}
PyObject *get_sequence(PyObject *self, void *) { return PyLong_FromUnsignedLong(as_frame(self)->info.sequence); }
PyObject *get_timestamp(PyObject *self, void *) { return PyLong_FromLongLong(as_frame(self)->info.timestamp_ns); }
PyObject *get_dropped(PyObject *self, void *) { return PyLong_FromLongLong(as_frame(self)->info.dropped); }
PyObject *get_bytesused(PyObject *self, void *) { return PyLong_FromUnsignedLong(as_frame(self)->info.bytesused); }
PyObject *get_error(PyObject *self, void *) {
    return PyBool_FromLong(as_frame(self)->info.flags & V4L2_BUF_FLAG_ERROR);
}
PyObject *get_clock(PyObject *self, void *) {
    switch (as_frame(self)->info.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) {
    case V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC:
        return PyUnicode_FromString("monotonic");
    case V4L2_BUF_FLAG_TIMESTAMP_COPY:
        return PyUnicode_FromString("copy");
    default:
        return PyUnicode_FromString("unknown");
    }
}
PyObject *get_format(PyObject *self, void *) {
    char text[5] = {};
    std::memcpy(text, &as_frame(self)->fourcc, 4);
    return PyUnicode_DecodeLatin1(text, 4, nullptr);
}

// numpy.asarray(frame): the array itself, or a converted copy when a dtype is asked for.
PyObject *frame_array(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"dtype", "copy", nullptr};
    PyObject *dtype = Py_None, *copy = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO", const_cast<char **>(keywords), &dtype, &copy))
        return nullptr;
    PyObject *array = as_frame(self)->array;
    if (dtype != Py_None) return PyObject_CallMethod(array, "astype", "O", dtype);
    if (copy == Py_True) return PyObject_CallMethod(array, "copy", nullptr);
    Py_INCREF(array);
    return array;
}

PyObject *frame_repr(PyObject *self) {
    const FrameObject *f = as_frame(self);
    char text[5] = {};
    std::memcpy(text, &f->fourcc, 4);
    return PyUnicode_FromFormat("<Frame %s sequence=%lu timestamp=%lld dropped=%lld>", text,
                                static_cast<unsigned long>(f->info.sequence),
                                static_cast<long long>(f->info.timestamp_ns),
                                static_cast<long long>(f->info.dropped));
}

PyGetSetDef frame_getset[] = {
    {"array", get_array, nullptr, "The pixels: uint16 for Y16 and BGR3, RGB uint8 for YU12, YUYV, NV12, RGB3, uint8 for GREY; with raw=True the bytes as delivered", nullptr},
    {"sequence", get_sequence, nullptr, "The driver's frame number", nullptr},
    {"timestamp", get_timestamp, nullptr, "When the driver captured the frame, in nanoseconds of the clock named by clock", nullptr},
    {"clock", get_clock, nullptr, "The timestamp's clock: 'monotonic' (time.monotonic_ns), 'copy' or 'unknown'", nullptr},
    {"dropped", get_dropped, nullptr, "Frames the driver numbered but did not deliver since the previous frame", nullptr},
    {"error", get_error, nullptr, "True when the driver flagged the buffer as failed", nullptr},
    {"bytesused", get_bytesused, nullptr, "Bytes the driver filled", nullptr},
    {"format", get_format, nullptr, "The pixel format, four characters", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef frame_methods[] = {
    {"__array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_array)),
     METH_VARARGS | METH_KEYWORDS, "The frame's array (numpy.asarray(frame))"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot frame_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(frame_dealloc)},
    {Py_tp_getset, frame_getset},
    {Py_tp_methods, frame_methods},
    {Py_tp_repr, reinterpret_cast<void *>(frame_repr)},
    {Py_tp_doc, const_cast<char *>("One frame read from a Camera: its array and the driver's metadata")},
    {0, nullptr},
};

PyType_Spec frame_spec = {"camsnap_camera.Frame", sizeof(FrameObject), 0, Py_TPFLAGS_DEFAULT, frame_slots};

}  // namespace

bool add_frame_type(PyObject *module) {
    frame_type = PyType_FromSpec(&frame_spec);
    if (!frame_type) return false;
    Py_INCREF(frame_type);
    return PyModule_AddObject(module, "Frame", frame_type) == 0;
}

PyObject *new_frame(PyObject *array, const FrameInfo &info, uint32_t fourcc) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject *>(frame_type), Py_tp_alloc));
    PyObject *self = alloc(reinterpret_cast<PyTypeObject *>(frame_type), 0);
    if (!self) {
        Py_DECREF(array);
        return nullptr;
    }
    FrameObject *f = as_frame(self);
    f->array = array;
    f->info = info;
    f->fourcc = fourcc;
    return self;
}

}  // namespace camsnap
