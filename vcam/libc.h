// The C library's own entry points, behind the ones this library puts in front of them.
#pragma once

#include <poll.h>

namespace vcam::libc {

int close(int fd);
int ioctl(int fd, unsigned long request, void *arg);
int poll(pollfd *fds, nfds_t n, int timeout);

}  // namespace vcam::libc
