// The descriptor layer: opening a node hands out a real descriptor number (an eventfd) for
// an open file of it; close, dup and fork follow the kernel's rules for open files; mmap and
// munmap of node buffers are recorded; paths and descriptors are told apart from the rest.
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

namespace vcam {

namespace {

// What the open helpers answer for a path that names no node, which the caller passes on.
constexpr int kNotOurs = -2;

void count_descriptors(Registry &reg) { g_descriptors.store(reg.files.size()); }

int open_node(Registry &reg, int n, int flags) {
    Node *node = reg.node(n);
    Args args{{"flags", flags}};
    int err = node->count_call("OPEN");
    if (!err) err = node->config().open_errno;
    if (!err) err = node->hostile_failure("OPEN");
    if (err) {
        node->record("OPEN", args, -err);
        return fail(err);
    }
    int fd = eventfd(0, ((flags & O_NONBLOCK) ? EFD_NONBLOCK : 0) | ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0));
    if (fd < 0) {
        err = errno;
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

// Opens what `path` names when it is a node (or a file of the sysfs testbed); kNotOurs for
// any other path, which the caller passes on unchanged.
int open_target(int dirfd, int flags, unsigned mode, const Target &t) {
    if (!t.redirect.empty()) return libc::openat(dirfd, t.redirect.c_str(), flags, mode);
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (!reg.node(t.node)) return kNotOurs;  // removed since device_target looked
    return open_node(reg, t.node, flags);
}

}  // namespace

int open_or_pass(const char *path, int flags, unsigned mode, const char *next_name) {
    Target t;
    if (device_target(AT_FDCWD, path, &t)) {
        int fd = open_target(AT_FDCWD, flags, mode, t);
        if (fd != kNotOurs) return fd;
    }
    return Next<int(const char *, int, ...)>(next_name)(path, flags, mode);
}

int openat_or_pass(int dirfd, const char *path, int flags, unsigned mode, const char *next_name) {
    Target t;
    if (device_target(dirfd, path, &t)) {
        int fd = open_target(dirfd, flags, mode, t);
        if (fd != kNotOurs) return fd;
    }
    return Next<int(int, const char *, int, ...)>(next_name)(dirfd, path, flags, mode);
}

int close_fake(int fd, bool *ours) {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    forget_epoll_entries(reg, fd);  // an epoll descriptor's set goes with it
    auto it = reg.files.find(fd);
    *ours = it != reg.files.end();
    if (!*ours) return 0;
    const std::shared_ptr<OpenFile> file = it->second.file;
    Node *node = reg.node(file->node);
    int err = node->count_call("CLOSE");
    // Like the kernel, the descriptor is gone even when close reports an error, and the
    // driver hears of it only when the last descriptor of the open file goes.
    reg.files.erase(it);
    forget_epoll_entries(reg, fd);
    count_descriptors(reg);
    if (file.use_count() == 1) node->closed(file->id);
    node->record("CLOSE", Args{{"fd", fd}}, -err);
    reg.notify();
    return err ? fail(err) : 0;
}

namespace {

// Gives `fd` up as a descriptor of its node without closing the number (dup2 has put another
// file there); the node hears of it when this was its open file's last descriptor.
void drop_descriptor(Registry &reg, int fd) {
    auto it = reg.files.find(fd);
    const std::shared_ptr<OpenFile> file = it->second.file;
    it->second.number.release();
    reg.files.erase(it);
    forget_epoll_entries(reg, fd);
    count_descriptors(reg);
    if (file.use_count() == 1) {
        if (Node *node = reg.node(file->node)) node->closed(file->id);
    }
    reg.notify();
}

}  // namespace

// dup, dup2, dup3 and fcntl(F_DUPFD*): `make` makes the new descriptor with the C library;
// when the old one is a node's, the new one is another descriptor of the same open file.
int dup_fake(int oldfd, int newfd, const std::function<int()> &make, bool *ours) {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto old = reg.files.find(oldfd);
    const bool replaces = newfd >= 0 && newfd != oldfd && reg.files.count(newfd);
    *ours = old != reg.files.end() || replaces;
    if (!*ours) return 0;
    const int fd = make();
    if (fd < 0 || fd == oldfd) return fd;
    if (replaces) drop_descriptor(reg, fd);
    old = reg.files.find(oldfd);
    if (old != reg.files.end()) {
        reg.files.emplace(fd, Descriptor{old->second.file, FakeDescriptor(fd)});
        count_descriptors(reg);
    }
    return fd;
}

namespace {

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

}  // namespace

void *mmap_fake(void *addr, size_t length, int prot, int flags, int fd, off_t offset, bool *ours) {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto file = reg.files.find(fd);
    *ours = file != reg.files.end();
    if (!*ours) return nullptr;
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

int munmap_locked(void *addr, size_t length) {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    const int r = libc::munmap(addr, length);
    if (r == 0) forget_mappings(reg, reinterpret_cast<uintptr_t>(addr), length, true);
    return r;
}

void *mremap_locked(void *old, size_t old_size, size_t new_size, int flags, void *target) {
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
