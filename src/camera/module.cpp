// camsnap_camera: Camera objects on the same core as the camsnap module. Every
// wait, copy and conversion runs without the interpreter lock, under the
// camera's own mutex; failures raise CameraError, nothing goes to standard error.
#define CAMSNAP_IMPORTS_NUMPY
#include "camsnap/numpy.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/frame.h"
#include "camsnap/pyref.h"

namespace camsnap {

namespace {

struct CameraObject {
    PyObject_HEAD
    CameraDevice *camera;
};

CameraDevice &camera_of(PyObject *self) { return *reinterpret_cast<CameraObject *>(self)->camera; }

// Holds the camera's mutex for one call, taken with the interpreter lock
// released; the lock can be taken back briefly (Python work) while the mutex is
// held, since no thread ever waits for the mutex while holding the lock.
class CameraCall {
public:
    explicit CameraCall(CameraDevice &camera) : camera_(camera) {
        state_ = PyEval_SaveThread();
        camera_.mutex.lock();
        PyEval_RestoreThread(state_);
        state_ = nullptr;
    }
    ~CameraCall() {
        release_interpreter();
        camera_.mutex.unlock();
        acquire_interpreter();
    }
    CameraCall(const CameraCall &) = delete;
    CameraCall &operator=(const CameraCall &) = delete;

    void release_interpreter() {
        if (!state_) state_ = PyEval_SaveThread();
    }
    void acquire_interpreter() {
        if (state_) PyEval_RestoreThread(state_);
        state_ = nullptr;
    }

    // CameraError from the camera's kept failure.
    PyObject *raise() {
        acquire_interpreter();
        return raise_camera_error(camera_.failure_errno(), camera_.failure_text(), camera_.path());
    }

private:
    CameraDevice &camera_;
    PyThreadState *state_ = nullptr;
};

std::string fourcc_text(uint32_t code) {
    std::string s(4, ' ');
    std::memcpy(&s[0], &code, 4);
    return s;
}

bool fourcc_of(PyObject *format, uint32_t *code) {
    Py_ssize_t size = 0;
    PyRef bytes(PyUnicode_AsLatin1String(format));
    if (!bytes) return false;
    char *data = nullptr;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
    if (size < 1 || size > 4) {
        PyErr_SetString(PyExc_ValueError, "a pixel format is one to four characters, e.g. 'YUYV' or 'Y16 '");
        return false;
    }
    char padded[4] = {' ', ' ', ' ', ' '};
    std::memcpy(padded, data, size_t(size));
    std::memcpy(code, padded, 4);
    return true;
}

PyObject *fps_of(const v4l2_fract &interval) {
    if (interval.numerator == 0 || interval.denominator == 0) Py_RETURN_NONE;
    return PyFloat_FromDouble(double(interval.denominator) / double(interval.numerator));
}

bool set_item(PyObject *dict, const char *key, PyObject *value) {
    if (!value) return false;
    const int result = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return result == 0;
}

bool append(PyObject *list, PyObject *item) {
    if (!item) return false;
    const int result = PyList_Append(list, item);
    Py_DECREF(item);
    return result == 0;
}

// ---- construction ---------------------------------------------------------

PyObject *camera_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"device", nullptr};
    PyObject *device = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char **>(keywords), &device))
        return nullptr;
    std::string path;
    if (PyLong_Check(device)) {
        const long n = PyLong_AsLong(device);
        if (n == -1 && PyErr_Occurred()) return nullptr;
        path = "/dev/video" + std::to_string(n);
    } else {
        PyRef fs(PyOS_FSPath(device));
        if (!fs) return nullptr;
        PyRef encoded;
        if (PyUnicode_Check(fs.get())) {
            encoded = PyRef(PyUnicode_EncodeFSDefault(fs.get()));
        } else {
            Py_INCREF(fs.get());
            encoded = PyRef(fs.get());
        }
        if (!encoded) return nullptr;
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) != 0) return nullptr;
        path.assign(data, size_t(size));
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self(alloc(type, 0));
    if (!self) return nullptr;
    auto *obj = reinterpret_cast<CameraObject *>(self.get());
    obj->camera = new CameraDevice();
    bool opened = false;
    Py_BEGIN_ALLOW_THREADS
    opened = obj->camera->open(path);
    Py_END_ALLOW_THREADS
    if (!opened)
        return raise_camera_error(obj->camera->failure_errno(), obj->camera->failure_text(), path);
    return self.release();
}

