// What the entry points (interpose.cpp, descriptors.cpp, wait.cpp, files.cpp) share: which
// paths and descriptors are a node's, and how a variadic argument is read.
#pragma once

#include <sys/stat.h>

#include <cstdarg>
#include <string>

// The variadic argument of an entry point (ioctl's, fcntl's, open's mode) as a `type`, read as
// the C library reads it; va_start has to stand in the entry point itself.
#define VCAM_ARG(last, type) \
    __extension__({ va_list ap_; va_start(ap_, last); type v_ = va_arg(ap_, type); va_end(ap_); v_; })

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

// wait.cpp: a closed descriptor leaves every epoll set; a closed epoll descriptor takes its set
// along.
void forget_epoll_entries(Registry &reg, int fd);

}  // namespace vcam
