// A driver that answers with values a real one could send but a careful one would not:
// odd and impossible geometries, granted counts from 0 to 64, buffers with the wrong index,
// the error flag or a short length, random errnos, and a device that vanishes. Every choice
// comes from one seeded generator, so a seed replays the same answers to the same calls.
#pragma once

#include "camera.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <cstdint>
#include <random>

namespace vcam {

class Hostile {
public:
    // `rate`: chance that any one request fails with a random errno; the device vanishes
    // on a twentieth of that.
    Hostile(uint64_t seed, double rate) : rng_(seed), rate_(rate) {}

    bool gone() const { return gone_; }

    // The errno a request fails with, or 0 to let the emulation answer it.
    int request_failure() {
        if (gone_) return ENODEV;
        if (chance(rate_ / 20)) {
            gone_ = true;
            return ENODEV;
        }
        if (!chance(rate_)) return 0;
        static const int errnos[] = {EIO, EINVAL, EBUSY, ENOMEM, EFAULT, EAGAIN, EINTR,
                                     EPIPE, ETIMEDOUT, ENOSPC, EPERM, ENXIO, ENODEV};
        return errnos[below(sizeof errnos / sizeof errnos[0])];
    }

    // Each field of an S_FMT answer is replaced now and then.
    void answer_format(PixFormat &p) {
        if (chance(0.12)) p.width = value_near(p.width);
        if (chance(0.12)) p.height = value_near(p.height);
        if (chance(0.12)) p.bytesperline = value_near(p.bytesperline);
        if (chance(0.12)) p.sizeimage = size_near(p.sizeimage);
        if (chance(0.06)) {
            // What real drivers substitute for a format they lack, and worse.
            static const uint32_t codes[] = {V4L2_PIX_FMT_Y16,   V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_BGR24,
                                             V4L2_PIX_FMT_GREY,  V4L2_PIX_FMT_MJPEG,  V4L2_PIX_FMT_YUYV,
                                             V4L2_PIX_FMT_YVU420, V4L2_PIX_FMT_NV12,  0};
            p.pixelformat = codes[below(sizeof codes / sizeof codes[0])];
        }
    }

    // How many buffers REQBUFS grants for `asked` (nonzero): anything from 0 to 64.
    uint32_t granted(uint32_t asked) {
        if (chance(0.7)) return asked > 64 ? 64 : asked;
        return uint32_t(below(65));
    }

    // A dequeued buffer's index, flags and bytesused, now and then wrong.
    void answer_dequeue(v4l2_buffer *b, uint32_t buffers, uint32_t sizeimage) {
        if (chance(0.1)) {
            const uint32_t choices[] = {uint32_t(below(buffers ? buffers : 1)), buffers,
                                        buffers + uint32_t(below(100)), 0x7fffffffu,
                                        0x80000000u, 0xffffffffu};
            b->index = choices[below(sizeof choices / sizeof choices[0])];
        }
        if (chance(0.1)) b->flags |= V4L2_BUF_FLAG_ERROR;
        if (chance(0.05)) b->flags = uint32_t(rng_());
        if (chance(0.1)) {
            const uint32_t choices[] = {0, 1, sizeimage / 2, sizeimage ? sizeimage - 1 : 0,
                                        sizeimage + 1, uint32_t(rng_())};
            b->bytesused = choices[below(sizeof choices / sizeof choices[0])];
        }
    }

private:
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    uint64_t below(uint64_t n) { return n ? rng_() % n : 0; }

    // Something possible in a 32-bit field near or far from the honest answer, over every
    // width: small, up to 2^22, up to 2^31 (where a width times 2 or 3 bytes overflows a
    // signed 32-bit stride) and beyond.
    uint32_t value_near(uint32_t honest) {
        switch (below(12)) {
        case 0: return 0;
        case 1: return 1;
        case 2: return 2 * uint32_t(below(64)) + 1;
        case 3: return honest ? honest - 1 : 0;
        case 4: return honest + 1;
        case 5: return honest / 2;
        case 6: return honest < (1u << 23) ? honest * 2 : honest;
        case 7: return uint32_t(below(4096));
        case 8: return uint32_t(below(1u << 22));
        case 9: return 0x80000000u + uint32_t(below(1u << 31));
        case 10: return (1u << 22) + uint32_t(below((1u << 31) - (1u << 22)));
        default: return 0xffffffffu;
        }
    }

    // A frame size the same way, except that sizes a careful reader accepts stay below
    // 2^24, so that staging of granted buffers never makes the test machine fill gigabytes.
    uint32_t size_near(uint32_t honest) {
        const uint32_t v = value_near(honest);
        return v >= (1u << 24) && v < 0x80000000u ? v % (1u << 24) : v;
    }

    std::mt19937_64 rng_;
    double rate_;
    bool gone_ = false;
};

}  // namespace vcam
