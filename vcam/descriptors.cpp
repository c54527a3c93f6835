// The descriptor layer and its entry points: opening a node hands out a real descriptor number
// (an eventfd) for an open file of it; close, dup and fork follow the kernel's rules for open
// files; mmap and munmap of node buffers are recorded; paths and descriptors are told apart
// from the rest, which go on to the C library.
#include "interpose.h"
#include "libc.h"
#include "paths.h"
#include "registry.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>

namespace vcam {
namespace {

void count_descriptors(Registry &reg) { g_descriptors.store(reg.files.size()); }

int open_node(Registry &reg, int n, int flags) {
    Node *node = reg.node(n);
    Args args{{"flags", flags}};
    int err = node->count_call("OPEN");
    if (!err) err = node->config().open_errno;
    if (!err) err = node->hostile_failure("OPEN");
    const int fd =
        err ? -1 : eventfd(0, ((flags & O_NONBLOCK) ? EFD_NONBLOCK : 0) | ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0));
    if (fd < 0) {
        if (!err) err = errno;
        node->record("OPEN", args, -err);
        return fail(err);
    }
    static int files_opened = 0;  // callers hold the lock
    auto file = std::make_shared<OpenFile>(OpenFile{n, ++files_opened});
    reg.files.emplace(fd, Descriptor{file, FakeDescriptor(fd)});
    count_descriptors(reg);
    node->opened(file->id);
    args.emplace_back("fd", fd);
    node->record("OPEN", args, 0);
    return fd;
}

// The mode argument, there only when the flags create a file.
#define VCAM_MODE(flags) (((flags) & O_CREAT) || ((flags) & O_TMPFILE) == O_TMPFILE ? VCAM_ARG(flags, unsigned) : 0u)

// Opens a node or a file of the sysfs testbed; any other path goes on to the C library's
// function `next`, of the open or the openat family (which takes `dirfd`).
int open_or_pass(const char *next, int dirfd, const char *path, int flags, unsigned mode) {
    Target t;
    if (device_target(dirfd, path, &t)) {
        if (!t.redirect.empty()) return libc::openat(dirfd, t.redirect.c_str(), flags, mode);
        Registry &reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (reg.node(t.node)) return open_node(reg, t.node, flags);  // else removed since device_target looked
    }
    if (std::strncmp(next, "openat", 6) != 0) return Next<int(const char *, int, ...)>(next)(path, flags, mode);
    return Next<int(int, const char *, int, ...)>(next)(dirfd, path, flags, mode);
}

// Gives `fd` up as a descriptor of its node, closing the number or, when dup2 has put another
// file there, leaving it; the node hears of it when this was its open file's last descriptor.
void drop_descriptor(Registry &reg, int fd, bool keep_number) {
    auto it = reg.files.find(fd);
    const std::shared_ptr<OpenFile> file = it->second.file;
    if (keep_number) it->second.number.release();
    reg.files.erase(it);
    forget_epoll_entries(reg, fd);
    count_descriptors(reg);
    Node *node = reg.node(file->node);
    if (node && file.use_count() == 1) node->closed(file->id);
    reg.notify();
}

std::optional<int> close_node(int fd) {
    if (!g_configured.load()) return std::nullopt;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    forget_epoll_entries(reg, fd);  // an epoll descriptor's set goes with it
    Node *node = reg.node_of_fd(fd);
    if (!node) return std::nullopt;
    // Like the kernel, the descriptor is gone even when close reports an error.
    const int err = node->count_call("CLOSE");
    drop_descriptor(reg, fd, false);
    node->record("CLOSE", Args{{"fd", fd}}, -err);
    return err ? fail(err) : 0;
}

// dup, dup2, dup3 and fcntl(F_DUPFD*): `make` makes the new descriptor with the C library;
// when the old one is a node's, the new one is another descriptor of the same open file.
template <typename Make>
int dup_or_pass(int oldfd, int newfd, Make &&make) {
    if (!g_configured.load()) return make();
    Registry &reg = registry();
    std::unique_lock<std::mutex> lock(reg.mutex);
    const bool replaces = newfd >= 0 && newfd != oldfd && reg.files.count(newfd);
    if (!reg.files.count(oldfd) && !replaces) {
        lock.unlock();
        return make();
    }
    const int fd = make();
    if (fd < 0 || fd == oldfd) return fd;
    if (replaces) drop_descriptor(reg, fd, true);
    auto old = reg.files.find(oldfd);
    if (old != reg.files.end()) {
        reg.files.emplace(fd, Descriptor{old->second.file, FakeDescriptor(fd)});
        count_descriptors(reg);
    }
    return fd;
}

// Every argument of fcntl fits a pointer-sized register, which is how the C library reads it.
int fcntl_with(bool wide, int fd, int cmd, void *arg) {
    static const Next<int(int, int, ...)> plain("fcntl"), wide64("fcntl64");
    const auto &f = wide && wide64.available() ? wide64 : plain;
    if (cmd != F_DUPFD && cmd != F_DUPFD_CLOEXEC) return f(fd, cmd, arg);
    return dup_or_pass(fd, -1, [&] { return f(fd, cmd, arg); });
}

// Drops the records of node buffers mapped anywhere in [addr, addr + length): a mapping counts
// as gone once any part of it is unmapped or mapped over.
void forget_mappings(Registry &reg, uintptr_t addr, size_t length, bool log) {
    const uintptr_t page = page_size();
    const uintptr_t end = addr + (length + page - 1) / page * page;
    auto it = reg.mappings.upper_bound(addr);
    if (it != reg.mappings.begin()) --it;
    while (it != reg.mappings.end() && it->first < end) {
        const Mapping &m = it->second;
        if (it->first + m.length <= addr) {
            ++it;
            continue;
        }
        if (Node *node = reg.node(m.node)) {
            node->unmapped(m.generation, m.index);
            if (log) node->record("MUNMAP", Args{{"index", m.index}, {"length", int64_t(m.length)}}, 0);
        }
        it = reg.mappings.erase(it);
        g_mappings.fetch_sub(1);
    }
}

std::optional<void *> mmap_node(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto file = reg.files.find(fd);
    if (file == reg.files.end()) return std::nullopt;
    const int n = file->second.file->node;
    Node *node = reg.node(n);
    Args args{{"fd", fd}};
    void *p = nullptr;
    uint32_t index = 0;
    int r = -node->count_call("MMAP");
    if (!r) r = node->map_buffer(addr, length, prot, flags, offset, &p, &index, args);
    node->record("MMAP", std::move(args), r);
    if (r) {
        errno = -r;
        return MAP_FAILED;
    }
    forget_mappings(reg, reinterpret_cast<uintptr_t>(p), length, false);
    reg.mappings[reinterpret_cast<uintptr_t>(p)] = Mapping{n, node->generation(), index, length};
    g_mappings.fetch_add(1);
    return p;
}

// While frames may be copied into user memory or node buffers are mapped, unmapping takes the
// lock: no frame is copied into memory on its way out, and the records of mappings follow.
bool unmapping_watched() { return g_user_allocations.load() > 0 || g_mappings.load() > 0; }

}  // namespace

