// The file-system face of the nodes: stat, access and readlink answer for /dev/video<N> and
// its descriptors as for a character device 81:N, and the paths clients read under
// /sys/class/video4linux and /sys/dev/char lead to the library's sysfs testbed.
#include "interpose.h"
#include "libc.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/stat.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vcam {
namespace {

bool empty_path(const char *path) { return path && !*path; }

// The node a call of the stat family asks about: a descriptor of one (AT_EMPTY_PATH or
// fstat), or a path naming one. -1: not a node; *path is then what to pass on, the testbed
// file (kept in *redirect) for a sysfs path.
int stat_target(int dirfd, const char **path, int flags, std::string *redirect) {
    if (empty_path(*path) && (flags & AT_EMPTY_PATH)) return node_of_descriptor(dirfd);
    Target t;
    if (!device_target(dirfd, *path, &t)) return -1;
    // /proc/self/fd/K itself is a link; only following it reaches the node.
    if (t.via_link && (flags & AT_SYMLINK_NOFOLLOW)) return -1;
    *redirect = t.redirect;
    if (!redirect->empty()) *path = redirect->c_str();
    return t.node;
}

void fill_statx(int n, struct statx *x) {
    struct stat st;
    node_stat(n, &st);
    std::memset(x, 0, sizeof *x);
    x->stx_mask = STATX_BASIC_STATS;
    x->stx_blksize = uint32_t(st.st_blksize);
    x->stx_nlink = uint32_t(st.st_nlink);
    x->stx_uid = st.st_uid;
    x->stx_gid = st.st_gid;
    x->stx_mode = uint16_t(st.st_mode);
    x->stx_ino = st.st_ino;
    x->stx_atime = x->stx_mtime = x->stx_ctime =
        statx_timestamp{st.st_mtim.tv_sec, uint32_t(st.st_mtim.tv_nsec), 0};
    x->stx_rdev_major = major(st.st_rdev);
    x->stx_rdev_minor = minor(st.st_rdev);
    x->stx_dev_major = major(st.st_dev);
    x->stx_dev_minor = minor(st.st_dev);
}

int stat_at(int dirfd, const char *path, struct stat *st, int flags) {
    std::string redirect;
    const int n = stat_target(dirfd, &path, flags, &redirect);
    if (n < 0) return libc::fstatat(dirfd, path, st, flags);
    node_stat(n, st);
    return 0;
}

int access_at(int dirfd, const char *path, int mode, int flags) {
    std::string redirect;
    const int n = stat_target(dirfd, &path, flags, &redirect);
    // rw for everyone, as udev's rules give video nodes on a desktop; nothing executes.
    if (n >= 0) return mode & X_OK ? fail(EACCES) : 0;
    static const Next<int(int, const char *, int, int)> real("faccessat");
    return real(dirfd, path, mode, flags);
}

// The testbed file that stands for a sysfs path, else the path itself.
std::string testbed_path(const char *path) {
    Target t;
    return device_target(AT_FDCWD, path, &t) && !t.redirect.empty() ? t.redirect : std::string(path ? path : "");
}

ssize_t readlink_at(int dirfd, const char *path, char *buf, size_t size) {
    Target t;
    if (device_target(dirfd, path, &t)) {
        if (!t.redirect.empty()) return libc::readlink(t.redirect.c_str(), buf, size);
        // The link /proc/self/fd/K of a node descriptor names the node; the node is no link.
        if (!t.via_link) return fail(EINVAL);
        const std::string name = "/dev/video" + std::to_string(t.node);
        const size_t n = std::min(size, name.size());
        std::memcpy(buf, name.data(), n);
        return ssize_t(n);
    }
    static const Next<ssize_t(int, const char *, char *, size_t)> real("readlinkat");
    return real(dirfd, path, buf, size);
}

}  // namespace
}  // namespace vcam

using namespace vcam;

