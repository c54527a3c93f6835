// The C library entry points this library stands in front of. Calls on configured
// /dev/video<N> nodes (and the descriptors handed out for them) are answered by the
// emulation; everything else goes on to the next definition, normally libc's.
#include "interpose.h"
#include "libc.h"
#include "paths.h"
#include "registry.h"
#include "requests.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

namespace vcam {

std::atomic<bool> g_configured{false};
std::atomic<size_t> g_mappings{0};
std::atomic<size_t> g_descriptors{0};

Registry &registry() {
    static Registry *r = new Registry;  // never destroyed: atexit code may still close descriptors
    return *r;
}

void Registry::clear() {
    for (auto &f : files) f.second.number.release();
    epolls.clear();
    files.clear();
    nodes.clear();
    // Mappings stay valid for the application; they are simply no node's any more.
    mappings.clear();
    g_mappings.store(0);
    g_descriptors.store(0);
    ++version;
}

void Registry::replace(int n, std::unique_ptr<Node> node) {
    for (auto it = files.begin(); it != files.end();) {
        if (it->second.file->node == n) {
            it->second.number.release();
            it = files.erase(it);
        } else {
            ++it;
        }
    }
    nodes[n] = std::move(node);
    ++version;
    g_descriptors.store(files.size());
}

FakeDescriptor::~FakeDescriptor() {
    if (fd_ >= 0) libc::close(fd_);
}

void Registry::notify() {
    changed.notify_all();
    const uint64_t one = 1;
    for (int fd : waiters) {
        ssize_t n = libc::write(fd, &one, sizeof one);
        (void)n;  // a full counter wakes the waiter as well
    }
}

namespace {

bool mode_needed(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

unsigned mode_arg(int flags, va_list ap) { return mode_needed(flags) ? va_arg(ap, unsigned) : 0; }

// What the open helpers answer for a path that names no node, which the caller passes on.
constexpr int kNotOurs = -2;

void forget_epoll_entries(Registry &reg, int fd);
void count_descriptors(Registry &reg);

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

// Requests the kernel answers for any open file before a driver sees them.
bool file_level_request(unsigned long request) {
    return request == FIOCLEX || request == FIONCLEX || request == FIONBIO || request == FIOASYNC;
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
            plan.nodes.insert(it->second.file->node);
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

Clock::time_point next_wake(Registry &reg, const std::set<int> &nodes, Clock::time_point deadline) {
    Clock::time_point wake = deadline;
    for (int n : nodes) {
        if (Node *node = reg.node(n)) wake = std::min(wake, node->next_fill());
    }
    return wake;
}

// Counts forks in this process's line: a child makes its own waiter eventfds rather than
// share its parent's, where one process could take the other's wake-up.
std::atomic<unsigned> g_forks{0};

// The eventfd of this thread that Registry::notify() writes while the thread sleeps.
struct WaiterFd {
    int fd = -1;
    unsigned fork = 0;
    ~WaiterFd() {
        if (fd >= 0) libc::close(fd);
    }
};

int waiter_fd() {
    thread_local WaiterFd w;
    if (w.fd >= 0 && w.fork != g_forks.load()) {
        libc::close(w.fd);  // the parent's, inherited
        w.fd = -1;
    }
    if (w.fd < 0) {
        w.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        w.fork = g_forks.load();
    }
    return w.fd;
}

// Sleeps in the kernel, without the lock, until `wake`, until one of `also` is ready, until
// the registry changes, or until a signal comes (-EINTR, as poll answers a handled signal).
// `mask`: the signal mask to sleep with (ppoll, pselect, epoll_pwait), or null.
int sleep_until(Registry &reg, std::unique_lock<std::mutex> &lock, Clock::time_point wake,
                std::vector<pollfd> also, const sigset_t *mask) {
    const int w = waiter_fd();
    if (w >= 0) also.push_back(pollfd{w, POLLIN, 0});
    timespec ts{}, *tsp = nullptr;
    if (wake != Clock::time_point::max()) {
        const auto left = std::max(Clock::duration::zero(), wake - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        ts = timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
        tsp = &ts;
    }
    if (w >= 0) reg.waiters.insert(w);
    lock.unlock();
    const int r = libc::ppoll(also.data(), also.size(), tsp, mask);
    const int err = r < 0 ? errno : 0;
    uint64_t count;
    if (w >= 0 && libc::read(w, &count, sizeof count) < 0) count = 0;  // empty: nothing to take
    lock.lock();
    if (w >= 0) reg.waiters.erase(w);
    return err == EINTR ? -EINTR : 0;
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

Clock::time_point deadline_after(int timeout_ms) {
    return timeout_ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout_ms);
}

Clock::time_point deadline_after(const timespec *t) {
    if (!t) return Clock::time_point::max();
    return Clock::now() + std::chrono::seconds(t->tv_sec) + std::chrono::nanoseconds(t->tv_nsec);
}

// poll() as the emulation answers it; ppoll, select and pselect come here too, under their
// own names. `timeout` (ms) is what the record shows.
int poll_fake(pollfd *fds, nfds_t n, Clock::time_point deadline, int timeout, const sigset_t *mask,
              bool *ours, const char *name) {
    Registry &reg = registry();
    std::unique_lock<std::mutex> lock(reg.mutex);
    const PollPlan plan = plan_poll(reg, fds, n);
    *ours = !plan.fake.empty();
    if (!*ours) return 0;
    if (int err = injected_poll_error(reg, plan, timeout, name)) return fail(err);
    int ready = poll_once(reg, lock, fds, plan);
    while (ready == 0 && Clock::now() < deadline) {
        std::vector<pollfd> real;
        for (size_t i : plan.real) real.push_back(pollfd{fds[i].fd, fds[i].events, 0});
        if (sleep_until(reg, lock, next_wake(reg, plan.nodes, deadline), std::move(real), mask) == -EINTR) {
            record_poll(reg, fds, plan, timeout, -EINTR, name);
            return fail(EINTR);
        }
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
    int ready = poll_fake(fds.data(), fds.size(), deadline_after(ms), ms, nullptr, ours, "SELECT");
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

int pselect_fake(int nfds, fd_set *r, fd_set *w, fd_set *e, const timespec *timeout, const sigset_t *mask,
                 bool *ours) {
    std::vector<pollfd> fds = select_to_poll(nfds, r, w, e);
    const int ms = timeout ? int(std::min<long long>(INT_MAX, timeout->tv_sec * 1000LL + timeout->tv_nsec / 1000000)) : -1;
    int ready = poll_fake(fds.data(), fds.size(), deadline_after(timeout), ms, mask, ours, "SELECT");
    if (!*ours || ready < 0) return ready;
    ready = poll_to_select(fds, r, w, e);
    return ready < 0 ? fail(-ready) : ready;
}

// epoll: node descriptors are kept in the library's own table for each epoll descriptor, and
// a wait on one looks at them beside what the kernel's epoll reports for the rest.
int epoll_ctl_fake(int epfd, int op, int fd, epoll_event *event, bool *ours) {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    *ours = reg.files.count(fd) != 0;
    if (!*ours) return 0;
    if (epfd == fd) return fail(EINVAL);
    std::map<int, EpollEntry> &entries = reg.epolls[epfd];
    auto it = entries.find(fd);
    if (op == EPOLL_CTL_DEL) {
        if (it == entries.end()) return fail(ENOENT);
        entries.erase(it);
        return 0;
    }
    if (op != EPOLL_CTL_ADD && op != EPOLL_CTL_MOD) return fail(EINVAL);
    if (!event) return fail(EFAULT);
    if (op == EPOLL_CTL_ADD && it != entries.end()) return fail(EEXIST);
    if (op == EPOLL_CTL_MOD && it == entries.end()) return fail(ENOENT);
    entries[fd] = EpollEntry{*event, false};
    return 0;
}

int epoll_ready(Registry &reg, std::map<int, EpollEntry> &entries, epoll_event *events, int max,
                std::set<int> *nodes) {
    const Clock::time_point now = Clock::now();
    int k = 0;
    for (auto &entry : entries) {
        Node *node = reg.node_of_fd(entry.first);
        if (!node || entry.second.disarmed) continue;
        nodes->insert(reg.files.at(entry.first).file->node);
        const uint32_t wanted = entry.second.event.events;
        const uint32_t got = uint32_t(node->poll_events(now)) & (wanted | EPOLLERR | EPOLLHUP);
        if (!got || k == max) continue;
        events[k++] = epoll_event{got, entry.second.event.data};
        if (wanted & EPOLLONESHOT) entry.second.disarmed = true;
    }
    return k;
}

int epoll_wait_fake(int epfd, epoll_event *events, int max, Clock::time_point deadline, const sigset_t *mask,
                    bool *ours) {
    Registry &reg = registry();
    std::unique_lock<std::mutex> lock(reg.mutex);
    *ours = reg.epolls.count(epfd) && !reg.epolls[epfd].empty();
    if (!*ours) return 0;
    if (max <= 0) return fail(EINVAL);
    for (;;) {
        std::set<int> nodes;
        int k = epoll_ready(reg, reg.epolls[epfd], events, max, &nodes);
        if (k < max) {
            lock.unlock();
            const int r = libc::epoll_wait(epfd, events + k, max - k, 0);
            const int err = errno;
            lock.lock();
            if (r < 0 && k == 0) return fail(err);
            if (r > 0) k += r;
        }
        if (k > 0 || Clock::now() >= deadline) return k;
        if (sleep_until(reg, lock, next_wake(reg, nodes, deadline), {pollfd{epfd, POLLIN, 0}}, mask) == -EINTR)
            return fail(EINTR);
    }
}

// A descriptor that is closed (or replaced by dup2) leaves every epoll set; an epoll
// descriptor that is closed takes its set with it.
void forget_epoll_entries(Registry &reg, int fd) {
    if (reg.epolls.empty()) return;
    reg.epolls.erase(fd);
    for (auto &set : reg.epolls) set.second.erase(fd);
}

void count_descriptors(Registry &reg) { g_descriptors.store(reg.files.size()); }

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

// dup, dup2, dup3 and fcntl(F_DUPFD*): `make` makes the new descriptor with the C library;
// when the old one is a node's, the new one is another descriptor of the same open file.
template <typename Make>
int dup_fake(int oldfd, int newfd, Make &&make, bool *ours) {
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

// A fork() while another thread holds the lock would leave the child a lock nobody can
// release: the fork waits for it, and both processes carry on with their own registry.
__attribute__((constructor)) void guard_fork() {
    pthread_atfork([] { registry().mutex.lock(); }, [] { registry().mutex.unlock(); },
                   [] {
                       Registry &reg = registry();
                       reg.waiters.clear();  // the threads that slept here are the parent's
                       g_forks.fetch_add(1);
                       reg.mutex.unlock();
                   });
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
