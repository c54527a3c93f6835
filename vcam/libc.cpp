// The lookup of the C library's definitions behind this library's, and the calls that reach
// them past this library's own entry points.
#include "libc.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vcam {

void *next_symbol(const char *name) { return dlsym(RTLD_NEXT, name); }

namespace libc {

int close(int fd) {
    static const Next<int(int)> f("close");
    return f(fd);
}

int openat(int dirfd, const char *path, int flags, unsigned mode) {
    static const Next<int(int, const char *, int, ...)> f("openat");
    return f(dirfd, path, flags, mode);
}

int open(const char *path, int flags, unsigned mode) { return openat(AT_FDCWD, path, flags, mode); }

ssize_t write(int fd, const void *buf, size_t n) {
    static const Next<ssize_t(int, const void *, size_t)> f("write");
    return f(fd, buf, n);
}

ssize_t read(int fd, void *buf, size_t n) {
    static const Next<ssize_t(int, void *, size_t)> f("read");
    return f(fd, buf, n);
}

ssize_t readlink(const char *path, char *buf, size_t size) {
    static const Next<ssize_t(const char *, char *, size_t)> f("readlink");
    return f(path, buf, size);
}

int duplicate(int fd, bool cloexec) {
    static const Next<int(int, int, ...)> f("fcntl");
    return f(fd, cloexec ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
}

DIR *opendir(const char *path) {
    static const Next<DIR *(const char *)> f("opendir");
    return f(path);
}

int ppoll(pollfd *fds, nfds_t n, const timespec *timeout, const sigset_t *mask) {
    static const Next<int(pollfd *, nfds_t, const timespec *, const sigset_t *)> f("ppoll");
    return f(fds, n, timeout, mask);
}

int epoll_wait(int epfd, epoll_event *events, int max, int timeout) {
    static const Next<int(int, epoll_event *, int, int)> f("epoll_wait");
    return f(epfd, events, max, timeout);
}

int poll(pollfd *fds, nfds_t n, int timeout) {
    static const Next<int(pollfd *, nfds_t, int)> f("poll");
    return f(fds, n, timeout);
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    static const Next<void *(void *, size_t, int, int, int, off_t)> f("mmap");
    return f.available() ? f(addr, length, prot, flags, fd, offset) : MAP_FAILED;
}

int munmap(void *addr, size_t length) {
    static const Next<int(void *, size_t)> f("munmap");
    return f(addr, length);
}

void *mremap(void *old, size_t old_size, size_t new_size, int flags, void *target) {
    static const Next<void *(void *, size_t, size_t, int, ...)> f("mremap");
    return f.available() ? f(old, old_size, new_size, flags, target) : MAP_FAILED;
}

int fstatat(int dirfd, const char *path, struct stat *st, int flags) {
    static const Next<int(int, const char *, struct stat *, int)> modern("fstatat");
    if (modern.available()) return modern(dirfd, path, st, flags);
    // Before 2.33 a program's stat() is a static stub calling __fxstatat with the layout's
    // version: _STAT_VER_LINUX (1) on x86_64, 0 where the layout is the generic one (aarch64).
#if defined(__x86_64__)
    constexpr int kStatVersion = 1;
#else
    constexpr int kStatVersion = 0;
#endif
    static const Next<int(int, int, const char *, struct stat *, int)> versioned("__fxstatat");
    return versioned(kStatVersion, dirfd, path, st, flags);
}

int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *x) {
    static const Next<int(int, const char *, int, unsigned, struct statx *)> f("statx");
    if (f.available()) return f(dirfd, path, flags, mask, x);
    return int(::syscall(SYS_statx, dirfd, path, flags, mask, x));
}

}  // namespace libc
}  // namespace vcam