void camera_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    CameraDevice *camera = reinterpret_cast<CameraObject *>(self)->camera;
    if (camera) {
        Py_BEGIN_ALLOW_THREADS
        camera->close();
        Py_END_ALLOW_THREADS
        delete camera;
    }
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

bool check_open(PyObject *self) {
    if (camera_of(self).is_open()) return true;
    raise_camera_error(EBADF, "the camera is closed", camera_of(self).path());
    return false;
}

// ---- formats and configure ------------------------------------------------

PyObject *describe_size(const FrameSize &s) {
    PyRef dict(PyDict_New());
    PyRef rates(PyList_New(0));
    if (!dict || !rates) return nullptr;
    for (const v4l2_fract &i : s.intervals)
        if (!append(rates.get(), fps_of(i))) return nullptr;
    if (!set_item(dict.get(), "width", PyLong_FromUnsignedLong(s.width)) ||
        !set_item(dict.get(), "height", PyLong_FromUnsignedLong(s.height)) ||
        !set_item(dict.get(), "fps", rates.release()))
        return nullptr;
    return dict.release();
}

PyObject *describe_format(const FormatInfo &f) {
    PyRef dict(PyDict_New());
    PyRef sizes(PyList_New(0));
    if (!dict || !sizes) return nullptr;
    for (const FrameSize &s : f.sizes)
        if (!append(sizes.get(), describe_size(s))) return nullptr;
    if (!set_item(dict.get(), "format", PyUnicode_DecodeLatin1(fourcc_text(f.fourcc).c_str(), 4, nullptr)) ||
        !set_item(dict.get(), "description", PyUnicode_DecodeUTF8(f.description.c_str(), Py_ssize_t(f.description.size()), "replace")) ||
        !set_item(dict.get(), "compressed", PyBool_FromLong(f.compressed)) ||
        !set_item(dict.get(), "sizes", sizes.release()))
        return nullptr;
    return dict.release();
}

PyObject *camera_formats(PyObject *self, PyObject *) {
    if (!check_open(self)) return nullptr;
    std::vector<FormatInfo> formats;
    {
        CameraCall call(camera_of(self));
        call.release_interpreter();
        if (!camera_of(self).formats(formats)) return call.raise();
    }
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const FormatInfo &f : formats)
        if (!append(list.get(), describe_format(f))) return nullptr;
    return list.release();
}

const char *quantization_name(const PixelFrame &f) {
    return f.variant.quantization == Quantization::limited ? "limited" : "full";
}
const char *encoding_name(const PixelFrame &f) {
    return f.variant.encoding == Encoding::bt709 ? "bt709" : "bt601";
}

PyObject *describe_configuration(const CameraDevice &camera) {
    const Configured &c = camera.configuration();
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    PixelFrame frame;
    const bool converts = camera.pixel_frame(frame);
    const bool ycbcr = converts && output_channels(frame) == 3 && frame.layout != PixelLayout::rgb3;
    if (!set_item(dict.get(), "format", PyUnicode_DecodeLatin1(fourcc_text(c.pix.pixelformat).c_str(), 4, nullptr)) ||
        !set_item(dict.get(), "width", PyLong_FromUnsignedLong(c.pix.width)) ||
        !set_item(dict.get(), "height", PyLong_FromUnsignedLong(c.pix.height)) ||
        !set_item(dict.get(), "bytesperline", PyLong_FromUnsignedLong(c.pix.bytesperline)) ||
        !set_item(dict.get(), "sizeimage", PyLong_FromUnsignedLong(c.pix.sizeimage)) ||
        !set_item(dict.get(), "fps", fps_of(c.interval)) ||
        !set_item(dict.get(), "quantization", ycbcr ? PyUnicode_FromString(quantization_name(frame)) : (Py_INCREF(Py_None), Py_None)) ||
        !set_item(dict.get(), "encoding", ycbcr ? PyUnicode_FromString(encoding_name(frame)) : (Py_INCREF(Py_None), Py_None)))
        return nullptr;
    return dict.release();
}

