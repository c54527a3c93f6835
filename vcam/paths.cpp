// Which paths name a node, and the sysfs testbed that stands in for the kernel's.
#include "paths.h"

#include "libc.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vcam {
namespace {

bool starts_with(const std::string &s, const char *prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

// Digits the way the kernel writes a number: no sign, no leading zero, at most 9 of them.
int kernel_number(const std::string &digits) {
    if (digits.empty() || digits.size() > 9 || (digits[0] == '0' && digits.size() > 1)) return -1;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
    }
    return std::atoi(digits.c_str());
}

std::string directory_of(int dirfd) {
    if (dirfd == AT_FDCWD) {
        char cwd[PATH_MAX];
        return getcwd(cwd, sizeof cwd) ? std::string(cwd) : std::string();
    }
    char link[64], target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    const ssize_t n = libc::readlink(link, target, sizeof target - 1);
    return n > 0 && target[0] == '/' ? std::string(target, size_t(n)) : std::string();
}

// Removes the directory `name` in `parent` and everything in it.
void remove_tree(int parent, const char *name) {
    const int fd = libc::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (DIR *d = fd >= 0 ? fdopendir(fd) : nullptr) {
        while (const dirent *e = readdir(d)) {
            const std::string entry = e->d_name;
            if (entry != "." && entry != ".." && ::unlinkat(fd, e->d_name, 0) != 0) remove_tree(fd, e->d_name);
        }
        closedir(d);
    } else if (fd >= 0) {
        libc::close(fd);
    }
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

// A process killed by a signal never runs the exit handlers that remove its testbed: the next
// process that makes one in the same place removes those whose owner (named in them) is gone.
void remove_orphaned_testbeds(const std::string &tmp) {
    DIR *d = libc::opendir(tmp.c_str());
    if (!d) return;
    while (const dirent *e = readdir(d)) {
        long pid = 0;
        int end = 0;
        if (std::sscanf(e->d_name, "camsnap_vcam.%ld.%*6c%n", &pid, &end) != 1 || end == 0 || e->d_name[end])
            continue;
        if (pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH) remove_tree(dirfd(d), e->d_name);
    }
    closedir(d);
}

// The testbed: a directory under $TMPDIR laid out as the parts of sysfs clients read,
//   class/video4linux/video<N>/{name,dev,index,uevent}
//   dev/char/81:<N> -> ../../class/video4linux/video<N>
// made by the process that first needs it and removed when that process exits.
struct Testbed {
    std::string root;
    pid_t owner = 0;
    uint64_t version = ~uint64_t(0);  // the registry version it shows
    std::vector<std::string> made;    // files, links and directories, in the order made
    std::vector<std::string> listed;  // what the last listing of /dev made

    ~Testbed() { remove_all(); }

    static void remove(std::vector<std::string> &paths) {
        for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
            if (::unlink(it->c_str()) != 0) ::rmdir(it->c_str());
        }
        paths.clear();
    }

    void remove_all() {
        if (owner != getpid()) return;  // a forked child leaves its parent's testbed alone
        remove(listed);
        remove(made);
    }

    // /dev as a directory listing shows it with the nodes in it: a link to each entry of the
    // real /dev and an empty file video<N> for each node, made afresh for every listing.
    std::string dev_listing(Registry &reg) {
        if (!bring_up_to_date(reg)) return std::string();
        remove(listed);
        const std::string dir = root + "/devlist";
        if (!directory(dir, &listed)) return std::string();
        if (DIR *real = libc::opendir("/dev")) {
            while (dirent *e = readdir(real)) {
                const std::string name = e->d_name;
                if (name == "." || name == ".." || reg.node(node_number("/dev/" + name))) continue;
                link("/dev/" + name, dir + "/" + name, &listed);
            }
            closedir(real);
        }
        for (auto &entry : reg.nodes) file(dir + "/video" + std::to_string(entry.first), "", &listed);
        return dir;
    }

    // Each makes one entry and records it in `into` (the testbed's own entries by default).
    bool directory(const std::string &path, std::vector<std::string> *into = nullptr) {
        if (::mkdir(path.c_str(), 0755) != 0) return false;
        (into ? *into : made).push_back(path);
        return true;
    }

    bool file(const std::string &path, const std::string &text, std::vector<std::string> *into = nullptr) {
        const int fd = libc::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        (into ? *into : made).push_back(path);
        const bool ok = libc::write(fd, text.data(), text.size()) == ssize_t(text.size());
        libc::close(fd);
        return ok;
    }

    bool link(const std::string &target, const std::string &path, std::vector<std::string> *into = nullptr) {
        if (::symlink(target.c_str(), path.c_str()) != 0) return false;
        (into ? *into : made).push_back(path);
        return true;
    }

    bool node(int n, const Node &node) {
        const std::string name = "video" + std::to_string(n), dev = "81:" + std::to_string(n);
        const std::string dir = root + "/class/video4linux/" + name;
        return directory(dir) && file(dir + "/name", node.config().card + "\n") &&
               file(dir + "/dev", dev + "\n") && file(dir + "/index", "0\n") &&
               file(dir + "/uevent", "MAJOR=81\nMINOR=" + std::to_string(n) + "\nDEVNAME=" + name + "\n") &&
               link("../../class/video4linux/" + name, root + "/dev/char/" + dev);
    }

    bool bring_up_to_date(Registry &reg) {
        if (version == reg.version && !root.empty()) return true;
        if (root.empty() || owner != getpid()) {
            const char *tmp = std::getenv("TMPDIR");
            const std::string dir = tmp && *tmp ? tmp : "/tmp";
            remove_orphaned_testbeds(dir);
            std::string pattern = dir + "/camsnap_vcam." + std::to_string(getpid()) + ".XXXXXX";
            if (!mkdtemp(&pattern[0])) return false;
            root = pattern;
            owner = getpid();
            made.clear();
            made.push_back(root);
        } else {
            remove_all();
            if (!directory(root)) return false;
        }
        bool ok = directory(root + "/class") && directory(root + "/class/video4linux") &&
                  directory(root + "/dev") && directory(root + "/dev/char");
        for (auto &entry : reg.nodes) ok = ok && node(entry.first, *entry.second);
        version = reg.version;
        return ok;
    }
};

Testbed &testbed() {
    static Testbed t;  // removed by the exit handlers of the process that made it
    return t;
}

}  // namespace

