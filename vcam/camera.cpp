// The V4L2 driver of one node: formats, buffer queues, the frame clock, priorities, fault
// plans and the record of requests, as uvcvideo and vb2 answer them.
#include "camera.h"

#include "hostile.h"
#include "libc.h"
#include "names.h"
#include "pattern.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>

namespace vcam {
namespace {

constexpr uint32_t kCapture = V4L2_BUF_TYPE_VIDEO_CAPTURE;
constexpr uint32_t kUserptr = V4L2_MEMORY_USERPTR;
constexpr uint32_t kMmap = V4L2_MEMORY_MMAP;
// uvcvideo stamps buffers with the monotonic clock at the start of the exposure.
constexpr uint32_t kTimestampFlags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
constexpr uint32_t kBufferCaps = V4L2_BUF_CAP_SUPPORTS_USERPTR | V4L2_BUF_CAP_SUPPORTS_MMAP |
                                 V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
uint64_t g_allocations = 0;  // callers hold the registry lock

uint32_t snap(uint32_t v, uint32_t lo, uint32_t hi, uint32_t step) {
    if (step == 0) step = 1;
    if (v <= lo) return lo;
    if (v >= hi) return hi;
    uint64_t r = lo + (uint64_t(v - lo) + step / 2) / step * step;
    if (r > hi) r -= step;
    return uint32_t(r);
}

uint64_t distance(uint32_t a, uint32_t b) { return a > b ? a - b : b - a; }

// When frame `seq` of a stream started at `start` falls due at `fps` (> 0) frames a second.
Clock::time_point frame_due(Clock::time_point start, uint64_t seq, double fps) {
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seq / fps));
}

timeval to_timeval(Clock::time_point t) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    return timeval{time_t(us / 1000000), suseconds_t(us % 1000000)};
}


uint32_t gcd(uint32_t a, uint32_t b) { return b == 0 ? a : gcd(b, a % b); }

// The frame period in lowest terms (30 fps: 1/30, 7.5 fps: 2/15). A camera without a frame
// clock (fps 0) has no period: 0/1.
v4l2_fract frame_interval(double fps) {
    if (fps <= 0) return v4l2_fract{0, 1};
    uint32_t num = 1000, den = uint32_t(std::lround(fps * 1000));
    if (den == 0) den = 1;
    const uint32_t g = gcd(num, den);
    return v4l2_fract{num / g, den / g};
}

// CPU time rather than wall time: the fill runs on the caller's thread, and benchmarks take
// it out of the process's CPU time, which a busy machine would not stretch as it does wall
// time. Two clock reads cost about a microsecond per frame.
uint64_t thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

bool known_memory(uint32_t memory) { return memory == kUserptr || memory == kMmap; }

void answer_pix(const PixFormat &p, const Colorimetry &c, v4l2_format *f) {
    std::memset(&f->fmt, 0, sizeof f->fmt);
    f->fmt.pix.width = p.width;
    f->fmt.pix.height = p.height;
    f->fmt.pix.pixelformat = p.pixelformat;
    f->fmt.pix.field = V4L2_FIELD_NONE;
    f->fmt.pix.bytesperline = p.bytesperline;
    f->fmt.pix.sizeimage = p.sizeimage;
    f->fmt.pix.colorspace = c.colorspace;
    f->fmt.pix.ycbcr_enc = c.ycbcr_enc;
    f->fmt.pix.quantization = c.quantization;
    f->fmt.pix.xfer_func = c.xfer_func;
}

void record_answer(const PixFormat &p, Args &args) {
    args.emplace_back("answer_width", p.width);
    args.emplace_back("answer_height", p.height);
    args.emplace_back("answer_pixelformat", p.pixelformat);
    args.emplace_back("answer_bytesperline", p.bytesperline);
    args.emplace_back("answer_sizeimage", p.sizeimage);
}

void record_request(const v4l2_format *f, Args &args) {
    args.emplace_back("type", f->type);
    args.emplace_back("width", f->fmt.pix.width);
    args.emplace_back("height", f->fmt.pix.height);
    args.emplace_back("pixelformat", f->fmt.pix.pixelformat);
}

// The descriptions the kernel gives formats (v4l_fill_fmtdesc); others keep their fourcc.
struct FormatName {
    uint32_t fourcc;
    const char *description;
    bool compressed;
};

constexpr FormatName kFormatNames[] = {
    {V4L2_PIX_FMT_GREY, "8-bit Greyscale", false},      {V4L2_PIX_FMT_Y10, "10-bit Greyscale", false},
    {V4L2_PIX_FMT_Y12, "12-bit Greyscale", false},      {V4L2_PIX_FMT_Y16, "16-bit Greyscale", false},
    {V4L2_PIX_FMT_Y16_BE, "16-bit Greyscale BE", false}, {V4L2_PIX_FMT_Z16, "16-bit Depth", false},
    {V4L2_PIX_FMT_YUYV, "YUYV 4:2:2", false},           {V4L2_PIX_FMT_UYVY, "UYVY 4:2:2", false},
    {V4L2_PIX_FMT_YUV420, "Planar YUV 4:2:0", false},   {V4L2_PIX_FMT_YVU420, "Planar YVU 4:2:0", false},
    {V4L2_PIX_FMT_NV12, "Y/UV 4:2:0", false},           {V4L2_PIX_FMT_RGB24, "24-bit RGB 8-8-8", false},
    {V4L2_PIX_FMT_BGR24, "24-bit BGR 8-8-8", false},    {V4L2_PIX_FMT_RGB32, "32-bit A/XRGB 8-8-8-8", false},
    {V4L2_PIX_FMT_BGR32, "32-bit BGRA/X 8-8-8-8", false}, {V4L2_PIX_FMT_XBGR32, "32-bit BGRX 8-8-8-8", false},
    {V4L2_PIX_FMT_ABGR32, "32-bit BGRA 8-8-8-8", false}, {V4L2_PIX_FMT_MJPEG, "Motion-JPEG", true},
    {V4L2_PIX_FMT_H264, "H.264", true},
};

