// The C library entry points this library stands in front of. Calls on configured
// /dev/video<N> nodes (and the descriptors handed out for them) are answered by the
// emulation; everything else goes on to the next definition, normally libc's.
#include "interpose.h"
#include "libc.h"
#include "paths.h"
#include "registry.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#define VCAM_EXPORT __attribute__((visibility("default")))

namespace vcam {

std::atomic<bool> g_configured{false};
std::atomic<size_t> g_mappings{0};

Registry &registry() {
    static Registry *r = new Registry;  // never destroyed: atexit code may still close descriptors
    return *r;
}

void Registry::clear() {
    for (auto &f : files) f.second.descriptor.release();
    files.clear();
    nodes.clear();
    // Mappings stay valid for the application; they are simply no node's any more.
    mappings.clear();
    g_mappings.store(0);
    ++version;
}

void Registry::replace(int n, std::unique_ptr<Node> node) {
    for (auto it = files.begin(); it != files.end();) {
        if (it->second.node == n) {
            it->second.descriptor.release();
            it = files.erase(it);
        } else {
            ++it;
        }
    }
    nodes[n] = std::move(node);
    ++version;
}

FakeDescriptor::~FakeDescriptor() {
    if (fd_ >= 0) libc::close(fd_);
}

namespace {

template <typename Fn>
Fn next_definition(const char *name) {
    void *sym = dlsym(RTLD_NEXT, name);
    if (!sym) std::abort();  // nothing sensible can follow without the C library
    return reinterpret_cast<Fn>(sym);
}

using OpenFn = int (*)(const char *, int, ...);
using OpenatFn = int (*)(int, const char *, int, ...);

bool mode_needed(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

unsigned mode_arg(int flags, va_list ap) { return mode_needed(flags) ? va_arg(ap, unsigned) : 0; }

int fail(int err) {
    errno = err;
    return -1;
}

// Opens a configured node; returns -2 when the path is not one, so the caller passes it on.
constexpr int kNotOurs = -2;

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
    reg.files.emplace(fd, OpenFile{n, FakeDescriptor(fd)});
    node->opened();
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

int open_or_pass(const char *path, int flags, unsigned mode, const char *next_name) {
    Target t;
    if (device_target(AT_FDCWD, path, &t)) {
        int fd = open_target(AT_FDCWD, flags, mode, t);
        if (fd != kNotOurs) return fd;
    }
    return next_definition<OpenFn>(next_name)(path, flags, mode);
}

int openat_or_pass(int dirfd, const char *path, int flags, unsigned mode, const char *next_name) {
    Target t;
    if (device_target(dirfd, path, &t)) {
        int fd = open_target(dirfd, flags, mode, t);
        if (fd != kNotOurs) return fd;
    }
    return next_definition<OpenatFn>(next_name)(dirfd, path, flags, mode);
}

int close_fake(int fd, bool *ours) {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.files.find(fd);
    *ours = it != reg.files.end();
    if (!*ours) return 0;
    Node *node = reg.node(it->second.node);
    int err = node->count_call("CLOSE");
    node->closed(fd);
    node->record("CLOSE", Args{{"fd", fd}}, -err);
    // Like the kernel, the descriptor is gone even when close reports an error.
    reg.files.erase(it);
    reg.changed.notify_all();
    return err ? fail(err) : 0;
}

struct RequestName {
    uint32_t code;
    const char *name;
};

constexpr RequestName kRequests[] = {
    {uint32_t(VIDIOC_QUERYCAP), "QUERYCAP"},   {uint32_t(VIDIOC_ENUM_FMT), "ENUM_FMT"},
    {uint32_t(VIDIOC_ENUM_FRAMESIZES), "ENUM_FRAMESIZES"},
    {uint32_t(VIDIOC_S_FMT), "S_FMT"},         {uint32_t(VIDIOC_REQBUFS), "REQBUFS"},
    {uint32_t(VIDIOC_QBUF), "QBUF"},           {uint32_t(VIDIOC_DQBUF), "DQBUF"},
    {uint32_t(VIDIOC_STREAMON), "STREAMON"},   {uint32_t(VIDIOC_STREAMOFF), "STREAMOFF"},
    {uint32_t(VIDIOC_G_FMT), "G_FMT"},         {uint32_t(VIDIOC_TRY_FMT), "TRY_FMT"},
    {uint32_t(VIDIOC_QUERYBUF), "QUERYBUF"},   {uint32_t(VIDIOC_G_PARM), "G_PARM"},
    {uint32_t(VIDIOC_S_PARM), "S_PARM"},       {uint32_t(VIDIOC_ENUMINPUT), "ENUMINPUT"},
    {uint32_t(VIDIOC_G_INPUT), "G_INPUT"},     {uint32_t(VIDIOC_S_INPUT), "S_INPUT"},
    {uint32_t(VIDIOC_QUERYCTRL), "QUERYCTRL"}, {uint32_t(VIDIOC_G_CTRL), "G_CTRL"},
    {uint32_t(VIDIOC_S_CTRL), "S_CTRL"},
};

// Requests come in as unsigned long or, from callers using the int prototype, sign-extended.
const char *request_name(uint32_t code) {
    for (const RequestName &r : kRequests) {
        if (r.code == code) return r.name;
    }
    return "IOCTL";
}

int handle_request(Node &node, int fd, uint32_t code, void *arg, Args &args) {
    switch (code) {
    case uint32_t(VIDIOC_QUERYCAP): return node.querycap(static_cast<v4l2_capability *>(arg), args);
    case uint32_t(VIDIOC_ENUM_FMT): return node.enum_fmt(static_cast<v4l2_fmtdesc *>(arg), args);
    case uint32_t(VIDIOC_ENUM_FRAMESIZES):
        return node.enum_framesizes(static_cast<v4l2_frmsizeenum *>(arg), args);
    case uint32_t(VIDIOC_S_FMT): return node.s_fmt(fd, static_cast<v4l2_format *>(arg), args);
    case uint32_t(VIDIOC_REQBUFS): return node.reqbufs(fd, static_cast<v4l2_requestbuffers *>(arg), args);
    case uint32_t(VIDIOC_QBUF): return node.qbuf(fd, static_cast<v4l2_buffer *>(arg), args);
    case uint32_t(VIDIOC_DQBUF): return node.dqbuf(fd, static_cast<v4l2_buffer *>(arg), args);
    case uint32_t(VIDIOC_STREAMON): return node.streamon(fd, static_cast<const int *>(arg), args);
    case uint32_t(VIDIOC_STREAMOFF): return node.streamoff(fd, static_cast<const int *>(arg), args);
    case uint32_t(VIDIOC_G_FMT): return node.g_fmt(static_cast<v4l2_format *>(arg), args);
    case uint32_t(VIDIOC_TRY_FMT): return node.try_fmt(static_cast<v4l2_format *>(arg), args);
    case uint32_t(VIDIOC_QUERYBUF): return node.querybuf(static_cast<v4l2_buffer *>(arg), args);
    case uint32_t(VIDIOC_G_PARM): return node.g_parm(static_cast<v4l2_streamparm *>(arg), args);
    case uint32_t(VIDIOC_S_PARM): return node.s_parm(static_cast<v4l2_streamparm *>(arg), args);
    case uint32_t(VIDIOC_ENUMINPUT): return node.enuminput(static_cast<v4l2_input *>(arg), args);
    case uint32_t(VIDIOC_G_INPUT): return node.g_input(static_cast<int *>(arg), args);
    case uint32_t(VIDIOC_S_INPUT): return node.s_input(static_cast<const int *>(arg), args);
    case uint32_t(VIDIOC_QUERYCTRL): return node.queryctrl(static_cast<v4l2_queryctrl *>(arg), args);
    case uint32_t(VIDIOC_G_CTRL):
    case uint32_t(VIDIOC_S_CTRL): return node.control(static_cast<v4l2_control *>(arg), args);
    default:
        args.emplace_back("request", code);
        return -ENOTTY;
    }
}

// What a failed-by-injection request carried, so the record shows which call it was.
void describe_input(uint32_t code, const void *arg, Args &args) {
    if (code == uint32_t(VIDIOC_QBUF) || code == uint32_t(VIDIOC_QUERYBUF)) {
        auto *b = static_cast<const v4l2_buffer *>(arg);
        args.emplace_back("index", b->index);
        args.emplace_back("userptr", int64_t(b->m.userptr));
        args.emplace_back("length", b->length);
    } else if (code == uint32_t(VIDIOC_REQBUFS)) {
        args.emplace_back("count", static_cast<const v4l2_requestbuffers *>(arg)->count);
        args.emplace_back("memory", static_cast<const v4l2_requestbuffers *>(arg)->memory);
    } else if (code == uint32_t(VIDIOC_S_FMT)) {
        auto *f = static_cast<const v4l2_format *>(arg);
        args.emplace_back("width", f->fmt.pix.width);
        args.emplace_back("height", f->fmt.pix.height);
        args.emplace_back("pixelformat", f->fmt.pix.pixelformat);
    } else if (code == uint32_t(VIDIOC_ENUM_FMT)) {
        args.emplace_back("index", static_cast<const v4l2_fmtdesc *>(arg)->index);
    } else if (code == uint32_t(VIDIOC_ENUM_FRAMESIZES)) {
        args.emplace_back("index", static_cast<const v4l2_frmsizeenum *>(arg)->index);
    }
}

bool is_blocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && !(flags & O_NONBLOCK);
}

// A blocking DQBUF sleeps until a frame is due or the queue changes, as a driver would.
int wait_for_frame(Registry &reg, std::unique_lock<std::mutex> &lock, int fd, Node *&node) {
    Clock::time_point wake = node->next_fill();
    if (!node->streaming()) return -EINVAL;
    if (wake == Clock::time_point::max()) reg.changed.wait(lock);
    else reg.changed.wait_until(lock, wake);
    node = reg.node_of_fd(fd);
    return node ? 0 : -EBADF;
}

// Requests the kernel answers for any open file before a driver sees them.
bool file_level_request(unsigned long request) {
    return request == FIOCLEX || request == FIONCLEX || request == FIONBIO || request == FIOASYNC;
}

int ioctl_fake(int fd, uint32_t code, void *arg, bool *ours) {
    Registry &reg = registry();
    std::unique_lock<std::mutex> lock(reg.mutex);
    Node *node = reg.node_of_fd(fd);
    *ours = node != nullptr;
    if (!node) return 0;
    const char *name = request_name(code);
    Args args{{"fd", fd}};
    // The kernel copies the argument in (and out) before a driver sees the request.
    if (_IOC_DIR(code) != _IOC_NONE && !mapped(reinterpret_cast<unsigned long>(arg), _IOC_SIZE(code))) {
        node->record(name, std::move(args), -EFAULT);
        return fail(EFAULT);
    }
    int r = -node->count_call(name);
    if (!r) r = -node->hostile_failure(name);
    if (r) {
        describe_input(code, arg, args);
    } else {
        r = handle_request(*node, fd, code, arg, args);
        while (r == -EAGAIN && code == uint32_t(VIDIOC_DQBUF) && is_blocking(fd)) {
            r = wait_for_frame(reg, lock, fd, node);
            if (r) break;
            args.resize(1);
            r = handle_request(*node, fd, code, arg, args);
        }
    }
    if (node) node->record(name, std::move(args), r);
    if (r == 0) reg.changed.notify_all();
    return r ? fail(-r) : 0;
}

struct PollPlan {
    std::vector<size_t> fake;  // positions of our descriptors in the caller's array
    std::vector<size_t> real;
    std::set<int> nodes;
};

PollPlan plan_poll(Registry &reg, const pollfd *fds, nfds_t n) {
    PollPlan plan;
    for (nfds_t i = 0; i < n; ++i) {
        auto it = reg.files.find(fds[i].fd);
        if (it == reg.files.end()) {
            plan.real.push_back(i);
        } else {
            plan.fake.push_back(i);
            plan.nodes.insert(it->second.node);
        }
    }
    return plan;
}

// Fills in revents of every entry; returns how many have any.
int poll_once(Registry &reg, std::unique_lock<std::mutex> &lock, pollfd *fds, const PollPlan &plan) {
    const Clock::time_point now = Clock::now();
    int ready = 0;
    for (size_t i : plan.fake) {
        Node *node = reg.node_of_fd(fds[i].fd);
        short ev = node ? node->poll_events(now) : POLLNVAL;
        fds[i].revents = ev & (fds[i].events | POLLERR | POLLHUP | POLLNVAL);
        ready += fds[i].revents != 0;
    }
    if (!plan.real.empty()) {
        std::vector<pollfd> real;
        for (size_t i : plan.real) real.push_back(fds[i]);
        lock.unlock();
        libc::poll(real.data(), real.size(), 0);
        lock.lock();
        for (size_t k = 0; k < real.size(); ++k) {
            fds[plan.real[k]].revents = real[k].revents;
            ready += real[k].revents != 0;
        }
    }
    return ready;
}

Clock::time_point next_wake(Registry &reg, const PollPlan &plan, Clock::time_point deadline) {
    Clock::time_point wake = deadline;
    for (int n : plan.nodes) {
        if (Node *node = reg.node(n)) wake = std::min(wake, node->next_fill());
    }
    // Other descriptors in the same call are looked at again now and then.
    if (!plan.real.empty()) wake = std::min(wake, Clock::now() + std::chrono::milliseconds(5));
    return wake;
}

int injected_poll_error(Registry &reg, const PollPlan &plan, int timeout, const char *name) {
    int err = 0;
    for (int n : plan.nodes) {
        Node *node = reg.node(n);
        int e = node->count_call(name);
        // poll itself only fails for want of memory or a signal; a vanished device shows in
        // revents instead.
        if (!e && node->hostile_failure(name) && !node->gone()) e = EINTR;
        if (e) node->record(name, Args{{"timeout", timeout}}, -e);
        if (e && !err) err = e;
    }
    return err;
}

void record_poll(Registry &reg, const pollfd *fds, const PollPlan &plan, int timeout, int ready,
                 const char *name) {
    for (size_t i : plan.fake) {
        if (Node *node = reg.node_of_fd(fds[i].fd)) {
            node->record(name,
                         Args{{"fd", fds[i].fd}, {"events", fds[i].events}, {"timeout", timeout},
                              {"revents", fds[i].revents}},
                         ready);
        }
    }
}

// poll() as the emulation answers it; select() comes here too, under its own name.
int poll_fake(pollfd *fds, nfds_t n, int timeout, bool *ours, const char *name = "POLL") {
    Registry &reg = registry();
    std::unique_lock<std::mutex> lock(reg.mutex);
    const PollPlan plan = plan_poll(reg, fds, n);
    *ours = !plan.fake.empty();
    if (!*ours) return 0;
    if (int err = injected_poll_error(reg, plan, timeout, name)) return fail(err);
    const Clock::time_point deadline =
        timeout < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout);
    int ready = poll_once(reg, lock, fds, plan);
    while (ready == 0 && Clock::now() < deadline) {
        Clock::time_point wake = next_wake(reg, plan, deadline);
        if (wake == Clock::time_point::max()) reg.changed.wait(lock);
        else reg.changed.wait_until(lock, wake);
        ready = poll_once(reg, lock, fds, plan);
    }
    record_poll(reg, fds, plan, timeout, ready, name);
    return ready;
}

// select() in terms of poll(): which descriptors of the three sets to look at, and for what.
std::vector<pollfd> select_to_poll(int nfds, const fd_set *r, const fd_set *w, const fd_set *e) {
    std::vector<pollfd> fds;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd) {
        short events = 0;
        if (r && FD_ISSET(fd, r)) events |= POLLIN;
        if (w && FD_ISSET(fd, w)) events |= POLLOUT;
        if (e && FD_ISSET(fd, e)) events |= POLLPRI;
        if (events) fds.push_back(pollfd{fd, events, 0});
    }
    return fds;
}

