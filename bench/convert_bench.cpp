// Frame conversion speed: every YU12 to RGB kernel this CPU runs, the scalar
// reference, libyuv J420ToRAW, OpenCV cvtColor and a memcpy of the output
// bytes, at three frame sizes; the 16-bit copy against memcpy of its bytes;
// camera objects' "YU12", "NV12" and "YUYV" frames at 1080p in every Y'CbCr
// variant through each kernel, beside OpenCV's limited-range BT.601.
// Prints ns per pixel and ratios; the last lines compare the fastest kernel
// with libyuv at 1080p and give each variant's ns per 1080p frame.
#include "convert/frame.h"
#include "convert/kernels.h"
#include "convert/pixels.h"

#include <benchmark/benchmark.h>
#include <libyuv/convert_argb.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using camsnap::FrameGeometry;

struct Size {
    const char *name;
    int32_t width, height;
};

constexpr Size kSizes[] = {{"480p", 640, 480}, {"1080p", 1920, 1080}, {"2160p", 3840, 2160}};

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto &b : v) b = static_cast<uint8_t>(byte(rng));
    return v;
}

// One packed YU12 frame and an RGB output, shared by every contender of a size.
struct Yu12Case {
    explicit Yu12Case(const Size &s)
        : w(s.width), h(s.height), frame(random_bytes(size_t(w) * h * 3 / 2, 1)),
          out(size_t(w) * h * 3) {
        g.width = w;
        g.height = h;
        g.stride = w;
        g.bpp = 1;
        g.current_mode = camsnap::RGB;
        g.frame_size = static_cast<int32_t>(frame.size());
    }
    const uint8_t *y() const { return frame.data(); }
    const uint8_t *u() const { return frame.data() + size_t(w) * h; }
    const uint8_t *v() const { return u() + size_t(w / 2) * (h / 2); }
    int32_t w, h;
    FrameGeometry g;
    std::vector<uint8_t> frame, out;
};

using Body = std::function<void()>;

struct Entry {
    std::string name;  // "<size>/<group>/<contender>"
    int64_t pixels;
};
std::vector<Entry> g_entries;

void add(const std::string &name, int64_t pixels, Body body) {
    g_entries.push_back({name, pixels});
    benchmark::RegisterBenchmark(name.c_str(), [body](benchmark::State &st) {
        for (auto _ : st) {
            body();
            benchmark::ClobberMemory();
        }
    })->Unit(benchmark::kMicrosecond)->UseRealTime();
}

void register_yu12(const Size &s) {
    auto c = std::make_shared<Yu12Case>(s);
    const std::string p = std::string(s.name) + "/yu12_rgb/";
    const int64_t px = int64_t{c->w} * c->h;
    add(p + "reference", px, [c] {
        camsnap::copy_frame_reference(c->g, c->frame.data(), c->out.data(), 3, 3 * c->w);
    });
    for (const auto &k : camsnap::yu12_rgb_kernels()) {
        if (std::strcmp(k.name, "scalar") == 0) continue;  // the reference, row by row
        add(p + "camsnap_" + k.name, px, [c, k] {
            camsnap::copy_frame_with(k, c->g, c->frame.data(), c->out.data(), 3, 3 * c->w);
        });
    }
    add(p + "copy_frame", px, [c] {
        camsnap::copy_frame(c->g, c->frame.data(), c->out.data(), 3, 3 * c->w);
    });
    add(p + "libyuv_J420ToRAW", px, [c] {
        libyuv::J420ToRAW(c->y(), c->w, c->u(), c->w / 2, c->v(), c->w / 2, c->out.data(),
                          3 * c->w, c->w, c->h);
    });
    add(p + "opencv_cvtColor", px, [c] {
        const cv::Mat src(c->h * 3 / 2, c->w, CV_8UC1, c->frame.data());
        cv::Mat dst(c->h, c->w, CV_8UC3, c->out.data());
        cv::cvtColor(src, dst, cv::COLOR_YUV2RGB_I420);
    });
    auto from = std::make_shared<std::vector<uint8_t>>(random_bytes(c->out.size(), 2));
    add(p + "memcpy", px, [c, from] { std::memcpy(c->out.data(), from->data(), from->size()); });
}

struct FrameFormat {
    const char *name;
    camsnap::PixelLayout layout;
    int opencv_code;  // limited-range BT.601 into RGB
};
constexpr FrameFormat kFrameFormats[] = {
    {"yu12", camsnap::PixelLayout::yu12, cv::COLOR_YUV2RGB_I420},
    {"nv12", camsnap::PixelLayout::nv12, cv::COLOR_YUV2RGB_NV12},
    {"yuyv", camsnap::PixelLayout::yuyv, cv::COLOR_YUV2RGB_YUYV},
};

struct NamedVariant {
    const char *name;
    camsnap::YcbcrVariant v;
};
constexpr NamedVariant kVariants[] = {
    {"bt601_full", {camsnap::Encoding::bt601, camsnap::Quantization::full}},
    {"bt601_limited", {camsnap::Encoding::bt601, camsnap::Quantization::limited}},
    {"bt709_full", {camsnap::Encoding::bt709, camsnap::Quantization::full}},
    {"bt709_limited", {camsnap::Encoding::bt709, camsnap::Quantization::limited}},
};

