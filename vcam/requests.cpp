// The request table and the ioctl path through it: argument copy check, fault plans, priority,
// the answering Node method, the blocking DQBUF wait and the record.
#include "requests.h"

#include "libc.h"
#include "registry.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <mutex>

namespace vcam {
namespace {

// A Node method as a row's answer: the argument cast to the method's record type, and the open
// file passed to the methods that take one.
template <typename M>
struct Method;
template <typename T>
struct Method<int (Node::*)(T *, Args &)> {
    using Arg = T;
    static constexpr bool by_file = false;
};
template <typename T>
struct Method<int (Node::*)(T *, Args &) const> : Method<int (Node::*)(T *, Args &)> {};
template <typename T>
struct Method<int (Node::*)(int, T *, Args &)> {
    using Arg = T;
    static constexpr bool by_file = true;
};

template <auto M>
int answer(Node &node, int file, void *arg, Args &args) {
    using Arg = typename Method<decltype(M)>::Arg;
    if constexpr (Method<decltype(M)>::by_file) return (node.*M)(file, static_cast<Arg *>(arg), args);
    else return (node.*M)(static_cast<Arg *>(arg), args);
}

void buffer_inputs(const void *arg, Args &args) {
    auto *b = static_cast<const v4l2_buffer *>(arg);
    args.emplace_back("index", b->index);
    args.emplace_back("userptr", int64_t(b->m.userptr));
    args.emplace_back("length", b->length);
}

void reqbufs_inputs(const void *arg, Args &args) {
    args.emplace_back("count", static_cast<const v4l2_requestbuffers *>(arg)->count);
    args.emplace_back("memory", static_cast<const v4l2_requestbuffers *>(arg)->memory);
}

void s_fmt_inputs(const void *arg, Args &args) {
    auto *f = static_cast<const v4l2_format *>(arg);
    args.emplace_back("width", f->fmt.pix.width);
    args.emplace_back("height", f->fmt.pix.height);
    args.emplace_back("pixelformat", f->fmt.pix.pixelformat);
}

void enum_fmt_inputs(const void *arg, Args &args) {
    args.emplace_back("index", static_cast<const v4l2_fmtdesc *>(arg)->index);
}

void enum_framesizes_inputs(const void *arg, Args &args) {
    args.emplace_back("index", static_cast<const v4l2_frmsizeenum *>(arg)->index);
}

constexpr bool kPrio = true;

const Request kRequests[] = {
    {"OPEN", 0, false, nullptr, nullptr},
    {"CLOSE", 0, false, nullptr, nullptr},
    {"QUERYCAP", uint32_t(VIDIOC_QUERYCAP), false, answer<&Node::querycap>, nullptr},
    {"ENUM_FMT", uint32_t(VIDIOC_ENUM_FMT), false, answer<&Node::enum_fmt>, enum_fmt_inputs},
    {"ENUM_FRAMESIZES", uint32_t(VIDIOC_ENUM_FRAMESIZES), false, answer<&Node::enum_framesizes>,
     enum_framesizes_inputs},
    {"S_FMT", uint32_t(VIDIOC_S_FMT), kPrio, answer<&Node::s_fmt>, s_fmt_inputs},
    {"REQBUFS", uint32_t(VIDIOC_REQBUFS), kPrio, answer<&Node::reqbufs>, reqbufs_inputs},
    {"QBUF", uint32_t(VIDIOC_QBUF), false, answer<&Node::qbuf>, buffer_inputs},
    {"DQBUF", uint32_t(VIDIOC_DQBUF), false, answer<&Node::dqbuf>, nullptr},
    {"STREAMON", uint32_t(VIDIOC_STREAMON), kPrio, answer<&Node::streamon>, nullptr},
    {"STREAMOFF", uint32_t(VIDIOC_STREAMOFF), kPrio, answer<&Node::streamoff>, nullptr},
    {"POLL", 0, false, nullptr, nullptr},
    {"SELECT", 0, false, nullptr, nullptr},
    {"MMAP", 0, false, nullptr, nullptr},
    {"G_FMT", uint32_t(VIDIOC_G_FMT), false, answer<&Node::g_fmt>, nullptr},
    {"TRY_FMT", uint32_t(VIDIOC_TRY_FMT), false, answer<&Node::try_fmt>, nullptr},
    {"QUERYBUF", uint32_t(VIDIOC_QUERYBUF), false, answer<&Node::querybuf>, buffer_inputs},
    {"G_PARM", uint32_t(VIDIOC_G_PARM), false, answer<&Node::g_parm>, nullptr},
    {"S_PARM", uint32_t(VIDIOC_S_PARM), kPrio, answer<&Node::s_parm>, nullptr},
    {"ENUMINPUT", uint32_t(VIDIOC_ENUMINPUT), false, answer<&Node::enuminput>, nullptr},
    {"G_INPUT", uint32_t(VIDIOC_G_INPUT), false, answer<&Node::g_input>, nullptr},
    {"S_INPUT", uint32_t(VIDIOC_S_INPUT), kPrio, answer<&Node::s_input>, nullptr},
    {"QUERYCTRL", uint32_t(VIDIOC_QUERYCTRL), false, answer<&Node::queryctrl>, nullptr},
    {"G_CTRL", uint32_t(VIDIOC_G_CTRL), false, answer<&Node::g_ctrl>, nullptr},
    {"S_CTRL", uint32_t(VIDIOC_S_CTRL), kPrio, answer<&Node::s_ctrl>, nullptr},
    {"ENUM_FRAMEINTERVALS", uint32_t(VIDIOC_ENUM_FRAMEINTERVALS), false, answer<&Node::enum_frameintervals>,
     nullptr},
    {"CREATE_BUFS", uint32_t(VIDIOC_CREATE_BUFS), kPrio, answer<&Node::create_bufs>, nullptr},
    {"EXPBUF", uint32_t(VIDIOC_EXPBUF), false, answer<&Node::expbuf>, nullptr},
    {"G_PRIORITY", uint32_t(VIDIOC_G_PRIORITY), false, answer<&Node::g_priority>, nullptr},
    {"S_PRIORITY", uint32_t(VIDIOC_S_PRIORITY), kPrio, answer<&Node::s_priority>, nullptr},
    {"QUERY_EXT_CTRL", uint32_t(VIDIOC_QUERY_EXT_CTRL), false, answer<&Node::query_ext_ctrl>, nullptr},
    {"QUERYMENU", uint32_t(VIDIOC_QUERYMENU), false, answer<&Node::querymenu>, nullptr},
    {"G_EXT_CTRLS", uint32_t(VIDIOC_G_EXT_CTRLS), false, answer<&Node::g_ext_ctrls>, nullptr},
    {"S_EXT_CTRLS", uint32_t(VIDIOC_S_EXT_CTRLS), kPrio, answer<&Node::s_ext_ctrls>, nullptr},
    {"TRY_EXT_CTRLS", uint32_t(VIDIOC_TRY_EXT_CTRLS), false, answer<&Node::try_ext_ctrls>, nullptr},
    {"SUBSCRIBE_EVENT", uint32_t(VIDIOC_SUBSCRIBE_EVENT), false, answer<&Node::subscribe_event>, nullptr},
    {"UNSUBSCRIBE_EVENT", uint32_t(VIDIOC_UNSUBSCRIBE_EVENT), false, answer<&Node::unsubscribe_event>, nullptr},
    {"DQEVENT", uint32_t(VIDIOC_DQEVENT), false, answer<&Node::dqevent>, nullptr},
};

int dispatch(Node &node, int file, const Request *r, uint32_t code, void *arg, Args &args) {
    if (!r) {
        args.emplace_back("request", code);
        return -ENOTTY;
    }
    if (r->needs_priority && !node.has_priority(file)) return -EBUSY;
    return r->answer(node, file, arg, args);
}

bool is_blocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && !(flags & O_NONBLOCK);
}

// A blocking DQBUF sleeps until a frame is due or the queue changes, as a driver would.
int wait_for_frame(Registry &reg, std::unique_lock<std::mutex> &lock, int fd, Node *&node) {
    Clock::time_point wake = node->next_fill();
    if (!node->streaming()) return -EINVAL;
    if (wake == Clock::time_point::max()) reg.changed.wait(lock);
    else reg.changed.wait_until(lock, wake);
    node = reg.node_of_fd(fd);
    return node ? 0 : -EBADF;
}

}  // namespace

