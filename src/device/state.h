// The device state: everything the module knows about the one camera it holds.
// Module-wide on purpose: the module serves one device at a time, from one thread
// (every call keeps the interpreter lock).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

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

extern int32_t fd;
extern uint32_t pixelformat;
extern int32_t width;
extern int32_t height;
extern int32_t stride;
extern int32_t frame_size;
extern int32_t bpp;
extern mode current_mode;
extern int32_t streamingFirstFrame;
extern int32_t stream_buffers;
extern StagingMemory stream_buf;
// frame_size when the running stream started: the size of each of its slots.
extern int32_t stream_frame_size;
// True while buffers granted by one of our buffer requests may still be
// allocated in the driver (they stay so after a capture ends).
extern bool driver_buffers_allocated;

// The geometry the frame copy reads.
FrameGeometry device_geometry();

// Closes the descriptor (if any) and drops what only made sense with it. The
// staging memory goes after the close: until then the driver may hold it.
// Returns close()'s result (-1 when there was nothing to close).
int close_device();

}  // namespace camsnap
