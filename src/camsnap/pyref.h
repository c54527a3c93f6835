// PyRef: sole owner of one strong Python reference.
#pragma once

#include <Python.h>

namespace camsnap {

class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject *obj) : obj_(obj) {}  // takes over a new reference
    ~PyRef() { Py_XDECREF(obj_); }

    PyRef(PyRef &&other) noexcept : obj_(other.release()) {}
    PyRef &operator=(PyRef &&other) noexcept {
        PyRef old(obj_);
        obj_ = other.release();
        return *this;
    }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;

    PyObject *get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }

    // Hands the reference to the caller (Python, or a container that steals it).
    PyObject *release() {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }

private:
    PyObject *obj_ = nullptr;
};

}  // namespace camsnap