const Request *request_for(uint32_t code) {
    for (const Request &r : kRequests) {
        if (r.code == code && r.answer) return &r;
    }
    return nullptr;
}

const Request *request_named(const std::string &name) {
    for (const Request &r : kRequests) {
        if (name == r.name) return &r;
    }
    return nullptr;
}

std::string request_names() {
    std::string names;
    for (const Request &r : kRequests) names += std::string(names.empty() ? "" : " ") + r.name;
    return names;
}

int ioctl_fake(int fd, uint32_t code, void *arg, bool *ours) {
    Registry &reg = registry();
    std::unique_lock<std::mutex> lock(reg.mutex);
    Node *node = reg.node_of_fd(fd);
    *ours = node != nullptr;
    if (!node) return 0;
    const int file = reg.files.at(fd).file->id;  // the node tells open files apart, not descriptors
    const Request *request = request_for(code);
    const char *name = request ? request->name : "IOCTL";
    Args args{{"fd", fd}};
    // The kernel copies the argument in (and out) before a driver sees the request.
    if (_IOC_DIR(code) != _IOC_NONE && !mapped(reinterpret_cast<unsigned long>(arg), _IOC_SIZE(code))) {
        node->record(name, std::move(args), -EFAULT);
        return fail(EFAULT);
    }
    int r = -node->count_call(name);
    if (!r) r = -node->hostile_failure(name);
    if (r) {
        if (request && request->inputs) request->inputs(arg, args);
    } else {
        r = dispatch(*node, file, request, code, arg, args);
        while (r == -EAGAIN && code == uint32_t(VIDIOC_DQBUF) && is_blocking(fd)) {
            r = wait_for_frame(reg, lock, fd, node);
            if (r) break;
            args.resize(1);
            r = dispatch(*node, file, request, code, arg, args);
        }
        // A blocking DQEVENT sleeps until an event comes, as v4l2_event_dequeue does.
        while (r == -ENOENT && code == uint32_t(VIDIOC_DQEVENT) && is_blocking(fd)) {
            reg.changed.wait(lock);
            node = reg.node_of_fd(fd);
            if (!node) {
                r = -EBADF;
                break;
            }
            args.resize(1);
            r = dispatch(*node, file, request, code, arg, args);
        }
    }
    if (node) node->record(name, std::move(args), r);
    if (r == 0) reg.notify();
    return r ? fail(-r) : 0;
}

}  // namespace vcam
