// The device state: everything known about one camera, held by a Device object.
// The camsnap module is one module-wide Device (module_device()), served from one
// thread with the interpreter lock kept; each camsnap_camera.Camera owns another.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "convert/frame.h"

namespace camsnap {

// Four-character codes, first character in the lowest byte.
constexpr uint32_t fourcc(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}
constexpr uint32_t PIX_Y16 = fourcc('Y', '1', '6', ' ');
constexpr uint32_t PIX_YU12 = fourcc('Y', 'U', '1', '2');
constexpr uint32_t PIX_BGR3 = fourcc('B', 'G', 'R', '3');

// Staging memory: slot i of k slots starts at i * frame_size and is the user
// pointer the driver knows by buffer index i.
struct FreeDeleter {
    void operator()(uint8_t *p) const { std::free(p); }
};
using StagingMemory = std::unique_ptr<uint8_t[], FreeDeleter>;

// Page-aligned, at least one page; empty when the size cannot be had (including
// a slot count or frame size that would overflow).
StagingMemory allocate_staging(int32_t slots, int32_t slot_size);

// Where a device's diagnostic lines go.
enum class Reports {
    standard_error,  // written at once: the module's lines
    kept,            // kept as the last failure, for the caller to raise
};

class Device {
public:
    explicit Device(Reports reports) : reports_(reports) {}
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    int32_t fd = -1;
    uint32_t pixelformat = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    int32_t frame_size = 0;
    int32_t bpp = 0;
    mode current_mode = IR16;
    int32_t streamingFirstFrame = 0;
    int32_t stream_buffers = 0;
    StagingMemory stream_buf;
    // frame_size when the running stream started: the size of each of its slots.
    int32_t stream_frame_size = 0;
    // True while buffers granted by one of our buffer requests may still be
    // allocated in the driver (they stay so after a capture ends).
    bool driver_buffers_allocated = false;
    // Whether a buffer the driver marks as failed is handed on (flagged) rather
    // than failing the dequeue: the module's captures refuse it.
    bool delivers_error_frames = false;

    // The geometry the frame copy reads.
    FrameGeometry geometry() const;

    // Closes the descriptor (if any) and drops what only made sense with it. The
    // staging memory goes after the close: until then the driver may hold it.
    // Returns close()'s result (-1 when there was nothing to close).
    int close();

    // A diagnostic line (CS_REPORT): written, or kept with the errno of the
    // failure it reports.
    void report(const char *format, ...) __attribute__((format(printf, 2, 3)));

    // The last kept line's text (after "E:<function>:<line>:", without the
    // newlines) and errno; cleared by clear_failure().
    const std::string &failure_text() const { return failure_text_; }
    int failure_errno() const { return failure_errno_; }
    void clear_failure();

private:
    Reports reports_;
    std::string failure_text_;
    int failure_errno_ = 0;
};

// The camsnap module's device: one per process, never destroyed.
Device &module_device();

}  // namespace camsnap
