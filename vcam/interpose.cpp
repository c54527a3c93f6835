// The ioctl and syscall entry points, kept thin as libv4l2's v4l2convert.c keeps them: a call
// on a node's descriptor goes to the request table (requests.cpp), a system call made through
// syscall() to the entry point of the C library's wrapper (descriptors.cpp, wait.cpp,
// files.cpp); everything else goes on to the next definition, normally libc's.
#include "interpose.h"
#include "libc.h"
#include "registry.h"
#include "requests.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace {

// Requests the kernel answers for any open file before a driver sees them.
bool file_level_request(unsigned long request) {
    return request == FIOCLEX || request == FIONCLEX || request == FIONBIO || request == FIOASYNC;
}

}  // namespace

using namespace vcam;

extern "C" {

VCAM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
    void *arg = VCAM_ARG(request, void *);
    if (g_configured.load() && !file_level_request(request)) {
        bool ours = false;
        int r = ioctl_fake(fd, uint32_t(request), arg, &ours);
        if (ours) return r;
    }
    static const Next<int(int, unsigned long, ...)> f("ioctl");
    return f(fd, request, arg);
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
        case SYS_open: return open64(path(0), int(a[1]), unsigned(a[2]));
#endif
        case SYS_openat: return openat64(int(a[0]), path(1), int(a[2]), unsigned(a[3]));
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
        case SYS_fcntl: return fcntl(int(a[0]), int(a[1]), p(2));
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
