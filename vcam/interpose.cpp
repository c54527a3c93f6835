// The C library entry points this library stands in front of, kept thin as libv4l2's
// v4l2convert.c keeps them: a call on a node path or descriptor goes to the layer that answers
// it (descriptors.cpp, wait.cpp, requests.cpp, files.cpp); everything else goes on to the next
// definition, normally libc's.
#include "interpose.h"
#include "libc.h"
#include "registry.h"
#include "requests.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace vcam {
namespace {

bool mode_needed(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

unsigned mode_arg(int flags, va_list ap) { return mode_needed(flags) ? va_arg(ap, unsigned) : 0; }

// Requests the kernel answers for any open file before a driver sees them.
bool file_level_request(unsigned long request) {
    return request == FIOCLEX || request == FIONCLEX || request == FIONBIO || request == FIOASYNC;
}

}  // namespace
}  // namespace vcam

using namespace vcam;

extern "C" {

VCAM_EXPORT int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    unsigned mode = mode_arg(flags, ap);
    va_end(ap);
    return open_or_pass(path, flags, mode, "open");
}

VCAM_EXPORT int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    unsigned mode = mode_arg(flags, ap);
    va_end(ap);
    return open_or_pass(path, flags, mode, "open64");
}

VCAM_EXPORT int __open_2(const char *path, int flags) { return open_or_pass(path, flags, 0, "open"); }

VCAM_EXPORT int __open64_2(const char *path, int flags) { return open_or_pass(path, flags, 0, "open64"); }

VCAM_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    unsigned mode = mode_arg(flags, ap);
    va_end(ap);
    return openat_or_pass(dirfd, path, flags, mode, "openat");
}

VCAM_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    unsigned mode = mode_arg(flags, ap);
    va_end(ap);
    return openat_or_pass(dirfd, path, flags, mode, "openat64");
}

VCAM_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    return openat_or_pass(dirfd, path, flags, 0, "openat");
}

VCAM_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
    return openat_or_pass(dirfd, path, flags, 0, "openat64");
}

VCAM_EXPORT int close(int fd) {
    if (g_configured.load()) {
        bool ours = false;
        int r = close_fake(fd, &ours);
        if (ours) return r;
    }
    return libc::close(fd);
}

VCAM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (g_configured.load() && !file_level_request(request)) {
        bool ours = false;
        int r = ioctl_fake(fd, uint32_t(request), arg, &ours);
        if (ours) return r;
    }
    return libc::ioctl(fd, request, arg);
}

VCAM_EXPORT int poll(struct pollfd *fds, nfds_t n, int timeout) {
    if (g_configured.load()) {
        bool ours = false;
        int r = poll_fake(fds, n, deadline_after(timeout), timeout, nullptr, &ours, "POLL");
        if (ours) return r;
    }
    return libc::poll(fds, n, timeout);
}

VCAM_EXPORT int select(int nfds, fd_set *r, fd_set *w, fd_set *e, struct timeval *timeout) {
    if (g_configured.load()) {
        bool ours = false;
        int ready = select_fake(nfds, r, w, e, timeout, &ours);
        if (ours) return ready;
    }
    return libc::select(nfds, r, w, e, timeout);
}

// Anonymous memory and other files go straight on, without the lock: allocators map a lot.
VCAM_EXPORT void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (g_configured.load() && fd >= 0 && !(flags & MAP_ANONYMOUS)) {
        bool ours = false;
        void *p = mmap_fake(addr, length, prot, flags, fd, offset, &ours);
        if (ours) return p;
    }
    return libc::mmap(addr, length, prot, flags, fd, offset);
}

VCAM_EXPORT void *mmap64(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return mmap(addr, length, prot, flags, fd, offset);
}

VCAM_EXPORT int munmap(void *addr, size_t length) {
    return unmapping_watched() ? munmap_locked(addr, length) : libc::munmap(addr, length);
}

