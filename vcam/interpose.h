// What the entry points in interpose.cpp and files.cpp share.
#pragma once

#include <sys/stat.h>

#include <string>

namespace vcam {

// What a path the application names stands for.
struct Target {
    int node = -1;         // a configured node (its path, or /proc/self/fd/K of a descriptor of it)
    bool via_link = false; // named through /proc/self/fd/K, a link to the node
    std::string redirect;  // a sysfs path: the testbed file that stands for it
};

// False for every path that is neither (the call then goes on to the C library unchanged).
bool device_target(int dirfd, const char *path, Target *target);

// For a path naming /dev: the directory to list in its place, which shows the nodes; else
// empty.
std::string dev_listing_for(const char *path);

// The node a descriptor is open on, or -1 for any other descriptor.
int node_of_descriptor(int fd);

// What stat() answers for node n: a character device 81:n.
void node_stat(int n, struct stat *st);

}  // namespace vcam
