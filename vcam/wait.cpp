// The poll, ppoll, select, pselect and epoll entry points over node descriptors and any others
// in the same call: node readiness from the frame clock, the rest from the kernel, and a sleep
// in ppoll that a queue change, a frame falling due or another descriptor ends.
#include "interpose.h"
#include "libc.h"
#include "registry.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace vcam {

namespace {

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
        short ev = node ? node->poll_events(now, reg.file_of_fd(fds[i].fd)->id, fds[i].events) : POLLNVAL;
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

// poll() as the emulation answers it (nullopt: no node descriptor among `fds`); ppoll, select
// and pselect come here too, under their own names. The timeout: `ts` where there is one (ppoll,
// pselect), else `ms`.
std::optional<int> poll_nodes(pollfd *fds, nfds_t n, int ms, const timespec *ts, const sigset_t *mask,
                              const char *name) {
    if (!g_configured.load()) return std::nullopt;
    // The records show milliseconds.
    if (ts) ms = int(std::min<long long>(INT_MAX, ts->tv_sec * 1000LL + ts->tv_nsec / 1000000));
    const Clock::time_point deadline =
        ts ? Clock::now() + std::chrono::seconds(ts->tv_sec) + std::chrono::nanoseconds(ts->tv_nsec)
           : deadline_after(ms);
    Registry &reg = registry();
    std::unique_lock<std::mutex> lock(reg.mutex);
    const PollPlan plan = plan_poll(reg, fds, n);
    if (plan.fake.empty()) return std::nullopt;
    if (int err = injected_poll_error(reg, plan, ms, name)) return fail(err);
    int ready = poll_once(reg, lock, fds, plan);
    while (ready == 0 && Clock::now() < deadline) {
        std::vector<pollfd> real;
        for (size_t i : plan.real) real.push_back(pollfd{fds[i].fd, fds[i].events, 0});
        if (sleep_until(reg, lock, next_wake(reg, plan.nodes, deadline), std::move(real), mask) == -EINTR) {
            record_poll(reg, fds, plan, ms, -EINTR, name);
            return fail(EINTR);
        }
        ready = poll_once(reg, lock, fds, plan);
    }
    record_poll(reg, fds, plan, ms, ready, name);
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

int timeval_ms(const timeval *t) {
    if (!t) return -1;
    const long long ms = (long long)t->tv_sec * 1000 + (t->tv_usec + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : ms < 0 ? 0 : int(ms);
}

// select() (timeout `tv`) and pselect() (timeout `ts`, signal mask `mask`) over node
// descriptors; nullopt when there is none in the sets.
std::optional<int> select_nodes(int nfds, fd_set *r, fd_set *w, fd_set *e, timeval *tv, const timespec *ts,
                                const sigset_t *mask) {
    if (!g_configured.load()) return std::nullopt;
    const Clock::time_point start = Clock::now();
    const int ms = timeval_ms(tv);
    std::vector<pollfd> fds = select_to_poll(nfds, r, w, e);
    std::optional<int> ready = poll_nodes(fds.data(), fds.size(), ms, ts, mask, "SELECT");
    if (!ready || *ready < 0) return ready;
    ready = poll_to_select(fds, r, w, e);
    if (*ready < 0) return fail(-*ready);
    // Linux leaves the time not slept in the caller's timeval.
    if (tv) {
        auto left = std::chrono::milliseconds(ms) - (Clock::now() - start);
        long long us = std::max<long long>(0, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
        tv->tv_sec = time_t(us / 1000000);
        tv->tv_usec = suseconds_t(us % 1000000);
    }
    return ready;
}

// epoll: node descriptors are kept in the library's own table for each epoll descriptor, and
// a wait on one looks at them beside what the kernel's epoll reports for the rest.
std::optional<int> epoll_ctl_nodes(int epfd, int op, int fd, epoll_event *event) {
    if (!g_configured.load()) return std::nullopt;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (!reg.files.count(fd)) return std::nullopt;
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
        const uint32_t got =
            uint32_t(node->poll_events(now, reg.file_of_fd(entry.first)->id, short(wanted))) & (wanted | EPOLLERR | EPOLLHUP);
        if (!got || k == max) continue;
        events[k++] = epoll_event{got, entry.second.event.data};
        if (wanted & EPOLLONESHOT) entry.second.disarmed = true;
    }
    return k;
}

std::optional<int> epoll_wait_nodes(int epfd, epoll_event *events, int max, int timeout, const sigset_t *mask) {
    if (!g_configured.load()) return std::nullopt;
    const Clock::time_point deadline = deadline_after(timeout);
    Registry &reg = registry();
    std::unique_lock<std::mutex> lock(reg.mutex);
    if (!reg.epolls.count(epfd) || reg.epolls[epfd].empty()) return std::nullopt;
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

}  // namespace

// A descriptor that is closed (or replaced by dup2) leaves every epoll set; an epoll
// descriptor that is closed takes its set with it.
void forget_epoll_entries(Registry &reg, int fd) {
    if (reg.epolls.empty()) return;
    reg.epolls.erase(fd);
    for (auto &set : reg.epolls) set.second.erase(fd);
}

}  // namespace vcam

using namespace vcam;

extern "C" {

VCAM_EXPORT int poll(struct pollfd *fds, nfds_t n, int timeout) {
    if (auto r = poll_nodes(fds, n, timeout, nullptr, nullptr, "POLL")) return *r;
    return libc::poll(fds, n, timeout);
}

VCAM_EXPORT int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t fdslen) {
    if (fdslen / sizeof *fds < n) std::abort();  // the caller's array is shorter than it says
    return poll(fds, n, timeout);
}

VCAM_EXPORT int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask) {
    if (auto r = poll_nodes(fds, n, -1, timeout, mask, "POLL")) return *r;
    return libc::ppoll(fds, n, timeout, mask);
}

VCAM_EXPORT int __ppoll_chk(struct pollfd *fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask,
                            size_t fdslen) {
    if (fdslen / sizeof *fds < n) std::abort();
    return ppoll(fds, n, timeout, mask);
}

VCAM_EXPORT int select(int nfds, fd_set *r, fd_set *w, fd_set *e, struct timeval *timeout) {
    if (auto ready = select_nodes(nfds, r, w, e, timeout, nullptr, nullptr)) return *ready;
    static const Next<int(int, fd_set *, fd_set *, fd_set *, timeval *)> f("select");
    return f(nfds, r, w, e, timeout);
}

VCAM_EXPORT int pselect(int nfds, fd_set *r, fd_set *w, fd_set *e, const struct timespec *timeout,
                        const sigset_t *mask) {
    if (auto ready = select_nodes(nfds, r, w, e, nullptr, timeout, mask)) return *ready;
    static const Next<int(int, fd_set *, fd_set *, fd_set *, const timespec *, const sigset_t *)> f("pselect");
    return f(nfds, r, w, e, timeout, mask);
}

VCAM_EXPORT int epoll_ctl(int epfd, int op, int fd, struct epoll_event *event) noexcept {
    if (auto r = epoll_ctl_nodes(epfd, op, fd, event)) return *r;
    static const Next<int(int, int, int, epoll_event *)> f("epoll_ctl");
    return f(epfd, op, fd, event);
}

VCAM_EXPORT int epoll_pwait(int epfd, struct epoll_event *events, int max, int timeout, const sigset_t *mask) {
    if (auto r = epoll_wait_nodes(epfd, events, max, timeout, mask)) return *r;
    static const Next<int(int, epoll_event *, int, int, const sigset_t *)> f("epoll_pwait");
    return f(epfd, events, max, timeout, mask);
}

VCAM_EXPORT int epoll_wait(int epfd, struct epoll_event *events, int max, int timeout) {
    if (auto r = epoll_wait_nodes(epfd, events, max, timeout, nullptr)) return *r;
    return libc::epoll_wait(epfd, events, max, timeout);
}

}  // extern "C"