std::string fourcc_text(uint32_t f) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += char((f >> (8 * i)) & 0xff);
    return s;
}

}  // namespace

// The power-on format is the first size of the first format.
Node::Node(NodeConfig config) : config_(std::move(config)), current_colour_(config_.colour) {
    controls_.configure(config_.controls);
    if (!config_.formats.empty()) {
        const Format &f = config_.formats.front();
        current_ = f.sizes.empty() ? negotiate(0, 0, f.fourcc)
                                   : negotiate(f.sizes.front().min_w, f.sizes.front().min_h, f.fourcc);
    }
}

void Node::add_format(uint32_t fourcc, uint32_t pad) {
    config_.formats.push_back(Format{fourcc, pad, {}});
    if (config_.formats.size() == 1 && buffers_.empty()) current_ = negotiate(0, 0, fourcc);
}

bool Node::add_size(const FrameSize &size) {
    if (config_.formats.empty()) return false;
    config_.formats.back().sizes.push_back(size);
    // The power-on format is the first size of the first format.
    if (config_.formats.size() == 1 && config_.formats.front().sizes.size() == 1 && buffers_.empty()) {
        current_ = negotiate(size.min_w, size.min_h, config_.formats.front().fourcc);
    }
    return true;
}

void Node::set_fps(double fps, Clock::time_point now) {
    advance(now);
    config_.fps = fps;
    // The next frame falls due at once; the new rate applies from there.
    if (fps > 0) stream_start_ = now - std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(next_seq_ / fps));
}

void Node::add_fault(const std::string &request, uint64_t nth, int err) {
    faults_.push_back(Fault{request, calls_[request] + nth, err});
}

void Node::add_dqbuf_override(uint64_t nth, const DqbufOverride &o) {
    DqbufOverride d = o;
    d.at = calls_["DQBUF"] + nth;
    dqbuf_overrides_.push_back(d);
}

void Node::set_hostile(uint64_t seed, double rate) {
    hostile_ = rate < 0 ? nullptr : std::make_shared<Hostile>(seed, rate);
    hostile_seed_ = seed;
    hostile_rate_ = rate;
}

bool Node::hostile(uint64_t *seed, double *rate) const {
    *seed = hostile_seed_;
    *rate = hostile_rate_;
    return hostile_ != nullptr;
}

std::vector<Fault> Node::pending_faults() const {
    std::vector<Fault> pending;
    for (Fault f : faults_) {
        auto it = calls_.find(f.request);
        const uint64_t done = it == calls_.end() ? 0 : it->second;
        if (f.at <= done) continue;
        f.at -= done;
        pending.push_back(f);
    }
    return pending;
}

std::vector<DqbufOverride> Node::pending_dqbuf_overrides() const {
    auto it = calls_.find("DQBUF");
    const uint64_t done = it == calls_.end() ? 0 : it->second;
    std::vector<DqbufOverride> pending;
    for (DqbufOverride o : dqbuf_overrides_) {
        if (o.at <= done) continue;
        o.at -= done;
        pending.push_back(o);
    }
    return pending;
}

bool Node::gone() const { return unplugged_ || (hostile_ && hostile_->gone()); }

int Node::hostile_failure(const char *request) {
    if (unplugged_) return ENODEV;  // every request on an unplugged camera, as v4l2_ioctl answers
    if (!hostile_) return 0;
    const int err = hostile_->request_failure();
    // vb2 takes the buffers back before a driver can fail a stream-off; a vanished device
    // delivers nothing more.
    if (hostile_->gone() || (err && std::strcmp(request, "STREAMOFF") == 0)) stop_streaming();
    return err;
}

int Node::count_call(const std::string &request) {
    uint64_t n = ++calls_[request];
    for (const Fault &f : faults_) {
        if (f.request == request && f.at == n) return f.err;
    }
    return 0;
}

const DqbufOverride *Node::current_dqbuf_override() const {
    auto it = calls_.find("DQBUF");
    if (it == calls_.end()) return nullptr;
    for (const DqbufOverride &o : dqbuf_overrides_) {
        if (o.at == it->second) return &o;
    }
    return nullptr;
}

void Node::record(const char *name, Args args, int result) {
    log_.push_back(LogEntry{name, std::move(args), result});
    if (log_.size() > kLogLimit) log_.pop_front();
}

void Node::closed(int file) {
    priorities_.erase(file);
    controls_.closed(file);
    // Releasing the file that owns the queue stops the stream and frees the buffers.
    if (owner_ == file) {
        stop_streaming();
        release_buffers();
    }
}

uint32_t Node::max_priority() const {
    uint32_t highest = V4L2_PRIORITY_UNSET;
    for (const auto &p : priorities_) highest = std::max(highest, p.second);
    return highest;
}

bool Node::has_priority(int file) const {
    auto it = priorities_.find(file);
    return it != priorities_.end() && it->second >= max_priority();
}

int Node::g_priority(uint32_t *priority, Args &) const {
    *priority = max_priority();
    return 0;
}