// fps as a fraction the driver can take: whole rates exactly, others to a thousandth.
bool fps_fraction(PyObject *fps, uint32_t *num, uint32_t *den) {
    *num = 0;
    *den = 1;
    if (fps == Py_None) return true;
    const double value = PyFloat_AsDouble(fps);
    if (value == -1.0 && PyErr_Occurred()) return false;
    if (!(value > 0) || value > 1e6) {
        PyErr_SetString(PyExc_ValueError, "fps must be a positive number of frames a second");
        return false;
    }
    if (value == std::floor(value)) {
        *num = uint32_t(value);
        return true;
    }
    *num = uint32_t(std::lround(value * 1000));
    *den = 1000;
    return true;
}

// A name of quantization= or encoding=: None leaves the driver's word.
template <typename T>
bool choice_of(PyObject *value, const char *keyword, const char *first, T first_value,
               const char *second, T second_value, std::optional<T> *out) {
    if (value == Py_None) return true;
    const bool text = PyUnicode_Check(value);
    if (text && PyUnicode_CompareWithASCIIString(value, first) == 0) {
        *out = first_value;
    } else if (text && PyUnicode_CompareWithASCIIString(value, second) == 0) {
        *out = second_value;
    } else {
        PyErr_Format(PyExc_ValueError, "%s must be None, '%s' or '%s'", keyword, first, second);
        return false;
    }
    return true;
}

PyObject *camera_configure(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"format", "width", "height", "fps", "quantization", "encoding", nullptr};
    PyObject *format = nullptr, *fps = Py_None, *quantization = Py_None, *encoding = Py_None;
    unsigned int width = 0, height = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UII|OOO", const_cast<char **>(keywords), &format,
                                     &width, &height, &fps, &quantization, &encoding))
        return nullptr;
    uint32_t code = 0, num = 0, den = 1;
    VariantChoice variant;
    if (!fourcc_of(format, &code) || !fps_fraction(fps, &num, &den) ||
        !choice_of(quantization, "quantization", "full", Quantization::full, "limited",
                   Quantization::limited, &variant.quantization) ||
        !choice_of(encoding, "encoding", "bt601", Encoding::bt601, "bt709", Encoding::bt709,
                   &variant.encoding))
        return nullptr;
    if (!check_open(self)) return nullptr;
    CameraCall call(camera_of(self));
    call.release_interpreter();
    Configured answer;
    if (!camera_of(self).configure(code, width, height, num, den, variant, answer)) return call.raise();
    call.acquire_interpreter();
    return describe_configuration(camera_of(self));
}

// ---- streaming ------------------------------------------------------------

PyObject *camera_start(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"buffers", nullptr};
    int buffers = 4;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|i", const_cast<char **>(keywords), &buffers))
        return nullptr;
    if (buffers < 1 || buffers > 64) {
        PyErr_SetString(PyExc_ValueError, "buffers must be between 1 and 64");
        return nullptr;
    }
    if (!check_open(self)) return nullptr;
    CameraCall call(camera_of(self));
    call.release_interpreter();
    if (!camera_of(self).start(buffers)) return call.raise();
    call.acquire_interpreter();
    Py_RETURN_NONE;
}

PyObject *camera_stop(PyObject *self, PyObject *) {
    if (!check_open(self)) return nullptr;
    CameraCall call(camera_of(self));
    call.release_interpreter();
    if (!camera_of(self).stop()) return call.raise();
    call.acquire_interpreter();
    Py_RETURN_NONE;
}

PyObject *camera_close(PyObject *self, PyObject *) {
    CameraCall call(camera_of(self));
    call.release_interpreter();
    camera_of(self).close();
    call.acquire_interpreter();
    Py_RETURN_NONE;
}

PyObject *camera_enter(PyObject *self, PyObject *) {
    if (!check_open(self)) return nullptr;
    Py_INCREF(self);
    return self;
}

PyObject *camera_exit(PyObject *self, PyObject *) { return camera_close(self, nullptr); }

// What a read produces: the array shape and type, or the raw bytes.
struct Output {
    int dims = 0;
    npy_intp shape[3] = {0, 0, 0};
    int type = NPY_UBYTE;
    bool raw = false;
    PixelFrame frame;
};