// A camera object's frame of one format and variant: convert_pixels (what a
// Camera's read does) and each kernel's rows through the same plane loop;
// OpenCV beside limited-range BT.601, the variant it implements.
void register_camera_frames(const Size &s) {
    for (const FrameFormat &fmt : kFrameFormats) {
        for (const NamedVariant &v : kVariants) {
            struct Case {
                camsnap::PixelFrame f;
                std::vector<uint8_t> frame, out;
            };
            auto c = std::make_shared<Case>();
            c->f.layout = fmt.layout;
            c->f.width = s.width;
            c->f.height = s.height;
            c->f.variant = v.v;
            const bool packed = fmt.layout == camsnap::PixelLayout::yuyv;
            c->f.stride = packed ? 2 * s.width : s.width;
            c->f.size = uint32_t(size_t(s.width) * s.height * (packed ? 2 : 3) / (packed ? 1 : 2));
            c->frame = random_bytes(c->f.size, 4);
            c->out.resize(size_t(3) * s.width * s.height);
            const std::string p = std::string(s.name) + "/" + fmt.name + "_" + v.name + "/";
            const int64_t px = int64_t{s.width} * s.height;
            add(p + "convert_pixels", px,
                [c] { camsnap::convert_pixels(c->f, c->frame.data(), c->out.data()); });
            for (const auto &k : camsnap::yu12_rgb_kernels()) {
                add(p + "camsnap_" + k.name, px, [c, k] {
                    camsnap::convert_pixels_with(k, c->f, c->frame.data(), c->out.data());
                });
            }
            if (&v != &kVariants[1]) continue;
            const int code = fmt.opencv_code;
            add(p + "opencv_cvtColor", px, [c, code, packed] {
                const cv::Mat src = packed ? cv::Mat(c->f.height, c->f.width, CV_8UC2, c->frame.data())
                                           : cv::Mat(c->f.height * 3 / 2, c->f.width, CV_8UC1,
                                                     c->frame.data());
                cv::Mat dst(c->f.height, c->f.width, CV_8UC3, c->out.data());
                cv::cvtColor(src, dst, code);
            });
        }
    }
}

void register_ir16(const Size &s, const char *layout, int32_t row_pad) {
    struct Ir16Case {
        FrameGeometry g;
        std::vector<uint8_t> frame, out;
    };
    auto c = std::make_shared<Ir16Case>();
    c->g.width = s.width;
    c->g.height = s.height;
    c->g.stride = 2 * s.width + row_pad;
    c->g.bpp = 2;
    c->g.current_mode = camsnap::IR16;
    c->frame = random_bytes(size_t(c->g.stride) * s.height, 3);
    c->g.frame_size = static_cast<int32_t>(c->frame.size());
    c->out.resize(size_t(2) * s.width * s.height);
    const std::string p = std::string(s.name) + "/ir16_" + layout + "/";
    const int64_t px = int64_t{s.width} * s.height;
    add(p + "copy_frame", px, [c, s] {
        camsnap::copy_frame(c->g, c->frame.data(), c->out.data(), 2, 2 * s.width);
    });
    add(p + "memcpy", px, [c] { std::memcpy(c->out.data(), c->frame.data(), c->out.size()); });
}

// Keeps the fastest repetition of each benchmark, in ns per pixel: the one
// least disturbed by whatever else shares the machine. Shows progress on
// stderr and leaves stdout to the table.
class Collector : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context &) override { return true; }
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
            if (r.error_occurred) {
                std::fprintf(stderr, "%s: %s\n", r.benchmark_name().c_str(),
                             r.error_message.c_str());
                continue;
            }
            const double ns = r.real_accumulated_time * 1e9 / double(r.iterations);
            auto it = best_.find(r.run_name.function_name);
            if (it == best_.end() || ns < it->second) best_[r.run_name.function_name] = ns;
            std::fprintf(stderr, "%-40s %12.1f us\n", r.run_name.function_name.c_str(), ns / 1e3);
        }
    }
    double ns_per_px(const Entry &e) const {
        auto it = best_.find(e.name);
        return it == best_.end() ? std::numeric_limits<double>::quiet_NaN()
                                 : it->second / double(e.pixels);
    }

private:
    std::map<std::string, double> best_;
};

std::string cpu_model() {
    FILE *f = std::fopen("/proc/cpuinfo", "r");
    if (!f) return "unknown";
    char line[512];
    std::string model = "unknown";
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "model name", 10) == 0) {
            model = std::strchr(line, ':') + 2;
            model.erase(model.find_last_not_of("\n") + 1);
            break;
        }
    }
    std::fclose(f);
    return model;
}

std::string group_of(const std::string &name) { return name.substr(0, name.rfind('/') + 1); }

double find(const Collector &c, const std::string &name) {
    for (const Entry &e : g_entries)
        if (e.name == name) return c.ns_per_px(e);
    return std::numeric_limits<double>::quiet_NaN();
}