VCAM_EXPORT void *mremap(void *old, size_t old_size, size_t new_size, int flags, ...) {
    void *target = nullptr;
    if (flags & MREMAP_FIXED) {
        va_list ap;
        va_start(ap, flags);
        target = va_arg(ap, void *);
        va_end(ap);
    }
    if (unmapping_watched()) return mremap_locked(old, old_size, new_size, flags, target);
    return libc::mremap(old, old_size, new_size, flags, target);
}

VCAM_EXPORT int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t fdslen) {
    if (fdslen / sizeof *fds < n) std::abort();  // the caller's array is shorter than it says
    return poll(fds, n, timeout);
}

VCAM_EXPORT int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask) {
    if (g_configured.load()) {
        bool ours = false;
        const int ms = timeout ? int(std::min<long long>(INT_MAX, timeout->tv_sec * 1000LL + timeout->tv_nsec / 1000000)) : -1;
        int r = poll_fake(fds, n, deadline_after(timeout), ms, mask, &ours, "POLL");
        if (ours) return r;
    }
    return libc::ppoll(fds, n, timeout, mask);
}

VCAM_EXPORT int __ppoll_chk(struct pollfd *fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask,
                            size_t fdslen) {
    if (fdslen / sizeof *fds < n) std::abort();
    return ppoll(fds, n, timeout, mask);
}

VCAM_EXPORT int pselect(int nfds, fd_set *r, fd_set *w, fd_set *e, const struct timespec *timeout,
                        const sigset_t *mask) {
    if (g_configured.load()) {
        bool ours = false;
        int ready = pselect_fake(nfds, r, w, e, timeout, mask, &ours);
        if (ours) return ready;
    }
    static const Next<int(int, fd_set *, fd_set *, fd_set *, const timespec *, const sigset_t *)> f("pselect");
    return f(nfds, r, w, e, timeout, mask);
}

VCAM_EXPORT int epoll_ctl(int epfd, int op, int fd, struct epoll_event *event) noexcept {
    if (g_configured.load()) {
        bool ours = false;
        int r = epoll_ctl_fake(epfd, op, fd, event, &ours);
        if (ours) return r;
    }
    static const Next<int(int, int, int, epoll_event *)> f("epoll_ctl");
    return f(epfd, op, fd, event);
}

VCAM_EXPORT int epoll_pwait(int epfd, struct epoll_event *events, int max, int timeout, const sigset_t *mask) {
    if (g_configured.load()) {
        bool ours = false;
        int r = epoll_wait_fake(epfd, events, max, deadline_after(timeout), mask, &ours);
        if (ours) return r;
    }
    static const Next<int(int, epoll_event *, int, int, const sigset_t *)> f("epoll_pwait");
    return f(epfd, events, max, timeout, mask);
}

VCAM_EXPORT int epoll_wait(int epfd, struct epoll_event *events, int max, int timeout) {
    if (g_configured.load()) {
        bool ours = false;
        int r = epoll_wait_fake(epfd, events, max, deadline_after(timeout), nullptr, &ours);
        if (ours) return r;
    }
    return libc::epoll_wait(epfd, events, max, timeout);
}

VCAM_EXPORT int dup(int fd) noexcept {
    static const Next<int(int)> f("dup");
    if (g_configured.load()) {
        bool ours = false;
        int r = dup_fake(fd, -1, [&] { return f(fd); }, &ours);
        if (ours) return r;
    }
    return f(fd);
}

VCAM_EXPORT int dup2(int fd, int newfd) noexcept {
    static const Next<int(int, int)> f("dup2");
    if (g_configured.load()) {
        bool ours = false;
        int r = dup_fake(fd, newfd, [&] { return f(fd, newfd); }, &ours);
        if (ours) return r;
    }
    return f(fd, newfd);
}

VCAM_EXPORT int dup3(int fd, int newfd, int flags) noexcept {
    static const Next<int(int, int, int)> f("dup3");
    if (g_configured.load()) {
        bool ours = false;
        int r = dup_fake(fd, newfd, [&] { return f(fd, newfd, flags); }, &ours);
        if (ours) return r;
    }
    return f(fd, newfd, flags);
}

