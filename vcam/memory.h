// Memory the virtual camera owns for memory-mapped (V4L2_MEMORY_MMAP) buffers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vcam {

// An anonymous shared file (memfd) holding one memory-mapped buffer (each buffer has its own,
// which EXPBUF hands out), mapped once for the camera to write frames into. Applications map
// the same file through mmap() on the node, so they see what the camera writes; their
// mappings keep the pages alive after the buffer is freed, as a driver's orphaned buffers
// stay valid until they are unmapped.
class BufferMemory {
public:
    explicit BufferMemory(size_t buffer_size);
    BufferMemory(const BufferMemory &) = delete;
    BufferMemory &operator=(const BufferMemory &) = delete;
    ~BufferMemory();

    bool ok() const { return base_ != nullptr; }
    int fd() const { return fd_; }
    // The buffer size rounded up to whole pages: what mmap() may map, and the distance to the
    // next buffer's offset.
    size_t size() const { return size_; }
    uint8_t *data() const { return base_; }

private:
    int fd_ = -1;
    size_t size_ = 0;
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
