// Test memory that ends right at an inaccessible page, so that a read one byte
// past the end faults instead of passing unnoticed.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace camsnap_test {

class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size) : size_(size) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t data_pages = (size + page - 1) / page;
        mapped_ = (data_pages + 1) * page;
        void *p = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
        base_ = static_cast<uint8_t *>(p);
        if (mprotect(base_ + data_pages * page, page, PROT_NONE) != 0) {
            munmap(base_, mapped_);
            throw std::runtime_error("mprotect failed");
        }
        data_ = base_ + data_pages * page - size;
    }
    ~GuardedBuffer() { munmap(base_, mapped_); }
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;

    uint8_t *data() { return data_; }
    size_t size() const { return size_; }

private:
    uint8_t *base_ = nullptr;
    uint8_t *data_ = nullptr;
    size_t mapped_ = 0;
    size_t size_ = 0;
};

}  // namespace camsnap_test