int Node::s_priority(int file, const uint32_t *priority, Args &args) {
    args.emplace_back("priority", *priority);
    if (*priority < V4L2_PRIORITY_BACKGROUND || *priority > V4L2_PRIORITY_RECORD) return -EINVAL;
    priorities_[file] = *priority;
    return 0;
}

int Node::querycap(v4l2_capability *cap, Args &) const {
    if (config_.querycap_errno) return -config_.querycap_errno;
    std::memset(cap, 0, sizeof *cap);
    copy_name(cap->driver, sizeof cap->driver, "camsnap_vcam");
    copy_name(cap->card, sizeof cap->card, config_.card);
    copy_name(cap->bus_info, sizeof cap->bus_info, "platform:camsnap_vcam");
    cap->version = (6 << 16) | (1 << 8);
    cap->capabilities = config_.capabilities;
    cap->device_caps = config_.device_caps;
    return 0;
}

int Node::enum_fmt(v4l2_fmtdesc *d, Args &args) const {
    args.emplace_back("index", d->index);
    args.emplace_back("type", d->type);
    if (d->type != kCapture || d->index >= config_.formats.size()) return -EINVAL;
    const Format &f = config_.formats[d->index];
    const uint32_t index = d->index, type = d->type;
    std::memset(d, 0, sizeof *d);
    d->index = index;
    d->type = type;
    d->pixelformat = f.fourcc;
    copy_name(d->description, sizeof d->description, fourcc_text(f.fourcc));
    for (const FormatName &name : kFormatNames) {
        if (name.fourcc != f.fourcc) continue;
        copy_name(d->description, sizeof d->description, name.description);
        if (name.compressed) d->flags = V4L2_FMT_FLAG_COMPRESSED;
    }
    args.emplace_back("pixelformat", f.fourcc);
    return 0;
}

int Node::enum_framesizes(v4l2_frmsizeenum *e, Args &args) const {
    args.emplace_back("index", e->index);
    args.emplace_back("pixel_format", e->pixel_format);
    const Format *f = find_format(e->pixel_format);
    if (!f || e->index >= f->sizes.size()) return -EINVAL;
    const FrameSize &s = f->sizes[e->index];
    const uint32_t index = e->index, pixel_format = e->pixel_format;
    std::memset(e, 0, sizeof *e);
    e->index = index;
    e->pixel_format = pixel_format;
    e->type = s.type;
    if (s.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        e->discrete.width = s.min_w;
        e->discrete.height = s.min_h;
    } else {
        e->stepwise = v4l2_frmsize_stepwise{s.min_w, s.max_w, s.step_w, s.min_h, s.max_h, s.step_h};
    }
    return 0;
}

std::vector<double> Node::offered_rates() const {
    std::vector<double> rates;
    if (!config_.fixed_fps) rates = config_.rates;
    if (rates.empty() && config_.fps > 0) rates.push_back(config_.fps);
    std::sort(rates.begin(), rates.end(), std::greater<double>());
    return rates;
}

bool Node::size_offered(const Format &f, uint32_t width, uint32_t height) const {
    for (const FrameSize &s : f.sizes) {
        if (s.type == V4L2_FRMSIZE_TYPE_DISCRETE ? width == s.min_w && height == s.min_h
                                                 : width >= s.min_w && width <= s.max_w && height >= s.min_h &&
                                                       height <= s.max_h && (width - s.min_w) % s.step_w == 0 &&
                                                       (height - s.min_h) % s.step_h == 0)
            return true;
    }
    return false;
}

// The same rates for every format and size: the camera's frame clock does not depend on them.
int Node::enum_frameintervals(v4l2_frmivalenum *e, Args &args) const {
    args.emplace_back("index", e->index);
    args.emplace_back("pixel_format", e->pixel_format);
    args.emplace_back("width", e->width);
    args.emplace_back("height", e->height);
    const Format *f = find_format(e->pixel_format);
    if (!f || !size_offered(*f, e->width, e->height)) return -EINVAL;
    const std::vector<double> rates = offered_rates();
    if (e->index >= rates.size()) return -EINVAL;
    const v4l2_frmivalenum asked = *e;
    std::memset(e, 0, sizeof *e);
    e->index = asked.index;
    e->pixel_format = asked.pixel_format;
    e->width = asked.width;
    e->height = asked.height;
    e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
    e->discrete = frame_interval(rates[asked.index]);
    return 0;
}

const Format *Node::find_format(uint32_t fourcc) const {
    for (const Format &f : config_.formats) {
        if (f.fourcc == fourcc) return &f;
    }
    return nullptr;
}

PixFormat Node::negotiate(uint32_t width, uint32_t height, uint32_t pixelformat) const {
    const Format *f = find_format(pixelformat);
    // Real drivers answer an unknown format with one they have rather than failing.
    if (!f && !config_.formats.empty()) f = &config_.formats.front();
    PixFormat p;
    p.pixelformat = f ? f->fourcc : pixelformat;
    p.width = width;
    p.height = height;
    uint64_t best = UINT64_MAX;
    for (const FrameSize &s : f ? f->sizes : std::vector<FrameSize>{}) {
        uint32_t w = s.min_w, h = s.min_h;
        if (s.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
            w = snap(width, s.min_w, s.max_w, s.step_w);
            h = snap(height, s.min_h, s.max_h, s.step_h);
        }
        uint64_t d = distance(w, width) + distance(h, height);
        if (d < best) {
            best = d;
            p.width = w;
            p.height = h;
        }
    }
    Geometry g = geometry_for(p.pixelformat, p.width, p.height, f ? f->pad : 0);
    p.bytesperline = g.bytesperline;
    p.sizeimage = g.sizeimage;
    return p;
}

