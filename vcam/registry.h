// Every configured node and every descriptor handed out for one, under one lock.
#pragma once

#include "camera.h"

#include <atomic>
#include <condition_variable>
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

struct OpenFile {
    int node;
    FakeDescriptor descriptor;
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
    std::map<int, OpenFile> files;  // by descriptor
    std::map<uintptr_t, Mapping> mappings;  // by address
    uint64_t version = 0;  // counts changes of the set of nodes

    Node *node(int n) {
        auto it = nodes.find(n);
        return it == nodes.end() ? nullptr : it->second.get();
    }
    Node *node_of_fd(int fd) {
        auto it = files.find(fd);
        return it == files.end() ? nullptr : node(it->second.node);
    }
    void clear();
    // Puts `node` in place of node n; descriptors of an earlier node n stay the application's.
    void replace(int n, std::unique_ptr<Node> node);
};

Registry &registry();

// False until the first configuration call: until then every call passes straight through.
extern std::atomic<bool> g_configured;
// How many node buffers are mapped: munmap() looks no further while there are none.
extern std::atomic<size_t> g_mappings;

}  // namespace vcam
