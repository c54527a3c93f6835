// Which paths name a node, its sysfs entries or its open descriptors, and the directory of
// sysfs files the library serves in place of the kernel's.
#pragma once

#include "registry.h"

#include <string>

namespace vcam {

// `path` as an absolute path with "//", "." and ".." taken out; relative paths are taken
// from `dirfd` (AT_FDCWD: the working directory). Empty when that cannot be worked out.
std::string absolute_path(int dirfd, const char *path);

// N for "/dev/video<N>" (N written the way the kernel names nodes), else -1.
int node_number(const std::string &abs);

// K for "/proc/self/fd/K" or "/proc/<this process>/fd/K", else -1.
int proc_fd_number(const std::string &abs);

// The file in the library's sysfs testbed that stands for `abs` (a path under
// /sys/class/video4linux or /sys/dev/char/81:N), made or brought up to date with the nodes
// first; empty for any other path. Callers hold the registry lock.
std::string sysfs_path(Registry &reg, const std::string &abs);

// A directory to list in place of /dev: its entries and the nodes (see Testbed). Callers hold
// the registry lock; empty when it cannot be made.
std::string dev_listing(Registry &reg);

// Whether `path` could be one of the above, cheaply, before any lock is taken.
bool may_name_device(const char *path);

// Whether `path` could be /dev itself (a directory listing of it shows the nodes).
bool may_be_dev(const char *path);

constexpr unsigned kVideoMajor = 81;

}  // namespace vcam