int Node::g_fmt(v4l2_format *f, Args &args) const {
    args.emplace_back("type", f->type);
    if (f->type != kCapture) return -EINVAL;
    answer_pix(current_, current_colour_, f);
    record_answer(current_, args);
    return 0;
}

// What S_FMT would answer, without changing anything; allowed while streaming.
int Node::try_fmt(v4l2_format *f, Args &args) const {
    record_request(f, args);
    if (f->type != kCapture) return -EINVAL;
    PixFormat p = negotiate(f->fmt.pix.width, f->fmt.pix.height, f->fmt.pix.pixelformat);
    answer_pix(p, config_.colour, f);
    record_answer(p, args);
    return 0;
}

int Node::s_fmt(int, v4l2_format *f, Args &args) {
    record_request(f, args);
    if (f->type != kCapture) return -EINVAL;
    if (!buffers_.empty() || streaming_) return -EBUSY;
    PixFormat p = negotiate(f->fmt.pix.width, f->fmt.pix.height, f->fmt.pix.pixelformat);
    const Override &o = override_;
    if (o.mask & kWidth) p.width = o.pix.width;
    if (o.mask & kHeight) p.height = o.pix.height;
    if (o.mask & kBytesperline) p.bytesperline = o.pix.bytesperline;
    if (o.mask & kSizeimage) p.sizeimage = o.pix.sizeimage;
    if (o.mask & kPixelformat) p.pixelformat = o.pix.pixelformat;
    Colorimetry c = config_.colour;
    if (o.mask & kColorspace) c.colorspace = o.colour.colorspace;
    if (o.mask & kYcbcrEnc) c.ycbcr_enc = o.colour.ycbcr_enc;
    if (o.mask & kQuantization) c.quantization = o.colour.quantization;
    if (o.mask & kXferFunc) c.xfer_func = o.colour.xfer_func;
    if (hostile_) hostile_->answer_format(p);
    current_ = p;
    current_colour_ = c;
    answer_pix(p, c, f);
    record_answer(p, args);
    return 0;
}

int Node::g_parm(v4l2_streamparm *p, Args &args) const {
    args.emplace_back("type", p->type);
    if (p->type != kCapture) return -EINVAL;
    const uint32_t type = p->type;
    std::memset(p, 0, sizeof *p);
    p->type = type;
    // No frame clock (fps 0), no frame period to offer. read() is not served: no read buffers.
    if (config_.fps > 0) p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    p->parm.capture.timeperframe = frame_interval(config_.fps);
    args.emplace_back("numerator", p->parm.capture.timeperframe.numerator);
    args.emplace_back("denominator", p->parm.capture.timeperframe.denominator);
    return 0;
}

// The offered rate nearest to the one asked for becomes the frame rate, as uvcvideo picks
// the nearest frame interval. A fraction with a 0 in it names no rate and keeps the current one.
int Node::s_parm(v4l2_streamparm *p, Args &args) {
    args.emplace_back("type", p->type);
    args.emplace_back("numerator", p->parm.capture.timeperframe.numerator);
    args.emplace_back("denominator", p->parm.capture.timeperframe.denominator);
    if (p->type != kCapture) return -EINVAL;
    const v4l2_fract t = p->parm.capture.timeperframe;
    const std::vector<double> rates = offered_rates();
    if (t.numerator != 0 && t.denominator != 0 && !rates.empty()) {
        const double asked = double(t.numerator) / t.denominator;  // seconds per frame
        double best = rates.front();
        for (double r : rates) {
            if (std::fabs(1 / r - asked) < std::fabs(1 / best - asked)) best = r;
        }
        if (best != config_.fps) set_fps(best, Clock::now());
    }
    Args answer;
    g_parm(p, answer);
    args.emplace_back("answer_numerator", p->parm.capture.timeperframe.numerator);
    args.emplace_back("answer_denominator", p->parm.capture.timeperframe.denominator);
    return 0;
}

int Node::enuminput(v4l2_input *in, Args &args) const {
    args.emplace_back("index", in->index);
    if (in->index != 0) return -EINVAL;
    std::memset(in, 0, sizeof *in);
    copy_name(in->name, sizeof in->name, "Camera 1");
    in->type = V4L2_INPUT_TYPE_CAMERA;
    return 0;
}

int Node::g_input(int *index, Args &) const {
    *index = 0;
    return 0;
}

int Node::s_input(const int *index, Args &args) const {
    args.emplace_back("index", *index);
    return *index == 0 ? 0 : -EINVAL;
}

int Node::queryctrl(v4l2_queryctrl *q, Args &args) const {
    args.emplace_back("id", q->id);
    v4l2_query_ext_ctrl e{};
    e.id = q->id;
    if (int r = controls_.query(&e)) return r;
    std::memset(q, 0, sizeof *q);
    q->id = e.id;
    q->type = e.type;
    std::memcpy(q->name, e.name, sizeof q->name);
    q->name[sizeof q->name - 1] = 0;
    q->minimum = int32_t(e.minimum);
    q->maximum = int32_t(e.maximum);
    q->step = int32_t(e.step);
    q->default_value = int32_t(e.default_value);
    q->flags = e.flags;
    args.emplace_back("answer_id", q->id);
    return 0;
}

int Node::query_ext_ctrl(v4l2_query_ext_ctrl *q, Args &args) const {
    args.emplace_back("id", q->id);
    if (int r = controls_.query(q)) return r;
    args.emplace_back("answer_id", q->id);
    return 0;
}

