// The C library's own entry points, behind the ones this library puts in front of them.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/types.h>

#include <cstddef>

namespace vcam::libc {

int close(int fd);
int open(const char *path, int flags, unsigned mode);
int openat(int dirfd, const char *path, int flags, unsigned mode);
ssize_t write(int fd, const void *buf, size_t n);
ssize_t read(int fd, void *buf, size_t n);
int ppoll(pollfd *fds, nfds_t n, const timespec *timeout, const sigset_t *mask);
int epoll_wait(int epfd, epoll_event *events, int max, int timeout);
ssize_t readlink(const char *path, char *buf, size_t size);
DIR *opendir(const char *path);
// dup() of a descriptor, close-on-exec or not, past this library's own dup handling.
int duplicate(int fd, bool cloexec);
int ioctl(int fd, unsigned long request, void *arg);
int poll(pollfd *fds, nfds_t n, int timeout);
void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
int munmap(void *addr, size_t length);
int select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, timeval *timeout);

}  // namespace vcam::libc
