// Memory files of memory-mapped buffers, and whether user memory is mapped.
#include "memory.h"

#include "libc.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace vcam {

std::atomic<size_t> g_user_allocations{0};

size_t page_size() {
    static const size_t page = size_t(sysconf(_SC_PAGESIZE));
    return page;
}

// A driver pins user pages at QBUF, and copies request arguments in and out, failing with
// EFAULT when they are not there; msync answers ENOMEM for unmapped ranges.
bool mapped(unsigned long addr, size_t len) {
    if (addr == 0) return false;
    const unsigned long page = page_size();
    const unsigned long start = addr & ~(page - 1);
    return msync(reinterpret_cast<void *>(start), addr + len - start, MS_ASYNC) == 0;
}

BufferMemory::BufferMemory(size_t buffer_size) {
    const size_t page = page_size();
    size_ = std::max(page, (buffer_size + page - 1) / page * page);
    // The system call itself: glibc only wraps it since 2.27, and the wheels link against 2.17.
    fd_ = int(syscall(SYS_memfd_create, "camsnap_vcam", MFD_CLOEXEC));
    if (fd_ < 0) return;
    if (ftruncate(fd_, off_t(size_)) != 0) return;
    // Straight to the C library: this library's own mmap() would look the descriptor up
    // under the registry lock the caller already holds.
    void *p = libc::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (p != MAP_FAILED) base_ = static_cast<uint8_t *>(p);
}

BufferMemory::~BufferMemory() {
    if (base_) libc::munmap(base_, size_);
    if (fd_ >= 0) libc::close(fd_);
}

}  // namespace vcam
