// All V4L2 traffic: the requests of format negotiation and discovery, and the
// buffer queue primitives the captures are built on. Every ioctl of the module
// goes through v4l2_ioctl(); none is retried (an interrupted call is a failure).
#pragma once

#include <linux/videodev2.h>

namespace camsnap {

int v4l2_ioctl(int node, unsigned long request, void *record);

int query_capabilities(int node, v4l2_capability &cap);
int enum_format(int node, v4l2_fmtdesc &desc);
int enum_frame_sizes(int node, v4l2_frmsizeenum &size);
int set_format(int node, v4l2_format &format);

// Buffer queue primitives on the device state's descriptor. Each reports its
// own failures.
int request_buffers(int *n);
int queue_buffer(int n, char *data, int size);
int dequeue_buffer();
int streamon();
int streamoff();

// Gives the driver's buffers back (a zero-count request), quietly.
int release_buffers();

}  // namespace camsnap
