// Discovery: which of /dev/video0..9 answer, with their capture formats and
// discrete frame sizes. Works on descriptors of its own; the device state is
// neither read nor changed.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "camsnap/pyref.h"
#include "device/device.h"
#include "device/v4l2.h"

namespace camsnap {

namespace {

constexpr int NODES_SCANNED = 10;

class NodeDescriptor {
public:
    explicit NodeDescriptor(const char *path) : fd_(::open(path, O_RDWR)) {}
    ~NodeDescriptor() {
        if (fd_ != -1) ::close(fd_);
    }
    NodeDescriptor(const NodeDescriptor &) = delete;
    NodeDescriptor &operator=(const NodeDescriptor &) = delete;

    int get() const { return fd_; }
    bool is_open() const { return fd_ != -1; }

private:
    int fd_;
};

// dict[key] = value; the dictionary takes its own reference.
bool set_item(PyObject *dict, const char *key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

bool append(PyObject *list, PyRef item) {
    return item && PyList_Append(list, item.get()) == 0;
}

PyRef unsigned_int(__u32 value) { return PyRef(PyLong_FromUnsignedLong(value)); }

PyRef describe_size(const v4l2_frmsizeenum &size) {
    PyRef dict(PyDict_New());
    if (!dict || !set_item(dict.get(), "width", unsigned_int(size.discrete.width)) ||
        !set_item(dict.get(), "height", unsigned_int(size.discrete.height)))
        return PyRef();
    return dict;
}

PyRef discrete_sizes(int node, __u32 code) {
    PyRef sizes(PyList_New(0));
    if (!sizes) return PyRef();
    v4l2_frmsizeenum size = {};
    size.pixel_format = code;
    for (size.index = 0; enum_frame_sizes(node, size) >= 0; ++size.index) {
        if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) continue;
        if (!append(sizes.get(), describe_size(size))) return PyRef();
    }
    return sizes;
}

PyRef describe_format(int node, __u32 code) {
    PyRef dict(PyDict_New());
    if (!dict || !set_item(dict.get(), "fmt", unsigned_int(code)) ||
        !set_item(dict.get(), "res", discrete_sizes(node, code)))
        return PyRef();
    return dict;
}

PyRef capture_formats(int node) {
    PyRef formats(PyList_New(0));
    if (!formats) return PyRef();
    v4l2_fmtdesc desc = {};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (desc.index = 0; enum_format(node, desc) >= 0; ++desc.index) {
        if (!append(formats.get(), describe_format(node, desc.pixelformat))) return PyRef();
    }
    return formats;
}

// The card name is whatever bytes the driver put there; undecodable bytes
// become U+FFFD rather than an exception.
PyRef card_name(const v4l2_capability &cap) {
    const char *card = reinterpret_cast<const char *>(cap.card);
    return PyRef(PyUnicode_DecodeUTF8(card, strnlen(card, sizeof cap.card), "replace"));
}

PyRef describe_node(int node, int number, const v4l2_capability &cap) {
    PyRef dict(PyDict_New());
    if (!dict || !set_item(dict.get(), "id", PyRef(PyLong_FromLong(number))) ||
        !set_item(dict.get(), "card", card_name(cap)) ||
        !set_item(dict.get(), "fmts", capture_formats(node)))
        return PyRef();
    return dict;
}

}  // namespace

PyObject *cs_list(PyObject *, PyObject *) {
    PyRef cameras(PyList_New(0));
    if (!cameras) return nullptr;
    for (int number = 0; number < NODES_SCANNED; ++number) {
        char path[16];
        std::snprintf(path, sizeof path, "/dev/video%d", number);
        NodeDescriptor node(path);
        if (!node.is_open()) continue;
        v4l2_capability cap = {};
        if (query_capabilities(node.get(), cap) != 0) continue;
        if (!append(cameras.get(), describe_node(node.get(), number, cap))) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
            return nullptr;
        }
    }
    return cameras.release();
}

}  // namespace camsnap