bool output_for(CameraDevice &camera, bool raw, Output &o) {
    const Configured &c = camera.configuration();
    o.raw = raw;
    if (raw) {
        o.dims = 1;
        o.shape[0] = npy_intp(c.pix.sizeimage);
        return true;
    }
    if (!camera.pixel_frame(o.frame)) {
        raise_camera_error(EINVAL, "format " + fourcc_text(c.pix.pixelformat) +
                                       " has no conversion; read it with raw=True",
                           camera.path());
        return false;
    }
    o.shape[0] = output_rows(o.frame);
    o.shape[1] = o.frame.width;
    o.dims = 2;
    if (output_channels(o.frame) == 3) o.shape[o.dims++] = 3;
    o.type = output_element_bytes(o.frame) == 2 ? NPY_UINT16 : NPY_UINT8;
    return true;
}

// The caller's out= array, checked to be what the read writes, or a new one.
PyObject *array_for(const Output &o, PyObject *out) {
    if (out == Py_None) return PyArray_SimpleNew(o.dims, const_cast<npy_intp *>(o.shape), o.type);
    if (!PyArray_Check(out)) {
        PyErr_SetString(PyExc_TypeError, "out must be a numpy array");
        return nullptr;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(out);
    bool fits = PyArray_TYPE(a) == o.type && PyArray_NDIM(a) == o.dims &&
                PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISWRITEABLE(a);
    for (int i = 0; fits && i < o.dims; ++i) fits = PyArray_DIMS(a)[i] == o.shape[i];
    if (!fits) {
        PyRef want(PyUnicode_FromFormat("out must be a writable C-contiguous %s array of shape (%zd%s%s)",
                                        o.type == NPY_UINT16 ? "uint16" : "uint8", Py_ssize_t(o.shape[0]),
                                        o.dims > 1 ? ", ..." : "", o.dims == 1 ? "," : ""));
        if (want) PyErr_SetObject(PyExc_ValueError, want.get());
        return nullptr;
    }
    Py_INCREF(out);
    return out;
}

void fill(const Output &o, const uint8_t *slot, uint32_t bytesused, uint32_t size, PyArrayObject *a) {
    auto *dst = static_cast<uint8_t *>(PyArray_DATA(a));
    if (o.raw) {
        std::memcpy(dst, slot, bytesused < size ? bytesused : size);
        return;
    }
    convert_pixels(o.frame, slot, dst);
}

// Waits for a frame in slices, looking at signals between them (Ctrl-C ends a
// read that has no timeout). 1: a frame waits; 0: timed out; -1: an exception.
int wait_for_frame(CameraCall &call, CameraDevice &camera, double timeout) {
    constexpr int slice_ms = 100;
    double left_ms = timeout < 0 ? -1 : timeout * 1000;
    for (;;) {
        const int wait_ms = left_ms < 0 ? slice_ms : int(std::min<double>(left_ms, slice_ms));
        const int ready = camera.wait(wait_ms);
        if (ready != 0) return ready > 0 ? 1 : (call.raise(), -1);
        if (left_ms >= 0) {
            left_ms -= wait_ms;
            if (left_ms <= 0) return 0;
        }
        call.acquire_interpreter();
        if (PyErr_CheckSignals() != 0) return -1;
        call.release_interpreter();
    }
}

// newest: latest(); iterating: a stream that stopped before the call got the
// camera ends the iteration instead of raising.
PyObject *read_frame(PyObject *self, PyObject *args, PyObject *kwargs, bool newest, bool iterating = false) {
    static const char *keywords[] = {"timeout", "out", "raw", nullptr};
    PyObject *timeout_arg = Py_None, *out = Py_None;
    int raw = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOp", const_cast<char **>(keywords),
                                     &timeout_arg, &out, &raw))
        return nullptr;
    double timeout = -1;
    if (timeout_arg != Py_None) {
        timeout = PyFloat_AsDouble(timeout_arg);
        if (timeout == -1.0 && PyErr_Occurred()) return nullptr;
        if (timeout < 0) {
            PyErr_SetString(PyExc_ValueError, "timeout must be None or at least 0 seconds");
            return nullptr;
        }
    }
    if (!check_open(self)) return nullptr;
    CameraDevice &camera = camera_of(self);
    CameraCall call(camera);
    if (!camera.streaming()) {
        if (iterating) return nullptr;
        return raise_camera_error(EINVAL, "the camera is not streaming; start() first", camera.path());
    }
    Output o;
    if (!output_for(camera, raw != 0, o)) return nullptr;
    PyRef array(array_for(o, out));
    if (!array) return nullptr;
    auto *a = reinterpret_cast<PyArrayObject *>(array.get());

    call.release_interpreter();
    const int ready = wait_for_frame(call, camera, timeout);
    if (ready < 0) return nullptr;
    if (ready == 0) {
        call.acquire_interpreter();
        char text[96];
        std::snprintf(text, sizeof text, "no frame within %g s", timeout);
        return raise_camera_error(ETIMEDOUT, text, camera.path());
    }
    FrameInfo info;
    if (!camera.dequeue(info)) return call.raise();
    // latest(): every frame already waiting replaces the one in hand; at most one
    // round of the buffers, against a driver that fills a buffer whenever asked.
    for (int k = 0; newest && k < camera.buffers() && camera.wait(0) > 0; ++k) {
        FrameInfo next;
        if (!camera.requeue(info.index) || !camera.dequeue(next)) return call.raise();
        info = next;
    }
    const uint32_t size = camera.configuration().pix.sizeimage;
    fill(o, camera.slot(info.index), info.bytesused, size, a);
    if (!camera.requeue(info.index)) return call.raise();
    call.acquire_interpreter();
    PyObject *result = array.release();
    if (o.raw) {
        // The bytes delivered: the array cut to bytesused.
        const Py_ssize_t used = info.bytesused < size ? info.bytesused : size;
        PyObject *cut = PySequence_GetSlice(result, 0, used);
        Py_DECREF(result);
        if (!cut) return nullptr;
        result = cut;
    }
    return new_frame(result, info, camera.configuration().pix.pixelformat);
}

