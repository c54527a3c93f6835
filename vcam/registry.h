// Every configured node and every descriptor handed out for one, under one lock.
#pragma once

#include "camera.h"

#include <atomic>
#include <condition_variable>
#include <set>
#include <sys/epoll.h>
#include <map>
#include <memory>
#include <mutex>

namespace vcam {

// A real descriptor number (an eventfd) that stands for an open node, so nobody else gets it.
class FakeDescriptor {
public:
    explicit FakeDescriptor(int fd) : fd_(fd) {}
    FakeDescriptor(FakeDescriptor &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    FakeDescriptor &operator=(FakeDescriptor &&) = delete;
    FakeDescriptor(const FakeDescriptor &) = delete;
    ~FakeDescriptor();
    int get() const { return fd_; }
    // Leaves the descriptor open for the application to close itself.
    void release() { fd_ = -1; }

private:
    int fd_;
};

// One open() of a node: what every descriptor dup()ed from it shares, as the kernel's struct
// file is. The node sees the open file, never the descriptor numbers.
struct OpenFile {
    int node;
    int id;  // unique in the process
};

struct Descriptor {
    std::shared_ptr<OpenFile> file;
    FakeDescriptor number;
};

// A node descriptor registered with an epoll instance (the kernel's epoll never sees it).
struct EpollEntry {
    epoll_event event;
    bool disarmed;  // EPOLLONESHOT after it fired, until EPOLL_CTL_MOD
};

// A buffer of a node mapped into the process through mmap() on the node.
struct Mapping {
    int node;
    uint64_t generation;  // the node's allocation the buffer belongs to
    uint32_t index;
    size_t length;
};

struct Registry {
    std::mutex mutex;
    std::condition_variable changed;  // queue or stream state changed: pollers look again
    std::map<int, std::unique_ptr<Node>> nodes;
    std::map<int, Descriptor> files;  // by descriptor number
    std::map<int, std::map<int, EpollEntry>> epolls;  // epoll descriptor -> node descriptor -> entry
    std::set<int> waiters;  // eventfds of threads sleeping in a real poll: notify() wakes them
    std::map<uintptr_t, Mapping> mappings;  // by address
    uint64_t version = 0;  // counts changes of the set of nodes

    Node *node(int n) {
        auto it = nodes.find(n);
        return it == nodes.end() ? nullptr : it->second.get();
    }
    Node *node_of_fd(int fd) {
        auto it = files.find(fd);
        return it == files.end() ? nullptr : node(it->second.file->node);
    }
    const OpenFile *file_of_fd(int fd) const {
        auto it = files.find(fd);
        return it == files.end() ? nullptr : it->second.file.get();
    }
    // Wakes every thread waiting for the queue or stream state to change.
    void notify();
    void clear();
    // Puts `node` in place of node n; descriptors of an earlier node n stay the application's.
    void replace(int n, std::unique_ptr<Node> node);
};

Registry &registry();

// False until the first configuration call: until then every call passes straight through.
extern std::atomic<bool> g_configured;
// How many node buffers are mapped: munmap() looks no further while there are none.
extern std::atomic<size_t> g_mappings;
// How many node descriptors are open: read() and write() look no further while there are none.
extern std::atomic<size_t> g_descriptors;
// Counts forks in this process's line: a child makes its own waiter eventfds rather than
// share its parent's, where one process could take the other's wake-up.
extern std::atomic<unsigned> g_forks;

}  // namespace vcam