// Readiness back into the sets the way the kernel's select counts it: an error or hang-up
// makes a descriptor readable (and writable), so the next read or DQBUF reports it.
int poll_to_select(const std::vector<pollfd> &fds, fd_set *r, fd_set *w, fd_set *e) {
    if (r) FD_ZERO(r);
    if (w) FD_ZERO(w);
    if (e) FD_ZERO(e);
    int count = 0;
    for (const pollfd &p : fds) {
        if (p.revents & POLLNVAL) return -EBADF;
        if ((p.events & POLLIN) && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            FD_SET(p.fd, r);
            ++count;
        }
        if ((p.events & POLLOUT) && (p.revents & (POLLOUT | POLLERR))) {
            FD_SET(p.fd, w);
            ++count;
        }
        if ((p.events & POLLPRI) && (p.revents & POLLPRI)) {
            FD_SET(p.fd, e);
            ++count;
        }
    }
    return count;
}

int timeout_ms(const timeval *t) {
    if (!t) return -1;
    const long long ms = (long long)t->tv_sec * 1000 + (t->tv_usec + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : ms < 0 ? 0 : int(ms);
}

int select_fake(int nfds, fd_set *r, fd_set *w, fd_set *e, timeval *timeout, bool *ours) {
    std::vector<pollfd> fds = select_to_poll(nfds, r, w, e);
    const Clock::time_point start = Clock::now();
    const int ms = timeout_ms(timeout);
    int ready = poll_fake(fds.data(), fds.size(), ms, ours, "SELECT");
    if (!*ours || ready < 0) return ready;
    ready = poll_to_select(fds, r, w, e);
    if (ready < 0) return fail(-ready);
    // Linux leaves the time not slept in the caller's timeval.
    if (timeout && ms >= 0) {
        auto left = std::chrono::milliseconds(ms) - (Clock::now() - start);
        long long us = std::max<long long>(0, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
        timeout->tv_sec = time_t(us / 1000000);
        timeout->tv_usec = suseconds_t(us % 1000000);
    }
    return ready;
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

void *mmap_fake(void *addr, size_t length, int prot, int flags, int fd, off_t offset, bool *ours) {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto file = reg.files.find(fd);
    *ours = file != reg.files.end();
    if (!*ours) return nullptr;
    const int n = file->second.node;
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

void unmap_recorded(void *addr, size_t length) {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    forget_mappings(reg, reinterpret_cast<uintptr_t>(addr), length, true);
}

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
        if (it == reg.files.end() || !reg.node(it->second.node)) return false;
        target->node = it->second.node;
        target->via_link = true;
        return true;
    }
    target->redirect = sysfs_path(reg, abs);
    return !target->redirect.empty();
}

int node_of_descriptor(int fd) {
    if (!g_configured.load()) return -1;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.files.find(fd);
    return it == reg.files.end() || !reg.node(it->second.node) ? -1 : it->second.node;
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

namespace libc {

int close(int fd) {
    static const auto f = next_definition<int (*)(int)>("close");
    return f(fd);
}

int openat(int dirfd, const char *path, int flags, unsigned mode) {
    static const auto f = next_definition<OpenatFn>("openat");
    return f(dirfd, path, flags, mode);
}

int open(const char *path, int flags, unsigned mode) { return openat(AT_FDCWD, path, flags, mode); }

ssize_t write(int fd, const void *buf, size_t n) {
    static const auto f = next_definition<ssize_t (*)(int, const void *, size_t)>("write");
    return f(fd, buf, n);
}

ssize_t readlink(const char *path, char *buf, size_t size) {
    static const auto f = next_definition<ssize_t (*)(const char *, char *, size_t)>("readlink");
    return f(path, buf, size);
}

DIR *opendir(const char *path) {
    static const auto f = next_definition<DIR *(*)(const char *)>("opendir");
    return f(path);
}

int ioctl(int fd, unsigned long request, void *arg) {
    static const auto f = next_definition<int (*)(int, unsigned long, ...)>("ioctl");
    return f(fd, request, arg);
}

int poll(pollfd *fds, nfds_t n, int timeout) {
    static const auto f = next_definition<int (*)(pollfd *, nfds_t, int)>("poll");
    return f(fds, n, timeout);
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    static const auto f = next_definition<void *(*)(void *, size_t, int, int, int, off_t)>("mmap");
    return f(addr, length, prot, flags, fd, offset);
}

int munmap(void *addr, size_t length) {
    static const auto f = next_definition<int (*)(void *, size_t)>("munmap");
    return f(addr, length);
}

int select(int nfds, fd_set *r, fd_set *w, fd_set *e, timeval *timeout) {
    static const auto f = next_definition<int (*)(int, fd_set *, fd_set *, fd_set *, timeval *)>("select");
    return f(nfds, r, w, e, timeout);
}

}  // namespace libc
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
        int r = poll_fake(fds, n, timeout, &ours);
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
    const int r = libc::munmap(addr, length);
    if (r == 0 && g_mappings.load() > 0) unmap_recorded(addr, length);
    return r;
}

VCAM_EXPORT int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t fdslen) {
    if (fdslen / sizeof *fds < n) std::abort();  // the caller's array is shorter than it says
    return poll(fds, n, timeout);
}

}  // extern "C"
