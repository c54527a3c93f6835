// libFuzzer target for the frame copy: random geometry, mode, output strides and slot size.
// Only geometries frame_fits() accepts are copied (the module copies nothing else). The slot
// sits against a PROT_NONE page (after its end or before its start, by turns), and so does the
// output, so a read past the slot or a write past the output faults at once; every kernel's
// output must equal the reference's byte for byte, gaps between pixels included.
#include "convert/frame.h"
#include "convert/kernels.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using camsnap::FrameGeometry;

// Anonymous memory of `size` usable bytes with an inaccessible page right before or right
// after them.
class GuardedBytes {
public:
    GuardedBytes(size_t size, bool guard_after) : size_(size) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t data_pages = (size + page - 1) / page;
        map_size_ = (data_pages + 2) * page;
        void *p = mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) std::abort();
        base_ = static_cast<uint8_t *>(p);
        mprotect(base_, page, PROT_NONE);
        mprotect(base_ + (data_pages + 1) * page, page, PROT_NONE);
        data_ = guard_after ? base_ + (data_pages + 1) * page - size : base_ + page;
    }
    ~GuardedBytes() { munmap(base_, map_size_); }
    GuardedBytes(const GuardedBytes &) = delete;
    GuardedBytes &operator=(const GuardedBytes &) = delete;

    uint8_t *data() { return data_; }
    size_t size() const { return size_; }

private:
    uint8_t *base_ = nullptr;
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t map_size_ = 0;
};

// Bounds that keep one input at a few milliseconds.
constexpr int32_t kMaxWidth = 700, kMaxHeight = 40, kMaxStep = 8;

FrameGeometry random_geometry(FuzzedDataProvider &in) {
    FrameGeometry g;
    g.current_mode = in.PickValueInArray({camsnap::IR16, camsnap::RGB, camsnap::IR16_FALLBACK});
    g.width = in.ConsumeIntegralInRange<int32_t>(0, kMaxWidth);
    g.height = in.ConsumeIntegralInRange<int32_t>(0, kMaxHeight);
    g.bpp = in.ConsumeIntegralInRange<int32_t>(0, kMaxStep);
    // Rows packed, padded, overlapping or all on one line.
    const int32_t packed = g.width * g.bpp;
    g.stride = in.ConsumeBool() ? packed + in.ConsumeIntegralInRange<int32_t>(0, 70)
                                : in.ConsumeIntegralInRange<int32_t>(0, packed + 1);
    // Exactly what the copy reads, a little more, or anything up to that.
    const uint64_t extent = camsnap::frame_read_extent(g);
    const int64_t slack = in.ConsumeIntegralInRange<int64_t>(-8, 64);
    const int64_t size = int64_t(extent) + slack;
    g.frame_size = int32_t(size < 0 ? 0 : size);
    return g;
}

// The output array as the module lays one out (stride_y = width * stride_x), or any other
// non-overlapping layout, top-down or bottom-up.
struct OutputLayout {
    int32_t stride_x = 0, stride_y = 0;
    size_t bytes = 0;   // memory the layout spans
    size_t origin = 0;  // offset of pixel (0, 0) in it
};

OutputLayout random_layout(FuzzedDataProvider &in, const FrameGeometry &g) {
    const int32_t pixel = g.current_mode == camsnap::RGB ? 3 : 2;
    OutputLayout o;
    o.stride_x = pixel + (in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<int32_t>(0, kMaxStep));
    const int64_t row = int64_t(g.width - 1) * o.stride_x + pixel;
    int64_t sy = row + (in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<int32_t>(0, 40));
    if (in.ConsumeBool() && g.width * o.stride_x == row) sy = row;  // the module's own layout
    const bool bottom_up = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    o.stride_y = int32_t(bottom_up ? -sy : sy);
    o.bytes = size_t(int64_t(g.height - 1) * sy + row);
    o.origin = bottom_up ? size_t(int64_t(g.height - 1) * sy) : 0;
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const FrameGeometry g = random_geometry(in);
    if (g.width <= 0 || g.height <= 0 || !camsnap::frame_fits(g)) return 0;
    const OutputLayout layout = random_layout(in, g);
    const bool guard_after = in.ConsumeBool();

    GuardedBytes slot(size_t(g.frame_size), guard_after);
    const std::vector<uint8_t> pixels = in.ConsumeBytes<uint8_t>(slot.size());
    for (size_t i = 0; i < slot.size(); ++i) slot.data()[i] = i < pixels.size() ? pixels[i] : uint8_t(i * 131);

    const uint8_t sentinel = 0xa5;
    std::vector<uint8_t> expected(layout.bytes, sentinel);
    camsnap::copy_frame_reference(g, slot.data(), expected.data() + layout.origin, layout.stride_x,
                                  layout.stride_y);

    GuardedBytes out(layout.bytes, !guard_after);
    auto check = [&](const char *what) {
        if (std::memcmp(out.data(), expected.data(), layout.bytes) != 0) {
            fprintf(stderr, "%s differs from the reference: %dx%d mode %d bpp %d stride %d size %d "
                    "out %d/%d\n", what, g.width, g.height, g.current_mode, g.bpp, g.stride,
                    g.frame_size, layout.stride_x, layout.stride_y);
            std::abort();
        }
    };
    for (const camsnap::Yu12RgbKernel &k : camsnap::yu12_rgb_kernels()) {
        std::memset(out.data(), sentinel, layout.bytes);
        camsnap::copy_frame_with(k, g, slot.data(), out.data() + layout.origin, layout.stride_x,
                                 layout.stride_y);
        check(k.name);
    }
    std::memset(out.data(), sentinel, layout.bytes);
    camsnap::copy_frame(g, slot.data(), out.data() + layout.origin, layout.stride_x, layout.stride_y);
    check("copy_frame");
    return 0;
}