int Node::querymenu(v4l2_querymenu *m, Args &args) const {
    args.emplace_back("id", int64_t(m->id));
    args.emplace_back("index", int64_t(m->index));
    return controls_.querymenu(m);
}

int Node::g_ctrl(v4l2_control *c, Args &args) const {
    args.emplace_back("id", c->id);
    if (int r = controls_.get(c)) return r;
    args.emplace_back("value", c->value);
    return 0;
}

int Node::s_ctrl(int file, v4l2_control *c, Args &args) {
    args.emplace_back("id", c->id);
    args.emplace_back("value", c->value);
    if (int r = controls_.set(file, c)) return r;
    args.emplace_back("answer_value", c->value);
    return 0;
}

namespace {

// Keys of the first controls of an extended request in the record (later ones are not listed).
constexpr const char *kExtIds[] = {"id0", "id1", "id2", "id3", "id4", "id5", "id6", "id7"};
constexpr const char *kExtValues[] = {"value0", "value1", "value2", "value3",
                                      "value4", "value5", "value6", "value7"};
constexpr uint32_t kExtListed = sizeof kExtIds / sizeof kExtIds[0];

void record_ext_request(const v4l2_ext_controls *cs, Args &args) {
    args.emplace_back("which", cs->which);
    args.emplace_back("count", cs->count);
}

// The controls as the request answered them (their values when it succeeded).
int record_ext_answer(const v4l2_ext_controls *cs, int result, Args &args) {
    args.emplace_back("error_idx", cs->error_idx);
    const uint32_t listed = std::min(cs->count, kExtListed);
    if (!mapped(reinterpret_cast<unsigned long>(cs->controls), listed * sizeof(v4l2_ext_control))) return result;
    for (uint32_t i = 0; i < listed; ++i) {
        args.emplace_back(kExtIds[i], int64_t(cs->controls[i].id));
        if (result == 0) args.emplace_back(kExtValues[i], int64_t(cs->controls[i].value));
    }
    return result;
}

}  // namespace

int Node::g_ext_ctrls(v4l2_ext_controls *cs, Args &args) const {
    record_ext_request(cs, args);
    return record_ext_answer(cs, controls_.get_ext(cs), args);
}

int Node::s_ext_ctrls(int file, v4l2_ext_controls *cs, Args &args) {
    record_ext_request(cs, args);
    return record_ext_answer(cs, controls_.set_ext(file, cs, true), args);
}

int Node::try_ext_ctrls(v4l2_ext_controls *cs, Args &args) {
    record_ext_request(cs, args);
    return record_ext_answer(cs, controls_.set_ext(-1, cs, false), args);
}

int Node::subscribe_event(int file, v4l2_event_subscription *sub, Args &args) {
    args.emplace_back("type", sub->type);
    args.emplace_back("id", sub->id);
    args.emplace_back("flags", sub->flags);
    return controls_.subscribe(file, sub);
}

int Node::unsubscribe_event(int file, v4l2_event_subscription *sub, Args &args) {
    args.emplace_back("type", sub->type);
    args.emplace_back("id", sub->id);
    return controls_.unsubscribe(file, sub);
}

int Node::dqevent(int file, v4l2_event *ev, Args &args) {
    if (int r = controls_.dequeue(file, ev)) return r;
    args.emplace_back("type", ev->type);
    args.emplace_back("id", ev->id);
    args.emplace_back("changes", ev->u.ctrl.changes);
    args.emplace_back("value", ev->u.ctrl.value);
    args.emplace_back("sequence", ev->sequence);
    return 0;
}

// Appends `count` buffers of `length` bytes; memory-mapped ones get their own memory file
// each, placed after the last buffer's in the node's offset space.
int Node::add_buffers(uint32_t memory, uint32_t count, uint32_t length) {
    std::vector<Buffer> made(count);
    uint32_t offset = 0;
    if (!buffers_.empty() && buffers_.back().memory)
        offset = buffers_.back().offset + uint32_t(buffers_.back().memory->size());
    for (Buffer &b : made) {
        b.length = length;
        if (memory != kMmap) continue;
        b.memory = std::make_shared<BufferMemory>(length);
        if (!b.memory->ok()) return -ENOMEM;
        b.offset = offset;
        offset += uint32_t(b.memory->size());
    }
    for (Buffer &b : made) buffers_.push_back(std::move(b));
    return 0;
}

int Node::allocate(int file, uint32_t memory, uint32_t count) {
    release_buffers();
    if (int r = add_buffers(memory, count, current_.sizeimage)) {
        release_buffers();
        return r;
    }
    set_memory(memory);
    owner_ = file;
    generation_ = ++g_allocations;
    return 0;
}

int Node::reqbufs(int file, v4l2_requestbuffers *rb, Args &args) {
    args.emplace_back("count", rb->count);
    args.emplace_back("type", rb->type);
    args.emplace_back("memory", rb->memory);
    if (rb->type != kCapture || !known_memory(rb->memory)) return -EINVAL;
    if (busy_for(file) || streaming_) return -EBUSY;
    if (rb->count == 0) {
        release_buffers();
    } else {
        uint32_t n = hostile_ ? hostile_->granted(rb->count)
                              : std::min(std::max(rb->count, config_.min_buffers), config_.max_buffers);
        if (n == 0) {
            release_buffers();
        } else if (int r = allocate(file, rb->memory, n)) {
            return r;
        }
        rb->count = n;
    }
    rb->capabilities = kBufferCaps;
    rb->flags = 0;
    std::memset(rb->reserved, 0, sizeof rb->reserved);
    args.emplace_back("granted", rb->count);
    return 0;
}

