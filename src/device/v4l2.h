// All V4L2 traffic: the requests of format negotiation and discovery, and the
// buffer queue primitives the captures are built on. Every ioctl of the module
// goes through v4l2_ioctl(); none is retried (an interrupted call is a failure).
#pragma once

#include <linux/videodev2.h>

#include "device/state.h"

namespace camsnap {

int v4l2_ioctl(int node, unsigned long request, void *record);

int query_capabilities(int node, v4l2_capability &cap);
int enum_format(int node, v4l2_fmtdesc &desc);
int enum_frame_sizes(int node, v4l2_frmsizeenum &size);
int set_format(int node, v4l2_format &format);

// How long dequeue_buffer() waits for a frame unless told otherwise.
constexpr int DEQUEUE_WAIT_MS = 500;

// Buffer queue primitives on a device's descriptor. Each reports its own
// failures to the device.
int request_buffers(Device &d, int *n);
int queue_buffer(Device &d, int n, char *data, int size);
// The index of the next filled buffer, or -1; the driver's whole answer (sequence,
// timestamp, flags, bytesused) into *answer when given. wait_ms < 0 waits for good.
int dequeue_buffer(Device &d, v4l2_buffer *answer = nullptr, int wait_ms = DEQUEUE_WAIT_MS);
int streamon(Device &d);
int streamoff(Device &d);

// Gives the driver's buffers back (a zero-count request), quietly.
int release_buffers(Device &d);

}  // namespace camsnap