extern "C" {

VCAM_EXPORT int stat(const char *path, struct stat *st) noexcept { return stat_at(AT_FDCWD, path, st, 0); }
VCAM_EXPORT int stat64(const char *path, struct stat64 *st) noexcept {
    return stat_at(AT_FDCWD, path, reinterpret_cast<struct stat *>(st), 0);
}
VCAM_EXPORT int lstat(const char *path, struct stat *st) noexcept {
    return stat_at(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW);
}
VCAM_EXPORT int lstat64(const char *path, struct stat64 *st) noexcept {
    return stat_at(AT_FDCWD, path, reinterpret_cast<struct stat *>(st), AT_SYMLINK_NOFOLLOW);
}
VCAM_EXPORT int fstat(int fd, struct stat *st) noexcept { return stat_at(fd, "", st, AT_EMPTY_PATH); }
VCAM_EXPORT int fstat64(int fd, struct stat64 *st) noexcept {
    return stat_at(fd, "", reinterpret_cast<struct stat *>(st), AT_EMPTY_PATH);
}
VCAM_EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept {
    return stat_at(dirfd, path, st, flags);
}
VCAM_EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) noexcept {
    return stat_at(dirfd, path, reinterpret_cast<struct stat *>(st), flags);
}

// The versioned entry points that programs built against glibc before 2.33 call.
VCAM_EXPORT int __xstat(int, const char *path, struct stat *st) { return stat_at(AT_FDCWD, path, st, 0); }
VCAM_EXPORT int __xstat64(int, const char *path, struct stat *st) { return stat_at(AT_FDCWD, path, st, 0); }
VCAM_EXPORT int __lxstat(int, const char *path, struct stat *st) {
    return stat_at(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW);
}
VCAM_EXPORT int __lxstat64(int, const char *path, struct stat *st) {
    return stat_at(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW);
}
VCAM_EXPORT int __fxstat(int, int fd, struct stat *st) { return stat_at(fd, "", st, AT_EMPTY_PATH); }
VCAM_EXPORT int __fxstat64(int, int fd, struct stat *st) { return stat_at(fd, "", st, AT_EMPTY_PATH); }
VCAM_EXPORT int __fxstatat(int, int dirfd, const char *path, struct stat *st, int flags) {
    return stat_at(dirfd, path, st, flags);
}
VCAM_EXPORT int __fxstatat64(int, int dirfd, const char *path, struct stat *st, int flags) {
    return stat_at(dirfd, path, st, flags);
}

VCAM_EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *x) noexcept {
    std::string redirect;
    const int n = stat_target(dirfd, &path, flags, &redirect);
    if (n < 0) return libc::statx(dirfd, path, flags, mask, x);
    fill_statx(n, x);
    return 0;
}

VCAM_EXPORT int access(const char *path, int mode) noexcept { return access_at(AT_FDCWD, path, mode, 0); }
VCAM_EXPORT int faccessat(int dirfd, const char *path, int mode, int flags) noexcept {
    return access_at(dirfd, path, mode, flags);
}

VCAM_EXPORT ssize_t readlink(const char *path, char *buf, size_t size) noexcept {
    return readlink_at(AT_FDCWD, path, buf, size);
}
VCAM_EXPORT ssize_t readlinkat(int dirfd, const char *path, char *buf, size_t size) noexcept {
    return readlink_at(dirfd, path, buf, size);
}

VCAM_EXPORT FILE *fopen(const char *path, const char *mode) {
    static const Next<FILE *(const char *, const char *)> real("fopen");
    return real(testbed_path(path).c_str(), mode);
}
VCAM_EXPORT FILE *fopen64(const char *path, const char *mode) {
    static const Next<FILE *(const char *, const char *)> real("fopen64");
    return real(testbed_path(path).c_str(), mode);
}

VCAM_EXPORT DIR *opendir(const char *path) {
    const std::string listing = dev_listing_for(path);
    return libc::opendir(listing.empty() ? testbed_path(path).c_str() : listing.c_str());
}

}  // extern "C"
