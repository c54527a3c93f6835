// The C interface camsnap_vcam uses (through ctypes) to configure nodes and read back what
// they saw.
// Every function answers 0 (or a length) on success and -errno on a bad argument.
#include "config.h"
#include "libc.h"
#include "pattern.h"
#include "registry.h"
#include "requests.h"

#include <cerrno>
#include <cstring>
#include <set>
#include <string>


using namespace vcam;

namespace {

template <typename F>
long with_node(int n, F &&f) {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    Node *node = reg.node(n);
    if (!node) return -ENOENT;
    long r = f(*node);
    reg.notify();
    return r;
}

// Copies text out the snprintf way: the full length is answered even when it does not fit.
long copy_text(const std::string &text, char *out, size_t cap) {
    if (out && cap > 0) {
        size_t n = std::min(text.size(), cap - 1);
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return long(text.size());
}

// Reads a description under the lock: -EINVAL for one it refuses, with the fault in `error`.
long read_description(bool (*read)(Registry &, const std::string &, std::string *), const char *description,
                      char *error, size_t cap) {
    if (!description) return -EINVAL;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    std::string fault;
    if (read(reg, description, &fault)) return 0;
    copy_text(fault, error, cap);
    return -EINVAL;
}

}  // namespace

extern "C" VCAM_EXPORT int vcam_reset() {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.clear();
    g_configured.store(true);
    reg.notify();
    return 0;
}

// Replaces every node by a description ({"nodes": [...]}).
extern "C" VCAM_EXPORT long vcam_configure(const char *description, char *error, size_t cap) {
    return read_description(configure, description, error, cap);
}

// Adds node N, or makes it afresh, from a node description ({"node": N, ...}).
extern "C" VCAM_EXPORT long vcam_configure_node(const char *description, char *error, size_t cap) {
    return read_description(configure_node, description, error, cap);
}

extern "C" VCAM_EXPORT long vcam_describe(char *out, size_t cap) {
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return copy_text(describe(reg), out, cap);
}

extern "C" VCAM_EXPORT int vcam_set_fmt_answer(int n, uint32_t mask, uint32_t width, uint32_t height,
                                    uint32_t bytesperline, uint32_t sizeimage, uint32_t pixelformat) {
    const uint32_t fields = kWidth | kHeight | kBytesperline | kSizeimage | kPixelformat;
    return int(with_node(n, [&](Node &node) {
        Override o = node.fmt_answer();  // its colour fields stay
        o.mask = (o.mask & ~fields) | (mask & fields);
        o.pix = PixFormat{width, height, pixelformat, bytesperline, sizeimage};
        node.set_override(o);
        return 0;
    }));
}

// The fields S_FMT answers whatever was asked, as the description's "fmt_answer" gives them
// ({"width": 8, "quantization": "full_range"}; {} for honest answers).
extern "C" VCAM_EXPORT long vcam_set_fmt_answer_text(int n, const char *answer, char *error, size_t cap) {
    if (!answer) return -EINVAL;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    std::string fault;
    const int r = set_fmt_answer(reg, n, answer, &fault);
    if (r == -EINVAL) copy_text(fault, error, cap);
    if (r == 0) reg.notify();
    return r;
}

extern "C" VCAM_EXPORT int vcam_clear_frames(int n) {
    return int(with_node(n, [&](Node &node) {
        node.set_frames({});
        return 0;
    }));
}

extern "C" VCAM_EXPORT int vcam_add_frame(int n, const void *data, size_t len) {
    std::string frame(static_cast<const char *>(data), len);
    return int(with_node(n, [&](Node &node) {
        node.add_frame(std::move(frame));
        return 0;
    }));
}

extern "C" VCAM_EXPORT int vcam_set_fps(int n, double fps) {
    if (fps < 0) return -EINVAL;
    return int(with_node(n, [&](Node &node) {
        node.set_fps(fps, Clock::now());
        return 0;
    }));
}

// Nonzero: S_PARM answers the node's own rate and leaves it, as a camera with one frame interval.
extern "C" VCAM_EXPORT int vcam_set_fixed_fps(int n, int fixed) {
    return int(with_node(n, [&](Node &node) {
        node.set_fixed_fps(fixed != 0);
        return 0;
    }));
}

// Sequence numbers each stream numbers but never delivers; count 0 delivers every frame.
extern "C" VCAM_EXPORT int vcam_set_skip(int n, const unsigned long long *sequences, size_t count) {
    if (!sequences && count) return -EINVAL;
    std::set<uint64_t> skip(sequences, sequences + count);
    return int(with_node(n, [&](Node &node) {
        node.set_skip(std::move(skip));
        return 0;
    }));
}

extern "C" VCAM_EXPORT int vcam_set_stop_after(int n, long long k) {
    return int(with_node(n, [&](Node &node) {
        node.set_stop_after(k);
        return 0;
    }));
}

extern "C" VCAM_EXPORT int vcam_fault(int n, const char *request, unsigned long long nth, int err) {
    if (!request || !request_named(request) || nth == 0 || err <= 0) return -EINVAL;
    return int(with_node(n, [&](Node &node) {
        node.add_fault(request, nth, err);
        return 0;
    }));
}

// mask: 1 index, 2 flags, 4 bytesused.
extern "C" VCAM_EXPORT int vcam_dqbuf_override(int n, unsigned long long nth, uint32_t mask, uint32_t index,
                                    uint32_t flags, uint32_t bytesused) {
    if (nth == 0) return -EINVAL;
    DqbufOverride o;
    o.mask = mask;
    o.index = index;
    o.flags = flags;
    o.bytesused = bytesused;
    return int(with_node(n, [&](Node &node) {
        node.add_dqbuf_override(nth, o);
        return 0;
    }));
}

// The names of the requests records and fault plans use, space-separated.
extern "C" VCAM_EXPORT long vcam_requests(char *out, size_t cap) { return copy_text(request_names(), out, cap); }

extern "C" VCAM_EXPORT long vcam_log(int n, char *out, size_t cap) {
    return with_node(n, [&](Node &node) { return copy_text(node.log_text(), out, cap); });
}

extern "C" VCAM_EXPORT long vcam_state(int n, char *out, size_t cap) {
    return with_node(n, [&](Node &node) { return copy_text(node.state_text(), out, cap); });
}

extern "C" VCAM_EXPORT int vcam_render(uint32_t pixelformat, uint32_t width, uint32_t height,
                            uint32_t bytesperline, uint32_t size, uint32_t seq, void *out) {
    if (!out && size) return -EINVAL;
    render(pixelformat, width, height, bytesperline, size, seq, static_cast<uint8_t *>(out));
    return 0;
}

// Hostile answers for node n from a generator seeded with `seed`; rate is the chance that a
// request fails with a random errno. A negative rate makes the node honest again.
extern "C" VCAM_EXPORT int vcam_set_hostile(int n, unsigned long long seed, double rate) {
    if (rate > 1) return -EINVAL;
    return int(with_node(n, [&](Node &node) {
        node.set_hostile(seed, rate);
        return 0;
    }));
}
