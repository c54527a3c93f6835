// V4L2 requests and the buffer queue primitives (user-pointer streaming).
#include "device/v4l2.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <climits>

#include "device/report.h"
#include "device/state.h"

namespace camsnap {

int v4l2_ioctl(int node, unsigned long request, void *record) {
    return ::ioctl(node, request, record);
}

int query_capabilities(int node, v4l2_capability &cap) {
    return v4l2_ioctl(node, VIDIOC_QUERYCAP, &cap);
}

int enum_format(int node, v4l2_fmtdesc &desc) {
    return v4l2_ioctl(node, VIDIOC_ENUM_FMT, &desc);
}

int enum_frame_sizes(int node, v4l2_frmsizeenum &size) {
    return v4l2_ioctl(node, VIDIOC_ENUM_FRAMESIZES, &size);
}

int set_format(int node, v4l2_format &format) {
    return v4l2_ioctl(node, VIDIOC_S_FMT, &format);
}

int request_buffers(Device &d, int *n) {
    v4l2_requestbuffers req = {};
    req.count = static_cast<__u32>(*n);
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_USERPTR;
    const int result = v4l2_ioctl(d.fd, VIDIOC_REQBUFS, &req);
    if (result != 0) CS_REPORT(d, "Reqbuf failed.\n\n");
    if (result == 0 && req.count > 0) d.driver_buffers_allocated = true;
    if (req.count > static_cast<__u32>(*n)) {
        // The camsnap command reads this text to advise a series instead
        // (python/camsnap_cli/common.py, needs_more_buffers): change both together.
        // The request succeeded: no errno belongs to this failure (a kept line
        // would otherwise carry whatever an earlier call left).
        errno = 0;
        CS_REPORT(d, "Too many buffers required\n\n");
        *n = static_cast<int>(req.count);
        return -1;
    }
    *n = static_cast<int>(req.count);
    return result;
}

int release_buffers(Device &d) {
    v4l2_requestbuffers req = {};
    req.count = 0;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_USERPTR;
    const int result = v4l2_ioctl(d.fd, VIDIOC_REQBUFS, &req);
    if (result == 0) d.driver_buffers_allocated = false;
    return result;
}

int queue_buffer(Device &d, int n, char *data, int size) {
    v4l2_buffer buf = {};
    buf.index = static_cast<__u32>(n);
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_USERPTR;
    buf.m.userptr = reinterpret_cast<unsigned long>(data);
    buf.length = static_cast<__u32>(size);
    const int result = v4l2_ioctl(d.fd, VIDIOC_QBUF, &buf);
    if (result != 0) CS_REPORT(d, "Failed to queue buffer: %d\n\n", n);
    return result;
}

int dequeue_buffer(Device &d, v4l2_buffer *answer, int wait_ms) {
    pollfd wait = {};
    wait.fd = d.fd;
    wait.events = POLLIN;
    const int ready = ::poll(&wait, 1, wait_ms);
    if (ready <= 0) {
        CS_REPORT(d, "Poll timeout ret=%d\n\n", ready);
        return -1;
    }
    v4l2_buffer buf = {};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_USERPTR;
    if (v4l2_ioctl(d.fd, VIDIOC_DQBUF, &buf) != 0) {
        CS_REPORT(d, "Failed to DQBUF\n\n");
        return -1;
    }
    // A buffer the driver gives back failed (uvcvideo does this at unplug): it
    // holds no new frame, only what an earlier frame left in that slot.
    if ((buf.flags & V4L2_BUF_FLAG_ERROR) && !d.delivers_error_frames) {
        CS_REPORT(d, "Driver returned buffer %u with an error\n\n", buf.index);
        return -1;
    }
    // An index that does not fit the result would read as a failure, or as a slot.
    if (buf.index > static_cast<__u32>(INT_MAX)) {
        CS_REPORT(d, "Driver returned buffer index %u\n\n", buf.index);
        return -1;
    }
    if (answer) *answer = buf;
    return static_cast<int>(buf.index);
}

int streamon(Device &d) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const int result = v4l2_ioctl(d.fd, VIDIOC_STREAMON, &type);
    if (result != 0) CS_REPORT(d, "Failed to streamon\n\n");
    return result;
}

int streamoff(Device &d) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const int result = v4l2_ioctl(d.fd, VIDIOC_STREAMOFF, &type);
    if (result != 0) CS_REPORT(d, "Failed to streamof\n\n");
    return result;
}

}  // namespace camsnap