// More buffers for the queue, of the size the format asks (at least the current one), as
// vb2 adds them; count 0 only answers where they would start and what the queue can do.
int Node::create_bufs(int file, v4l2_create_buffers *c, Args &args) {
    args.emplace_back("count", c->count);
    args.emplace_back("memory", c->memory);
    args.emplace_back("sizeimage", c->format.fmt.pix.sizeimage);
    if (c->format.type != kCapture || !known_memory(c->memory)) return -EINVAL;
    if (busy_for(file)) return -EBUSY;
    c->capabilities = kBufferCaps;
    c->flags = 0;
    std::memset(c->reserved, 0, sizeof c->reserved);
    c->index = uint32_t(buffers_.size());
    if (c->count == 0) return 0;
    if (!buffers_.empty() && c->memory != memory_) return -EINVAL;
    const uint32_t length = c->format.fmt.pix.sizeimage;
    if (length < current_.sizeimage) return -EINVAL;
    if (buffers_.size() >= config_.max_buffers) return -ENOBUFS;
    const uint32_t n = std::min<uint32_t>(c->count, config_.max_buffers - uint32_t(buffers_.size()));
    const bool first = buffers_.empty();
    if (int r = add_buffers(c->memory, n, length)) {
        buffers_.resize(c->index);
        return r;
    }
    if (first) {
        set_memory(c->memory);
        owner_ = file;
        generation_ = ++g_allocations;
    }
    c->count = n;
    args.emplace_back("granted", n);
    return 0;
}

// A memory-mapped buffer as a descriptor of its own (a dup of its memory file): mapping it
// at offset 0 shows the buffer, as a DMABUF from vb2 does.
int Node::expbuf(v4l2_exportbuffer *e, Args &args) const {
    args.emplace_back("index", e->index);
    if (e->type != kCapture || memory_ != kMmap || e->index >= buffers_.size() || e->plane != 0 ||
        (e->flags & ~uint32_t(O_CLOEXEC | O_ACCMODE)))
        return -EINVAL;
    const int fd = libc::duplicate(buffers_[e->index].memory->fd(), (e->flags & O_CLOEXEC) != 0);
    if (fd < 0) return -errno;
    e->fd = fd;
    std::memset(e->reserved, 0, sizeof e->reserved);
    args.emplace_back("exported", fd);
    return 0;
}

// The buffer record as QUERYBUF and DQBUF answer it.
void Node::describe_buffer(const Buffer &buf, uint32_t index, v4l2_buffer *b) const {
    std::memset(b, 0, sizeof *b);
    b->index = index;
    b->type = kCapture;
    b->memory = memory_;
    b->bytesused = buf.bytesused;
    b->flags = kTimestampFlags;
    if (buf.state == BufState::Queued) b->flags |= V4L2_BUF_FLAG_QUEUED;
    if (buf.state == BufState::Done) b->flags |= V4L2_BUF_FLAG_DONE;
    if (buf.error) b->flags |= V4L2_BUF_FLAG_ERROR;
    if (buf.mappings > 0) b->flags |= V4L2_BUF_FLAG_MAPPED;
    b->field = V4L2_FIELD_NONE;
    b->timestamp = buf.timestamp;
    b->sequence = buf.sequence;
    if (memory_ == kMmap) b->m.offset = buf.offset;
    else b->m.userptr = buf.userptr;
    b->length = buf.length;
}

int Node::querybuf(v4l2_buffer *b, Args &args) const {
    args.emplace_back("index", b->index);
    args.emplace_back("type", b->type);
    if (b->type != kCapture || b->index >= buffers_.size()) return -EINVAL;
    describe_buffer(buffers_[b->index], b->index, b);
    args.emplace_back("memory", b->memory);
    args.emplace_back("offset", memory_ == kMmap ? int64_t(b->m.offset) : int64_t(b->m.userptr));
    args.emplace_back("length", b->length);
    args.emplace_back("flags", b->flags);
    return 0;
}

int Node::qbuf(int file, v4l2_buffer *b, Args &args) {
    args.emplace_back("index", b->index);
    args.emplace_back("type", b->type);
    args.emplace_back("memory", b->memory);
    args.emplace_back("userptr", int64_t(b->m.userptr));
    args.emplace_back("length", b->length);
    if (b->type != kCapture || !known_memory(b->memory)) return -EINVAL;
    if (busy_for(file)) return -EBUSY;
    if (b->memory != memory_ || b->index >= buffers_.size()) return -EINVAL;
    Buffer &buf = buffers_[b->index];
    if (buf.state != BufState::Dequeued) return -EINVAL;
    if (memory_ == kUserptr) {
        if (b->length < current_.sizeimage || b->m.userptr == 0) return -EINVAL;
        if (!mapped(b->m.userptr, b->length)) return -EFAULT;
        buf.userptr = b->m.userptr;
        buf.length = b->length;
    }
    // Frames that fell due while nothing was queued are lost before this buffer joins.
    advance(Clock::now());
    buf.state = BufState::Queued;
    buf.error = false;
    queued_.push_back(b->index);
    b->flags = V4L2_BUF_FLAG_QUEUED | kTimestampFlags;
    if (memory_ == kMmap) {
        if (buf.mappings > 0) b->flags |= V4L2_BUF_FLAG_MAPPED;
        b->m.offset = buf.offset;
        b->length = buf.length;
    }
    ++qbuf_total_;
    return 0;
}