bool device_target(int dirfd, const char *path, Target *target) {
    if (!g_configured.load() || !may_name_device(path)) return false;
    const std::string abs = absolute_path(dirfd, path);
    if (abs.empty()) return false;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    int n = node_number(abs);
    if (n >= 0 && reg.node(n)) {
        target->node = n;
        return true;
    }
    const int k = proc_fd_number(abs);
    if (k >= 0) {
        auto it = reg.files.find(k);
        if (it == reg.files.end() || !reg.node(it->second.file->node)) return false;
        target->node = it->second.file->node;
        target->via_link = true;
        return true;
    }
    target->redirect = sysfs_path(reg, abs);
    return !target->redirect.empty();
}

std::string dev_listing_for(const char *path) {
    if (!g_configured.load() || !may_be_dev(path) || absolute_path(AT_FDCWD, path) != "/dev") return std::string();
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.nodes.empty() ? std::string() : dev_listing(reg);
}

int node_of_descriptor(int fd) {
    if (!g_configured.load()) return -1;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.files.find(fd);
    return it == reg.files.end() || !reg.node(it->second.file->node) ? -1 : it->second.file->node;
}

void node_stat(int n, struct stat *st) {
    static const timespec loaded = [] {
        timespec t{};
        clock_gettime(CLOCK_REALTIME, &t);
        return t;
    }();
    std::memset(st, 0, sizeof *st);
    st->st_dev = makedev(0, 5);  // devtmpfs
    st->st_ino = 1000 + ino_t(n);
    st->st_mode = S_IFCHR | 0666;
    st->st_nlink = 1;
    st->st_rdev = makedev(kVideoMajor, unsigned(n));
    st->st_blksize = 4096;
    st->st_atim = st->st_mtim = st->st_ctim = loaded;
}

}  // namespace vcam