// The fastest of the module's own kernels in a group.
double fastest_kernel(const Collector &c, const std::string &group) {
    double best = std::numeric_limits<double>::infinity();
    for (const Entry &e : g_entries)
        if (group_of(e.name) == group && e.name.find("/camsnap_") != std::string::npos)
            best = std::min(best, c.ns_per_px(e));
    return best;
}

// t / base with `digits` decimals, or "-" where the group has no such base.
std::string ratio(double t, double base, int digits) {
    if (std::isnan(base)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, t / base);
    return text;
}

// Camera frames at 1080p: us per frame of convert_pixels and of each kernel,
// and convert_pixels against OpenCV's limited-range BT.601 of the same format.
void print_frame_table(const Collector &c) {
    const double frame_px = 1920.0 * 1080.0;
    std::printf("\n1080p camera frames, us per frame:\n%-24s %14s", "format_variant", "convert_pixels");
    for (const auto &k : camsnap::yu12_rgb_kernels()) std::printf(" %9s", k.name);
    std::printf(" %9s %12s\n", "opencv", "x opencv");
    for (const FrameFormat &fmt : kFrameFormats) {
        const double cv_ns = find(c, std::string("1080p/") + fmt.name + "_bt601_limited/opencv_cvtColor");
        for (const NamedVariant &v : kVariants) {
            const std::string g = std::string("1080p/") + fmt.name + "_" + v.name + "/";
            const double prod = find(c, g + "convert_pixels");
            if (std::isnan(prod)) continue;
            std::printf("%-24s %14.0f", (std::string(fmt.name) + "_" + v.name).c_str(), prod * frame_px / 1e3);
            for (const auto &k : camsnap::yu12_rgb_kernels())
                std::printf(" %9.0f", find(c, g + "camsnap_" + k.name) * frame_px / 1e3);
            std::printf(" %9.0f %12s\n", cv_ns * frame_px / 1e3, ratio(prod, cv_ns, 2).c_str());
        }
    }
}

void print_table(const Collector &c) {
    std::printf("\nCPU: %s; kernels here:", cpu_model().c_str());
    for (const auto &k : camsnap::yu12_rgb_kernels()) std::printf(" %s", k.name);
    std::printf("; copy_frame uses %s\n\n", camsnap::yu12_rgb_best_kernel().name);
    std::printf("%-36s %9s %10s %10s %10s\n", "benchmark", "ns/px", "x libyuv", "x ref", "x memcpy");
    for (const Entry &e : g_entries) {
        const std::string group = group_of(e.name);
        const double t = c.ns_per_px(e);
        if (std::isnan(t)) continue;  // filtered out of this run
        const double libyuv = find(c, group + "libyuv_J420ToRAW");
        const double ref = find(c, group + "reference");
        const double mem = find(c, group + "memcpy");
        std::printf("%-36s %9.4f %10s %10s %10s\n", e.name.c_str(), t, ratio(t, libyuv, 3).c_str(),
                    ratio(t, ref, 4).c_str(), ratio(t, mem, 2).c_str());
    }
    std::printf("\n");
    for (const Size &s : kSizes) {
        const std::string g = std::string(s.name) + "/yu12_rgb/";
        const double k = fastest_kernel(c, g);
        if (std::isinf(k)) continue;
        std::printf("%s yu12_rgb: fastest kernel %.4f ns/px = %.3f x libyuv (goal <= 0.7), "
                    "%.1f times faster than the reference (goal >= 15)\n",
                    s.name, k, k / find(c, g + "libyuv_J420ToRAW"), find(c, g + "reference") / k);
        // Packed: rows gap-free on both sides, what a 16-bit camera delivers;
        // one memcpy. Padded: source rows 64 bytes apart, one memcpy per row,
        // against one memcpy of the packed bytes.
        const struct {
            const char *layout, *note;
        } ir16_lines[] = {{"packed", "(goal <= 1.3)"},
                          {"padded", "as one block (no goal: rows copied one by one)"}};
        for (const auto &line : ir16_lines) {
            const std::string i = std::string(s.name) + "/ir16_" + line.layout + "/";
            if (std::isnan(find(c, i + "memcpy"))) continue;
            std::printf("%s ir16 %s: copy_frame %.3f x memcpy of the same bytes %s\n", s.name,
                        line.layout, find(c, i + "copy_frame") / find(c, i + "memcpy"), line.note);
        }
    }
    const double r = fastest_kernel(c, "1080p/yu12_rgb/") / find(c, "1080p/yu12_rgb/libyuv_J420ToRAW");
    std::printf("yu12_rgb_1080p_vs_libyuv: %.3f\n", r);
    print_frame_table(c);
}

}  // namespace

int main(int argc, char **argv) {
    cv::setNumThreads(1);  // every contender converts on one core
    for (const Size &s : kSizes) {
        register_yu12(s);
        register_ir16(s, "packed", 0);
        register_ir16(s, "padded", 64);
    }
    register_camera_frames(kSizes[1]);
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    print_table(collector);
    benchmark::Shutdown();
    return 0;
}