std::string absolute_path(int dirfd, const char *path) {
    if (!path || !*path) return std::string();
    std::string full = path;
    if (path[0] != '/') {
        const std::string dir = directory_of(dirfd);
        if (dir.empty()) return std::string();
        full = dir + "/" + full;
    }
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= full.size()) {
        size_t j = full.find('/', i);
        if (j == std::string::npos) j = full.size();
        const std::string part = full.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const std::string &p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

int node_number(const std::string &abs) {
    static const char prefix[] = "/dev/video";
    if (!starts_with(abs, prefix)) return -1;
    return kernel_number(abs.substr(sizeof prefix - 1));
}

int proc_fd_number(const std::string &abs) {
    for (const std::string &dir : {std::string("/proc/self/fd/"), "/proc/" + std::to_string(getpid()) + "/fd/"}) {
        if (starts_with(abs, dir.c_str())) return kernel_number(abs.substr(dir.size()));
    }
    return -1;
}

std::string dev_listing(Registry &reg) { return testbed().dev_listing(reg); }

std::string sysfs_path(Registry &reg, const std::string &abs) {
    static const char klass[] = "/sys/class/video4linux", chars[] = "/sys/dev/char/81:";
    std::string rest;
    if (abs == klass || starts_with(abs, "/sys/class/video4linux/")) {
        rest = "/class/video4linux" + abs.substr(sizeof klass - 1);
    } else if (starts_with(abs, chars)) {
        rest = "/dev/char/81:" + abs.substr(sizeof chars - 1);
    } else {
        return std::string();
    }
    Testbed &t = testbed();
    if (!t.bring_up_to_date(reg)) return std::string();
    return t.root + rest;
}

bool may_be_dev(const char *path) {
    return path && (path[0] != '/' || std::strstr(path, "dev"));
}

bool may_name_device(const char *path) {
    if (!path) return false;
    if (path[0] != '/') return true;
    return std::strstr(path, "video") || std::strstr(path, "/sys") || std::strstr(path, "/proc");
}

}  // namespace vcam