PyObject *camera_read(PyObject *self, PyObject *args, PyObject *kwargs) {
    return read_frame(self, args, kwargs, false);
}
PyObject *camera_latest(PyObject *self, PyObject *args, PyObject *kwargs) {
    return read_frame(self, args, kwargs, true);
}

PyObject *camera_iter(PyObject *self) {
    Py_INCREF(self);
    return self;
}

// Iteration reads frames while the stream runs and ends when it is stopped
// (also by another thread while this one waited for the camera) or closed.
PyObject *camera_next(PyObject *self) {
    if (!camera_of(self).is_open()) return nullptr;
    PyRef args(PyTuple_New(0));
    if (!args) return nullptr;
    return read_frame(self, args.get(), nullptr, false, true);
}

// ---- controls -------------------------------------------------------------

// "Percentage of Dropped Buffers" -> "percentage_of_dropped_buffers".
std::string control_key(const std::string &name) {
    std::string key;
    for (char c : name) {
        const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (word)
            key += char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        else if (!key.empty() && key.back() != '_')
            key += '_';
    }
    while (!key.empty() && key.back() == '_') key.pop_back();
    return key;
}

const char *control_type_name(uint32_t type) {
    switch (type) {
    case V4L2_CTRL_TYPE_INTEGER: return "integer";
    case V4L2_CTRL_TYPE_BOOLEAN: return "boolean";
    case V4L2_CTRL_TYPE_MENU: return "menu";
    case V4L2_CTRL_TYPE_INTEGER_MENU: return "integer_menu";
    case V4L2_CTRL_TYPE_BUTTON: return "button";
    case V4L2_CTRL_TYPE_INTEGER64: return "integer64";
    case V4L2_CTRL_TYPE_BITMASK: return "bitmask";
    default: return "other";
    }
}

bool has_value(const ControlInfo &c) {
    return c.type != V4L2_CTRL_TYPE_BUTTON && !(c.flags & V4L2_CTRL_FLAG_WRITE_ONLY) &&
           (c.type == V4L2_CTRL_TYPE_INTEGER || c.type == V4L2_CTRL_TYPE_BOOLEAN ||
            c.type == V4L2_CTRL_TYPE_MENU || c.type == V4L2_CTRL_TYPE_INTEGER_MENU ||
            c.type == V4L2_CTRL_TYPE_INTEGER64 || c.type == V4L2_CTRL_TYPE_BITMASK);
}

