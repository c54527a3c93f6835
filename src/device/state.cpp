// The Device object: its reports, geometry and close; staging memory; the
// module's one instance. No Python here: every surface links it.
#include "device/state.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "device/report.h"

namespace camsnap {

Device &module_device() {
    // Never destroyed: the module's device outlives every call, also those made
    // while the interpreter shuts down.
    static Device *const device = new Device(Reports::standard_error);
    return *device;
}

namespace {

// One write of the whole line to standard error, resumed after a signal.
void write_line(const char *p, size_t left) {
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, p, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        p += written;
        left -= size_t(written);
    }
}

}  // namespace

StagingMemory allocate_staging(int32_t slots, int32_t slot_size) {
    constexpr size_t page = 4096;
    constexpr size_t huge_page = size_t(2) << 20;
    if (slots < 0 || slot_size < 0) return nullptr;
    // Both factors are below 2^31, so the product cannot overflow 64 bits.
    const uint64_t bytes = uint64_t(slots) * uint64_t(slot_size);
    if (bytes > SIZE_MAX - huge_page) return nullptr;
    // Every capture touches fresh staging memory; in huge pages that costs a
    // few page faults instead of one per 4 KiB (transparent huge pages are
    // often enabled on request only).
    const size_t align = bytes >= huge_page ? huge_page : page;
    const size_t rounded = bytes ? (size_t(bytes) + align - 1) / align * align : page;
    void *memory = nullptr;
    if (::posix_memalign(&memory, align, rounded) != 0) return nullptr;
    if (align == huge_page) ::madvise(memory, rounded, MADV_HUGEPAGE);
    return StagingMemory(static_cast<uint8_t *>(memory));
}

Device::~Device() {
    if (fd != -1) close();
}

void Device::report(const char *format, ...) {
    const int failure = errno;
    char line[512];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length <= 0) return;
    if (reports_ == Reports::standard_error) {
        write_line(line, length < static_cast<int>(sizeof line) ? size_t(length) : sizeof line - 1);
        return;
    }
    // "E:<function>:<line>:" names where the line came from; the caller wants the text.
    const char *text = line;
    for (int colons = 0; *text && colons < 3; ++text)
        if (*text == ':') ++colons;
    failure_text_.assign(text);
    while (!failure_text_.empty() && failure_text_.back() == '\n') failure_text_.pop_back();
    failure_errno_ = failure;
}

void Device::clear_failure() {
    failure_text_.clear();
    failure_errno_ = 0;
}

FrameGeometry Device::geometry() const {
    FrameGeometry g;
    g.width = width;
    g.height = height;
    g.stride = stride;
    g.bpp = bpp;
    g.frame_size = frame_size;
    g.current_mode = current_mode;
    return g;
}

int Device::close() {
    const int result = ::close(fd);
    fd = -1;
    // The driver dropped its user pointers with the descriptor.
    stream_buf.reset();
    driver_buffers_allocated = false;
    return result;
}

}  // namespace camsnap
