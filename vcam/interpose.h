// What the entry points (interpose.cpp, files.cpp) call in the layers that answer for nodes.
// A call with `bool *ours` answers for a node's descriptor or path and sets *ours; with
// *ours false the entry point passes the call on. Results and errno are the C library's.
#pragma once

#include "camera.h"

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/stat.h>

#include <functional>
#include <string>

namespace vcam {

struct Registry;

// What a path the application names stands for.
struct Target {
    int node = -1;         // a configured node (its path, or /proc/self/fd/K of a descriptor of it)
    bool via_link = false; // named through /proc/self/fd/K, a link to the node
    std::string redirect;  // a sysfs path: the testbed file that stands for it
};

// descriptors.cpp

// False for every path that is neither (the call then goes on to the C library unchanged).
bool device_target(int dirfd, const char *path, Target *target);
// For a path naming /dev: the directory to list in its place, which shows the nodes; else
// empty.
std::string dev_listing_for(const char *path);
// The node a descriptor is open on, or -1 for any other descriptor.
int node_of_descriptor(int fd);
// What stat() answers for node n: a character device 81:n.
void node_stat(int n, struct stat *st);

// open() and openat() of a node or testbed path; other paths go on to `next_name`.
int open_or_pass(const char *path, int flags, unsigned mode, const char *next_name);
int openat_or_pass(int dirfd, const char *path, int flags, unsigned mode, const char *next_name);
int close_fake(int fd, bool *ours);
// `make` makes the new descriptor with the C library (dup, dup2, dup3, fcntl F_DUPFD).
int dup_fake(int oldfd, int newfd, const std::function<int()> &make, bool *ours);
void *mmap_fake(void *addr, size_t length, int prot, int flags, int fd, off_t offset, bool *ours);
bool unmapping_watched();
int munmap_locked(void *addr, size_t length);
void *mremap_locked(void *old, size_t old_size, size_t new_size, int flags, void *target);

// wait.cpp

Clock::time_point deadline_after(int timeout_ms);
Clock::time_point deadline_after(const timespec *t);
// `name` is the request records and faults see (POLL, SELECT); `timeout` (ms) what they show.
int poll_fake(pollfd *fds, nfds_t n, Clock::time_point deadline, int timeout, const sigset_t *mask, bool *ours,
              const char *name);
int select_fake(int nfds, fd_set *r, fd_set *w, fd_set *e, timeval *timeout, bool *ours);
int pselect_fake(int nfds, fd_set *r, fd_set *w, fd_set *e, const timespec *timeout, const sigset_t *mask,
                 bool *ours);
int epoll_ctl_fake(int epfd, int op, int fd, epoll_event *event, bool *ours);
int epoll_wait_fake(int epfd, epoll_event *events, int max, Clock::time_point deadline, const sigset_t *mask,
                    bool *ours);
// A closed descriptor leaves every epoll set; a closed epoll descriptor takes its set along.
void forget_epoll_entries(Registry &reg, int fd);

}  // namespace vcam