PyObject *describe_control(const ControlInfo &c, bool valued, int64_t value) {
    PyRef dict(PyDict_New());
    PyRef menu(PyDict_New());
    if (!dict || !menu) return nullptr;
    for (const auto &entry : c.menu) {
        PyRef key(PyLong_FromLongLong(entry.first));
        PyRef text(PyUnicode_DecodeUTF8(entry.second.c_str(), Py_ssize_t(entry.second.size()), "replace"));
        if (!key || !text || PyDict_SetItem(menu.get(), key.get(), text.get()) != 0) return nullptr;
    }
    if (!set_item(dict.get(), "name", PyUnicode_DecodeUTF8(c.name.c_str(), Py_ssize_t(c.name.size()), "replace")) ||
        !set_item(dict.get(), "key", PyUnicode_FromString(control_key(c.name).c_str())) ||
        !set_item(dict.get(), "id", PyLong_FromUnsignedLong(c.id)) ||
        !set_item(dict.get(), "type", PyUnicode_FromString(control_type_name(c.type))) ||
        !set_item(dict.get(), "minimum", PyLong_FromLongLong(c.minimum)) ||
        !set_item(dict.get(), "maximum", PyLong_FromLongLong(c.maximum)) ||
        !set_item(dict.get(), "step", PyLong_FromLongLong(c.step)) ||
        !set_item(dict.get(), "default", PyLong_FromLongLong(c.default_value)) ||
        !set_item(dict.get(), "menu", menu.release()) ||
        !set_item(dict.get(), "value", valued ? PyLong_FromLongLong(value) : (Py_INCREF(Py_None), Py_None)))
        return nullptr;
    return dict.release();
}

PyObject *camera_controls(PyObject *self, void *) {
    if (!check_open(self)) return nullptr;
    CameraDevice &camera = camera_of(self);
    std::vector<ControlInfo> controls;
    std::vector<std::pair<bool, int64_t>> values;
    {
        CameraCall call(camera);
        call.release_interpreter();
        if (!camera.controls(controls)) return call.raise();
        for (const ControlInfo &c : controls) {
            int64_t value = 0;
            // A control that cannot be read now (inactive, say) is listed without a value.
            const bool valued = has_value(c) && camera.get_control(c, value);
            values.emplace_back(valued, value);
        }
    }
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (size_t i = 0; i < controls.size(); ++i)
        if (!append(list.get(), describe_control(controls[i], values[i].first, values[i].second)))
            return nullptr;
    return list.release();
}

// The control named (its driver name or key), found under the call's mutex.
bool find_control(CameraCall &call, CameraDevice &camera, const std::string &name, ControlInfo &out) {
    std::vector<ControlInfo> controls;
    call.release_interpreter();
    const bool listed = camera.controls(controls);
    call.acquire_interpreter();
    if (!listed) {
        call.raise();
        return false;
    }
    for (const ControlInfo &c : controls) {
        if (c.name == name || control_key(c.name) == name) {
            out = c;
            return true;
        }
    }
    raise_camera_error(EINVAL, "no control named '" + name + "'", camera.path());
    return false;
}

PyObject *camera_get_control(PyObject *self, PyObject *args) {
    const char *name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    if (!check_open(self)) return nullptr;
    CameraDevice &camera = camera_of(self);
    CameraCall call(camera);
    ControlInfo control;
    if (!find_control(call, camera, name, control)) return nullptr;
    int64_t value = 0;
    call.release_interpreter();
    if (!camera.get_control(control, value)) return call.raise();
    call.acquire_interpreter();
    return PyLong_FromLongLong(value);
}

PyObject *camera_set_control(PyObject *self, PyObject *args) {
    const char *name = nullptr;
    long long value = 0;
    if (!PyArg_ParseTuple(args, "sL", &name, &value)) return nullptr;
    if (!check_open(self)) return nullptr;
    CameraDevice &camera = camera_of(self);
    CameraCall call(camera);
    ControlInfo control;
    if (!find_control(call, camera, name, control)) return nullptr;
    call.release_interpreter();
    if (!camera.set_control(control, value)) return call.raise();
    call.acquire_interpreter();
    Py_RETURN_NONE;
}