int Node::dqbuf(int file, v4l2_buffer *b, Args &args) {
    args.emplace_back("type", b->type);
    args.emplace_back("memory", b->memory);
    if (b->type != kCapture || !known_memory(b->memory)) return -EINVAL;
    if (busy_for(file)) return -EBUSY;
    if (unplugged_) return -ENODEV;
    if (!streaming_ || b->memory != memory_) return -EINVAL;
    Clock::time_point now = Clock::now();
    advance(now);
    fill_on_demand(now);
    if (unplugged_) return -ENODEV;
    if (done_.empty()) return -EAGAIN;
    const uint32_t index = done_.front();
    done_.pop_front();
    Buffer &buf = buffers_[index];
    buf.state = BufState::Dequeued;
    describe_buffer(buf, index, b);
    if (const DqbufOverride *o = current_dqbuf_override()) {
        if (o->mask & kIndex) b->index = o->index;
        if (o->mask & kFlags) b->flags = o->flags;
        if (o->mask & kBytesused) b->bytesused = o->bytesused;
    }
    if (hostile_) hostile_->answer_dequeue(b, uint32_t(buffers_.size()), current_.sizeimage);
    ++dqbuf_total_;
    args.emplace_back("index", b->index);
    args.emplace_back("sequence", b->sequence);
    args.emplace_back("timestamp", int64_t(b->timestamp.tv_sec) * 1000000000 + int64_t(b->timestamp.tv_usec) * 1000);
    args.emplace_back("bytesused", b->bytesused);
    args.emplace_back("flags", b->flags);
    return 0;
}

int Node::map_buffer(void *addr, size_t length, int prot, int flags, off_t offset, void **out,
                     uint32_t *index, Args &args) {
    args.emplace_back("offset", offset);
    args.emplace_back("length", int64_t(length));
    args.emplace_back("prot", prot);
    args.emplace_back("flags", flags);
    if (memory_ != kMmap || offset < 0) return -EINVAL;
    auto it = std::find_if(buffers_.begin(), buffers_.end(),
                           [&](const Buffer &b) { return off_t(b.offset) == offset; });
    if (it == buffers_.end()) return -EINVAL;
    const int type = flags & MAP_TYPE;
    // Capture buffers are shared with the driver and must be readable.
    if ((type != MAP_SHARED && type != MAP_SHARED_VALIDATE) || !(prot & PROT_READ)) return -EINVAL;
    if (length == 0 || length > it->memory->size()) return -EINVAL;
    void *p = libc::mmap(addr, length, prot, flags, it->memory->fd(), 0);
    if (p == MAP_FAILED) return -errno;
    *out = p;
    *index = uint32_t(it - buffers_.begin());
    ++it->mappings;
    args.emplace_back("index", *index);
    return 0;
}

void Node::unmapped(uint64_t generation, uint32_t index) {
    if (generation == generation_ && index < buffers_.size() && buffers_[index].mappings > 0) {
        --buffers_[index].mappings;
    }
}

int Node::streamon(int file, const int *type, Args &args) {
    args.emplace_back("type", *type);
    if (uint32_t(*type) != kCapture) return -EINVAL;
    if (busy_for(file)) return -EBUSY;
    if (buffers_.empty()) return -EINVAL;
    if (streaming_) {
        ++streamon_total_;
        return 0;
    }
    // The feed is opened by the first stream of the process that streams, and read from then on.
    if (!config_.feed.empty() && !feed_.is_open()) {
        if (int r = feed_.open(config_.feed)) return r;
    }
    ++streamon_total_;
    feed_started_ = false;
    feed_next_due_ = Clock::time_point::max();
    streaming_ = true;
    stream_start_ = Clock::now();
    next_seq_ = 0;
    stream_delivered_ = 0;
    return 0;
}

int Node::streamoff(int file, const int *type, Args &args) {
    args.emplace_back("type", *type);
    if (uint32_t(*type) != kCapture) return -EINVAL;
    if (busy_for(file)) return -EBUSY;
    ++streamoff_total_;
    stop_streaming();
    return 0;
}

void Node::stop_streaming() {
    streaming_ = false;
    for (Buffer &b : buffers_) b.state = BufState::Dequeued;
    queued_.clear();
    done_.clear();
}

void Node::set_memory(uint32_t memory) {
    if (memory_ == kUserptr) --g_user_allocations;
    if (memory == kUserptr) ++g_user_allocations;
    memory_ = memory;
}

void Node::release_buffers() {
    buffers_.clear();
    // Mappings the application still holds keep their pages, as a driver's orphaned buffers do.
    set_memory(0);
    queued_.clear();
    done_.clear();
    owner_ = -1;
}

int Node::mapped_count() const {
    int n = 0;
    for (const Buffer &b : buffers_) n += b.mappings;
    return n;
}

bool Node::stopped() const {
    return config_.stop_after >= 0 && stream_delivered_ >= uint64_t(config_.stop_after);
}

void Node::advance(Clock::time_point now) {
    if (!streaming_) return;
    if (!config_.feed.empty()) return advance_feed(now);
    if (config_.fps <= 0 || now < stream_start_) return;
    const double elapsed = std::chrono::duration<double>(now - stream_start_).count();
    const uint64_t due = uint64_t(std::floor(elapsed * config_.fps)) + 1;  // frame 0 at stream-on
    while (next_seq_ < due) {
        if (config_.skip.count(next_seq_)) {
            ++next_seq_;  // numbered, never delivered
            continue;
        }
        if (queued_.empty() || stopped()) {
            next_seq_ = due;  // no buffer to put them in: the sensor's frames are lost
            break;
        }
        fill_next(frame_due(stream_start_, next_seq_, config_.fps));
    }
}