using namespace vcam;

extern "C" {

VCAM_EXPORT int open(const char *path, int flags, ...) {
    return open_or_pass("open", AT_FDCWD, path, flags, VCAM_MODE(flags));
}
VCAM_EXPORT int open64(const char *path, int flags, ...) {
    return open_or_pass("open64", AT_FDCWD, path, flags, VCAM_MODE(flags));
}
VCAM_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    return open_or_pass("openat", dirfd, path, flags, VCAM_MODE(flags));
}
VCAM_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    return open_or_pass("openat64", dirfd, path, flags, VCAM_MODE(flags));
}
VCAM_EXPORT int __open_2(const char *path, int flags) { return open_or_pass("open", AT_FDCWD, path, flags, 0); }
VCAM_EXPORT int __open64_2(const char *path, int flags) { return open_or_pass("open64", AT_FDCWD, path, flags, 0); }
VCAM_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    return open_or_pass("openat", dirfd, path, flags, 0);
}
VCAM_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
    return open_or_pass("openat64", dirfd, path, flags, 0);
}

VCAM_EXPORT int close(int fd) {
    if (auto r = close_node(fd)) return *r;
    return libc::close(fd);
}

VCAM_EXPORT int dup(int fd) noexcept {
    static const Next<int(int)> f("dup");
    return dup_or_pass(fd, -1, [&] { return f(fd); });
}
VCAM_EXPORT int dup2(int fd, int newfd) noexcept {
    static const Next<int(int, int)> f("dup2");
    return dup_or_pass(fd, newfd, [&] { return f(fd, newfd); });
}
VCAM_EXPORT int dup3(int fd, int newfd, int flags) noexcept {
    static const Next<int(int, int, int)> f("dup3");
    return dup_or_pass(fd, newfd, [&] { return f(fd, newfd, flags); });
}
VCAM_EXPORT int fcntl(int fd, int cmd, ...) { return fcntl_with(false, fd, cmd, VCAM_ARG(cmd, void *)); }
VCAM_EXPORT int fcntl64(int fd, int cmd, ...) { return fcntl_with(true, fd, cmd, VCAM_ARG(cmd, void *)); }

// Anonymous memory and other files go straight on, without the lock: allocators map a lot.
VCAM_EXPORT void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (g_configured.load() && fd >= 0 && !(flags & MAP_ANONYMOUS)) {
        if (auto p = mmap_node(addr, length, prot, flags, fd, offset)) return *p;
    }
    return libc::mmap(addr, length, prot, flags, fd, offset);
}
VCAM_EXPORT void *mmap64(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return mmap(addr, length, prot, flags, fd, offset);
}

VCAM_EXPORT int munmap(void *addr, size_t length) {
    if (!unmapping_watched()) return libc::munmap(addr, length);
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    const int r = libc::munmap(addr, length);
    if (r == 0) forget_mappings(reg, reinterpret_cast<uintptr_t>(addr), length, true);
    return r;
}

VCAM_EXPORT void *mremap(void *old, size_t old_size, size_t new_size, int flags, ...) {
    void *target = (flags & MREMAP_FIXED) ? VCAM_ARG(flags, void *) : nullptr;
    if (!unmapping_watched()) return libc::mremap(old, old_size, new_size, flags, target);
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    void *p = libc::mremap(old, old_size, new_size, flags, target);
    const uintptr_t from = reinterpret_cast<uintptr_t>(old), to = reinterpret_cast<uintptr_t>(p);
    if (p != MAP_FAILED && p != old) {
        forget_mappings(reg, from, old_size, false);
        forget_mappings(reg, to, new_size, false);
    } else if (p != MAP_FAILED && new_size < old_size) {
        forget_mappings(reg, from + new_size, old_size - new_size, false);
    }
    return p;
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

}  // extern "C"