PyObject *camera_path(PyObject *self, void *) {
    const std::string &p = camera_of(self).path();
    return PyUnicode_DecodeFSDefaultAndSize(p.c_str(), Py_ssize_t(p.size()));
}

PyObject *camera_closed(PyObject *self, void *) { return PyBool_FromLong(!camera_of(self).is_open()); }

template <typename F>
PyCFunction method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef camera_methods[] = {
    {"formats", method(camera_formats), METH_NOARGS,
     "formats() -> list of {'format', 'description', 'compressed', 'sizes': [{'width', 'height', 'fps': [...]}]}"},
    {"configure", method(camera_configure), METH_VARARGS | METH_KEYWORDS,
     "configure(format, width, height, fps=None, quantization=None, encoding=None) -> what the driver set; "
     "raises when it substitutes another format"},
    {"start", method(camera_start), METH_VARARGS | METH_KEYWORDS, "start(buffers=4): start streaming"},
    {"read", method(camera_read), METH_VARARGS | METH_KEYWORDS,
     "read(timeout=None, out=None, raw=False) -> Frame: the next frame in the driver's order"},
    {"latest", method(camera_latest), METH_VARARGS | METH_KEYWORDS,
     "latest(timeout=None, out=None, raw=False) -> Frame: the newest frame, older waiting ones passed over"},
    {"stop", method(camera_stop), METH_NOARGS, "stop(): stop streaming"},
    {"close", method(camera_close), METH_NOARGS, "close(): stop and release the device"},
    {"get_control", method(camera_get_control), METH_VARARGS, "get_control(name) -> int"},
    {"set_control", method(camera_set_control), METH_VARARGS,
     "set_control(name, value): raises CameraError naming the control and value when refused"},
    {"__enter__", method(camera_enter), METH_NOARGS, nullptr},
    {"__exit__", method(camera_exit), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef camera_getset[] = {
    {"path", camera_path, nullptr, "The device path", nullptr},
    {"closed", camera_closed, nullptr, "True once close() ran", nullptr},
    {"controls", camera_controls, nullptr,
     "Each control: name, key, id, type, minimum, maximum, step, default, menu, value", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot camera_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(camera_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(camera_dealloc)},
    {Py_tp_methods, camera_methods},
    {Py_tp_getset, camera_getset},
    {Py_tp_iter, reinterpret_cast<void *>(camera_iter)},
    {Py_tp_iternext, reinterpret_cast<void *>(camera_next)},
    {Py_tp_doc, const_cast<char *>("Camera(device): a V4L2 camera by index or path; a context manager")},
    {0, nullptr},
};

PyType_Spec camera_spec = {"camsnap_camera.Camera", sizeof(CameraObject), 0, Py_TPFLAGS_DEFAULT,
                           camera_slots};

PyModuleDef camera_module = {
    PyModuleDef_HEAD_INIT, "camsnap_camera",
    "Camera objects: several cameras, frame metadata, controls and frame rates, without the interpreter lock.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace camsnap

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_camsnap_camera(void);

PyMODINIT_FUNC PyInit_camsnap_camera(void) {
    using namespace camsnap;
    if (_import_array() < 0) return nullptr;
    PyRef module(PyModule_Create(&camera_module));
    if (!module) return nullptr;
    camera_error = PyErr_NewExceptionWithDoc(
        "camsnap_camera.CameraError",
        "A camera failure: errno, strerror (what failed, and why) and filename (the device path)",
        PyExc_OSError, nullptr);
    if (!camera_error) return nullptr;
    Py_INCREF(camera_error);
    if (PyModule_AddObject(module.get(), "CameraError", camera_error) != 0) return nullptr;
    if (!add_frame_type(module.get())) return nullptr;
    PyObject *type = PyType_FromSpec(&camera_spec);
    if (!type || PyModule_AddObject(module.get(), "Camera", type) != 0) return nullptr;
    return module.release();
}