// Every argument of fcntl fits a pointer-sized register, which is how the C library reads it.
static int fcntl_with(const char *name, int fd, int cmd, void *arg) {
    static const Next<int(int, int, ...)> plain("fcntl"), wide("fcntl64");
    const auto &f = std::strcmp(name, "fcntl64") == 0 && wide.available() ? wide : plain;
    if ((cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && g_configured.load()) {
        bool ours = false;
        int r = dup_fake(fd, -1, [&] { return f(fd, cmd, arg); }, &ours);
        if (ours) return r;
    }
    return f(fd, cmd, arg);
}

VCAM_EXPORT int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_with("fcntl", fd, cmd, arg);
}

VCAM_EXPORT int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_with("fcntl64", fd, cmd, arg);
}

// A node without the READWRITE capability answers read() and write() with EINVAL, as vb2 does.
VCAM_EXPORT ssize_t read(int fd, void *buf, size_t n) {
    if (g_descriptors.load() && node_of_descriptor(fd) >= 0) return fail(EINVAL);
    return libc::read(fd, buf, n);
}

VCAM_EXPORT ssize_t write(int fd, const void *buf, size_t n) {
    if (g_descriptors.load() && node_of_descriptor(fd) >= 0) return fail(EINVAL);
    return libc::write(fd, buf, n);
}

// Programs (libv4l2 among them) that make their system calls with syscall() reach the node
// as those calling the C library's wrappers do; every other call goes to the kernel.
VCAM_EXPORT long syscall(long number, ...) {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long &x : a) x = va_arg(ap, long);
    va_end(ap);
    // Not a function-local static: its initialisation guard may itself wait with syscall()
    // (libc++abi's does, in the wheels' statically linked C++ runtime), which would come back
    // here and wait for itself. Two threads resolving it at once store the same address.
    static std::atomic<long (*)(long, ...)> resolved{nullptr};
    auto real = resolved.load(std::memory_order_acquire);
    if (!real) {
        real = reinterpret_cast<long (*)(long, ...)>(next_symbol("syscall"));
        if (!real) return unavailable<long>();
        resolved.store(real, std::memory_order_release);
    }
    if (g_configured.load()) {
        auto p = [&](int i) { return reinterpret_cast<void *>(a[i]); };
        auto path = [&](int i) { return reinterpret_cast<const char *>(a[i]); };
        switch (number) {
#ifdef SYS_open
        case SYS_open: return open_or_pass(path(0), int(a[1]), unsigned(a[2]), "open64");
#endif
        case SYS_openat: return openat_or_pass(int(a[0]), path(1), int(a[2]), unsigned(a[3]), "openat64");
        case SYS_close: return close(int(a[0]));
        case SYS_ioctl: return ioctl(int(a[0]), (unsigned long)a[1], p(2));
        case SYS_read: return read(int(a[0]), p(1), size_t(a[2]));
        case SYS_write: return write(int(a[0]), p(1), size_t(a[2]));
        case SYS_mmap: return long(mmap(p(0), size_t(a[1]), int(a[2]), int(a[3]), int(a[4]), off_t(a[5])));
        case SYS_munmap: return munmap(p(0), size_t(a[1]));
        case SYS_dup: return dup(int(a[0]));
#ifdef SYS_dup2
        case SYS_dup2: return dup2(int(a[0]), int(a[1]));
#endif
        case SYS_dup3: return dup3(int(a[0]), int(a[1]), int(a[2]));
        case SYS_fcntl: return fcntl_with("fcntl", int(a[0]), int(a[1]), p(2));
#ifdef SYS_poll
        case SYS_poll: return poll(static_cast<pollfd *>(p(0)), nfds_t(a[1]), int(a[2]));
#endif
        case SYS_fstat: return fstat(int(a[0]), static_cast<struct stat *>(p(1)));
        default: break;
        }
    }
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

}  // extern "C"

