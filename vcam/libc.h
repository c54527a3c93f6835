// The C library's own entry points, behind the ones this library puts in front of them, and
// the one lookup that finds them.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <type_traits>

// What leaves the library: the interposed entry points and the vcam_* control functions.
#define VCAM_EXPORT __attribute__((visibility("default")))

struct statx;

namespace vcam {

// The next definition of `name` in the lookup order (normally the C library's), or null when
// the running C library has none: glibc exports fstatat only from 2.33, statx and fcntl64
// from 2.28, and the wheels run on 2.17.
void *next_symbol(const char *name);

// What a C library function does to fail: errno set, -1 answered.
inline int fail(int err) {
    errno = err;
    return -1;
}

template <typename R>
R unavailable() {
    errno = ENOSYS;
    if constexpr (std::is_pointer_v<R>) return nullptr;
    else return R(-1);
}

// A function of the C library, looked up once. Calling one the running C library lacks fails
// with ENOSYS instead of jumping to nothing; callers with another way ask `available()`.
template <typename Fn>
class Next {
public:
    explicit Next(const char *name) : f_(reinterpret_cast<Fn *>(next_symbol(name))) {}
    bool available() const { return f_ != nullptr; }
    template <typename... A>
    auto operator()(A... a) const {
        return f_ ? f_(a...) : unavailable<decltype(f_(a...))>();
    }

private:
    Fn *f_;
};

namespace libc {

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
int poll(pollfd *fds, nfds_t n, int timeout);
void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
int munmap(void *addr, size_t length);
void *mremap(void *old, size_t old_size, size_t new_size, int flags, void *target);
// fstatat() as the running C library offers it (before 2.33: __fxstatat).
int fstatat(int dirfd, const char *path, struct stat *st, int flags);
// statx() of the C library, or the system call where the C library predates it (2.28).
int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *x);

}  // namespace libc
}  // namespace vcam
