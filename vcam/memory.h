// Memory the virtual camera owns for memory-mapped (V4L2_MEMORY_MMAP) buffers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vcam {

// One anonymous shared file (memfd) holding every buffer of an allocation, mapped once for
// the camera to write frames into. Applications map the same file through mmap() on the
// node, so they see what the camera writes; their mappings keep the pages alive after the
// allocation is freed, as a driver's orphaned buffers stay valid until they are unmapped.
class BufferMemory {
public:
    // `count` buffers of `buffer_size` bytes each, every one starting on a page.
    BufferMemory(uint32_t count, size_t buffer_size);
    BufferMemory(const BufferMemory &) = delete;
    BufferMemory &operator=(const BufferMemory &) = delete;
    ~BufferMemory();

    bool ok() const { return base_ != nullptr; }
    int fd() const { return fd_; }
    // Distance between buffers in the file: the buffer size rounded up to whole pages.
    size_t stride() const { return stride_; }
    uint8_t *buffer(uint32_t index) const { return base_ + size_t(index) * stride_; }

private:
    int fd_ = -1;
    size_t stride_ = 0;
    size_t total_ = 0;
    uint8_t *base_ = nullptr;
};

size_t page_size();

// Whether [addr, addr + len) is mapped in this process (whether it is writable is not asked).
bool mapped(unsigned long addr, size_t len);

// Allocations of user-pointer buffers alive in the process. A frame is copied into user memory
// after mapped() said it is there, both under the registry lock: while any such allocation
// lives, munmap() and mremap() take the lock too, so the memory cannot go in between.
extern std::atomic<size_t> g_user_allocations;

}  // namespace vcam