void Node::advance_feed(Clock::time_point now) {
    feed_next_due_ = Clock::time_point::max();
    while (feed_.ready()) {
        const FeedHeader &h = feed_.header();
        if (!feed_started_) {  // the first record goes out at once
            feed_started_ = true;
            feed_base_ = now;
            feed_first_ts_ = h.timestamp_ns;
        }
        const Clock::time_point due =
            feed_base_ + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::nanoseconds(int64_t(h.timestamp_ns - feed_first_ts_)));
        if (due > now) {
            feed_next_due_ = due;
            return;
        }
        const FeedRecord record = feed_.take();
        next_seq_ = uint64_t(record.header.sequence) + 1;
        // No buffer to put it in: lost, as the sensor's frames are, its number used up.
        if (!queued_.empty() && !stopped()) fill(record.header.sequence, due, &record);
    }
    if (feed_.ended() && done_.empty()) unplug();
}

void Node::unplug() {
    unplugged_ = true;
    stop_streaming();
}

void Node::fill_on_demand(Clock::time_point now) {
    if (streaming_ && config_.fps <= 0 && config_.feed.empty() && done_.empty() && !queued_.empty() && !stopped()) {
        fill_next(now);
    }
}

uint64_t Node::delivered_from(uint64_t seq) const {
    while (config_.skip.count(seq)) ++seq;
    return seq;
}

void Node::fill_next(Clock::time_point when) {
    next_seq_ = delivered_from(next_seq_);
    fill(uint32_t(next_seq_), when, nullptr);
    ++next_seq_;
}

void Node::fill(uint32_t seq, Clock::time_point when, const FeedRecord *record) {
    const uint32_t index = queued_.front();
    queued_.pop_front();
    Buffer &b = buffers_[index];
    write_frame(b, seq, record ? &record->frame : nullptr);
    b.sequence = seq;
    b.timestamp = to_timeval(when);
    b.error = record && (record->header.flags & V4L2_BUF_FLAG_ERROR);
    b.state = BufState::Done;
    done_.push_back(index);
    ++stream_delivered_;
    ++frames_delivered_;
}

void Node::write_frame(Buffer &b, uint32_t seq, const std::string *exact) {
    const uint64_t t0 = thread_cpu_ns();
    if (memory_ == kMmap) {
        write_frame_to(b, b.memory->data(), seq, exact);
    } else if (mapped(b.userptr, b.length)) {
        write_frame_to(b, reinterpret_cast<uint8_t *>(b.userptr), seq, exact);
    } else {
        // Memory unmapped since QBUF: a driver would write into the pages it pinned, which the
        // process no longer sees. The frame is lost to the application either way.
        b.bytesused = std::min(current_.sizeimage, b.length);
    }
    fill_ns_ += thread_cpu_ns() - t0;
}

void Node::write_frame_to(Buffer &b, uint8_t *dst, uint32_t seq, const std::string *exact) {
    if (!exact && !frames_.empty()) exact = &frames_[seq % frames_.size()];
    if (exact) {
        const std::string &f = *exact;
        b.bytesused = uint32_t(std::min<size_t>(f.size(), b.length));
        std::memcpy(dst, f.data(), b.bytesused);
        return;
    }
    b.bytesused = std::min(current_.sizeimage, b.length);
    render(current_.pixelformat, current_.width, current_.height, current_.bytesperline, b.bytesused,
           seq, dst);
}

short Node::poll_events(Clock::time_point now, int file, short requested) {
    if (gone()) return POLLERR | POLLHUP;
    const short event = controls_.event_pending(file) ? POLLPRI : 0;
    if (!(requested & (POLLIN | POLLRDNORM))) return event;
    if (!streaming_) return POLLERR | event;
    advance(now);
    fill_on_demand(now);
    return (done_.empty() ? 0 : POLLIN | POLLRDNORM) | event;
}

Clock::time_point Node::next_fill() const {
    if (unplugged_) return Clock::now();
    // The feed's next record when it is due, and a look at the feed a millisecond on meanwhile:
    // the writer's data wakes nobody by itself, and reading ahead keeps large frames on time.
    if (streaming_ && !config_.feed.empty())
        return std::min(feed_next_due_, Clock::now() + std::chrono::milliseconds(1));
    if (!streaming_ || config_.fps <= 0 || queued_.empty() || stopped()) return Clock::time_point::max();
    return frame_due(stream_start_, delivered_from(next_seq_), config_.fps);
}

std::string Node::state_text() const {
    std::ostringstream s;
    s << "open_fds=" << priorities_.size() << " streaming=" << int(streaming_) << " allocated=" << buffers_.size()
      << " queued=" << queued_.size() + done_.size() << " qbuf_total=" << qbuf_total_
      << " dqbuf_total=" << dqbuf_total_ << " streamon_total=" << streamon_total_
      << " streamoff_total=" << streamoff_total_ << " frames_delivered=" << frames_delivered_
      << " sequence=" << next_seq_ << " pixelformat=" << current_.pixelformat << " width=" << current_.width
      << " height=" << current_.height << " bytesperline=" << current_.bytesperline
      << " sizeimage=" << current_.sizeimage << " memory=" << memory_ << " mapped=" << mapped_count()
      << " fill_ns=" << fill_ns_ << " gone=" << int(gone()) << "\n";
    return s.str();
}

std::string Node::log_text() const {
    std::ostringstream s;
    for (const LogEntry &e : log_) {
        s << e.name << ' ' << e.result;
        for (const auto &a : e.args) s << ' ' << a.first << '=' << a.second;
        s << '\n';
    }
    return s.str();
}

}  // namespace vcam
