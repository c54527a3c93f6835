// Frame contents and buffer geometry of the virtual camera.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vcam {

// Bytes a padding byte of a frame carries, so that readers that stray into it are noticed.
constexpr uint8_t kPadByte = 0xEE;

struct Geometry {
    uint32_t bytesperline;
    uint32_t sizeimage;
};

// What a UVC driver answers for a format of width x height, with `pad` extra bytes per line.
Geometry geometry_for(uint32_t pixelformat, uint32_t width, uint32_t height, uint32_t pad);

// Writes exactly `size` bytes of frame `seq` to `out`; never touches anything beyond them.
void render(uint32_t pixelformat, uint32_t width, uint32_t height, uint32_t bytesperline,
            uint32_t size, uint32_t seq, uint8_t *out);

}  // namespace vcam
