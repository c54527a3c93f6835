// The registry of nodes, open files, mappings and epoll sets, and its one lock, which fork()
// leaves usable in both processes.
#include "registry.h"

#include "libc.h"

#include <pthread.h>

#include <cstdint>

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

std::atomic<unsigned> g_forks{0};

// A fork() while another thread holds the lock would leave the child a lock nobody can
// release: the fork waits for it, and both processes carry on with their own registry.
namespace {

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

}  // namespace vcam
