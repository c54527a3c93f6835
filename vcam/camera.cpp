#include "camera.h"

#include "pattern.h"

#include <poll.h>
#include <sys/mman.h>
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
// uvcvideo stamps buffers with the monotonic clock at the start of the exposure.
constexpr uint32_t kTimestampFlags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;

uint32_t snap(uint32_t v, uint32_t lo, uint32_t hi, uint32_t step) {
    if (step == 0) step = 1;
    if (v <= lo) return lo;
    if (v >= hi) return hi;
    uint64_t r = lo + (uint64_t(v - lo) + step / 2) / step * step;
    if (r > hi) r -= step;
    return uint32_t(r);
}

uint64_t distance(uint32_t a, uint32_t b) { return a > b ? a - b : b - a; }

timeval to_timeval(Clock::time_point t) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    return timeval{time_t(us / 1000000), suseconds_t(us % 1000000)};
}

void copy_name(uint8_t *dst, size_t cap, const std::string &src) {
    std::memset(dst, 0, cap);
    std::memcpy(dst, src.data(), std::min(src.size(), cap - 1));
}

// Whether [addr, addr + len) is mapped in this process. A driver pins user pages at QBUF and
// fails with EFAULT when they are not there; msync answers ENOMEM for unmapped ranges.
bool mapped(unsigned long addr, size_t len) {
    const unsigned long page = static_cast<unsigned long>(sysconf(_SC_PAGESIZE));
    const unsigned long start = addr & ~(page - 1);
    return msync(reinterpret_cast<void *>(start), addr + len - start, MS_ASYNC) == 0;
}

std::string fourcc_text(uint32_t f) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += char((f >> (8 * i)) & 0xff);
    return s;
}

}  // namespace

Node::Node(NodeConfig config) : config_(std::move(config)) {
    if (!config_.formats.empty()) {
        const Format &f = config_.formats.front();
        current_ = negotiate(0, 0, f.fourcc);
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
}

void Node::closed(int fd) {
    --open_fds_;
    // Releasing the file that owns the queue stops the stream and frees the buffers.
    if (owner_ == fd) {
        stop_streaming();
        release_buffers();
    }
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
    args.emplace_back("pixelformat", f.fourcc);
    return 0;
}

int Node::enum_framesizes(v4l2_frmsizeenum *e, Args &args) const {
    args.emplace_back("index", e->index);
    args.emplace_back("pixel_format", e->pixel_format);
    const Format *f = find_format(e->pixel_format);
    if (!f || e->index >= f->sizes.size()) return -EINVAL;
    const FrameSize &s = f->sizes[e->index];
    e->type = s.type;
    if (s.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        e->discrete.width = s.min_w;
        e->discrete.height = s.min_h;
    } else {
        e->stepwise = v4l2_frmsize_stepwise{s.min_w, s.max_w, s.step_w, s.min_h, s.max_h, s.step_h};
    }
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

int Node::s_fmt(int, v4l2_format *f, Args &args) {
    args.emplace_back("type", f->type);
    args.emplace_back("width", f->fmt.pix.width);
    args.emplace_back("height", f->fmt.pix.height);
    args.emplace_back("pixelformat", f->fmt.pix.pixelformat);
    if (f->type != kCapture) return -EINVAL;
    if (!buffers_.empty() || streaming_) return -EBUSY;
    PixFormat p = negotiate(f->fmt.pix.width, f->fmt.pix.height, f->fmt.pix.pixelformat);
    const Override &o = override_;
    if (o.mask & kWidth) p.width = o.pix.width;
    if (o.mask & kHeight) p.height = o.pix.height;
    if (o.mask & kBytesperline) p.bytesperline = o.pix.bytesperline;
    if (o.mask & kSizeimage) p.sizeimage = o.pix.sizeimage;
    if (o.mask & kPixelformat) p.pixelformat = o.pix.pixelformat;
    current_ = p;
    std::memset(&f->fmt, 0, sizeof f->fmt);
    f->fmt.pix.width = p.width;
    f->fmt.pix.height = p.height;
    f->fmt.pix.pixelformat = p.pixelformat;
    f->fmt.pix.field = V4L2_FIELD_NONE;
    f->fmt.pix.bytesperline = p.bytesperline;
    f->fmt.pix.sizeimage = p.sizeimage;
    f->fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    args.emplace_back("answer_width", p.width);
    args.emplace_back("answer_height", p.height);
    args.emplace_back("answer_pixelformat", p.pixelformat);
    args.emplace_back("answer_bytesperline", p.bytesperline);
    args.emplace_back("answer_sizeimage", p.sizeimage);
    return 0;
}

int Node::reqbufs(int fd, v4l2_requestbuffers *rb, Args &args) {
    args.emplace_back("count", rb->count);
    args.emplace_back("type", rb->type);
    args.emplace_back("memory", rb->memory);
    if (rb->type != kCapture || rb->memory != kUserptr) return -EINVAL;
    if (busy_for(fd) || streaming_) return -EBUSY;
    if (rb->count == 0) {
        release_buffers();
    } else {
        uint32_t n = std::min(std::max(rb->count, config_.min_buffers), config_.max_buffers);
        buffers_.assign(n, Buffer{});
        queued_.clear();
        done_.clear();
        owner_ = fd;
        rb->count = n;
    }
    rb->capabilities = V4L2_BUF_CAP_SUPPORTS_USERPTR;
    args.emplace_back("granted", rb->count);
    return 0;
}

int Node::qbuf(int fd, v4l2_buffer *b, Args &args) {
    args.emplace_back("index", b->index);
    args.emplace_back("type", b->type);
    args.emplace_back("memory", b->memory);
    args.emplace_back("userptr", int64_t(b->m.userptr));
    args.emplace_back("length", b->length);
    if (b->type != kCapture || b->memory != kUserptr) return -EINVAL;
    if (busy_for(fd)) return -EBUSY;
    if (b->index >= buffers_.size() || b->length < current_.sizeimage || b->m.userptr == 0) return -EINVAL;
    Buffer &buf = buffers_[b->index];
    if (buf.state != BufState::Dequeued) return -EINVAL;
    if (!mapped(b->m.userptr, b->length)) return -EFAULT;
    // Frames that fell due while nothing was queued are lost before this buffer joins.
    advance(Clock::now());
    buf.state = BufState::Queued;
    buf.userptr = b->m.userptr;
    buf.length = b->length;
    queued_.push_back(b->index);
    b->flags = V4L2_BUF_FLAG_QUEUED | kTimestampFlags;
    ++qbuf_total_;
    return 0;
}

int Node::dqbuf(int fd, v4l2_buffer *b, Args &args) {
    args.emplace_back("type", b->type);
    args.emplace_back("memory", b->memory);
    if (b->type != kCapture || b->memory != kUserptr) return -EINVAL;
    if (busy_for(fd)) return -EBUSY;
    if (!streaming_) return -EINVAL;
    Clock::time_point now = Clock::now();
    advance(now);
    fill_on_demand(now);
    if (done_.empty()) return -EAGAIN;
    const uint32_t index = done_.front();
    done_.pop_front();
    Buffer &buf = buffers_[index];
    buf.state = BufState::Dequeued;
    std::memset(b, 0, sizeof *b);
    b->index = index;
    b->type = kCapture;
    b->memory = kUserptr;
    b->bytesused = buf.bytesused;
    b->flags = V4L2_BUF_FLAG_DONE | kTimestampFlags;
    b->field = V4L2_FIELD_NONE;
    b->timestamp = buf.timestamp;
    b->sequence = buf.sequence;
    b->m.userptr = buf.userptr;
    b->length = buf.length;
    if (const DqbufOverride *o = current_dqbuf_override()) {
        if (o->mask & kIndex) b->index = o->index;
        if (o->mask & kFlags) b->flags = o->flags;
        if (o->mask & kBytesused) b->bytesused = o->bytesused;
    }
    ++dqbuf_total_;
    args.emplace_back("index", b->index);
    args.emplace_back("sequence", b->sequence);
    args.emplace_back("bytesused", b->bytesused);
    args.emplace_back("flags", b->flags);
    return 0;
}

int Node::streamon(int fd, const int *type, Args &args) {
    args.emplace_back("type", *type);
    if (uint32_t(*type) != kCapture) return -EINVAL;
    if (busy_for(fd)) return -EBUSY;
    if (buffers_.empty()) return -EINVAL;
    ++streamon_total_;
    if (streaming_) return 0;
    streaming_ = true;
    stream_start_ = Clock::now();
    next_seq_ = 0;
    stream_delivered_ = 0;
    return 0;
}

int Node::streamoff(int fd, const int *type, Args &args) {
    args.emplace_back("type", *type);
    if (uint32_t(*type) != kCapture) return -EINVAL;
    if (busy_for(fd)) return -EBUSY;
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

void Node::release_buffers() {
    buffers_.clear();
    queued_.clear();
    done_.clear();
    owner_ = -1;
}

bool Node::stopped() const {
    return config_.stop_after >= 0 && stream_delivered_ >= uint64_t(config_.stop_after);
}

void Node::advance(Clock::time_point now) {
    if (!streaming_ || config_.fps <= 0 || now < stream_start_) return;
    const double elapsed = std::chrono::duration<double>(now - stream_start_).count();
    const uint64_t due = uint64_t(std::floor(elapsed * config_.fps)) + 1;  // frame 0 at stream-on
    while (next_seq_ < due) {
        if (queued_.empty() || stopped()) {
            next_seq_ = due;  // no buffer to put them in: the sensor's frames are lost
            break;
        }
        fill_next(stream_start_ + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(next_seq_ / config_.fps)));
    }
}

void Node::fill_on_demand(Clock::time_point now) {
    if (streaming_ && config_.fps <= 0 && done_.empty() && !queued_.empty() && !stopped()) {
        fill_next(now);
    }
}

void Node::fill_next(Clock::time_point when) {
    const uint32_t index = queued_.front();
    queued_.pop_front();
    Buffer &b = buffers_[index];
    write_frame(b, uint32_t(next_seq_));
    b.sequence = uint32_t(next_seq_);
    b.timestamp = to_timeval(when);
    b.state = BufState::Done;
    done_.push_back(index);
    ++next_seq_;
    ++stream_delivered_;
    ++frames_delivered_;
}

void Node::write_frame(Buffer &b, uint32_t seq) {
    auto *dst = reinterpret_cast<uint8_t *>(b.userptr);
    // Memory unmapped since QBUF: a driver would write into the pages it pinned, which the
    // process no longer sees. The frame is lost to the application either way.
    if (!mapped(b.userptr, b.length)) {
        b.bytesused = std::min(current_.sizeimage, b.length);
        return;
    }
    if (!frames_.empty()) {
        const std::string &f = frames_[seq % frames_.size()];
        b.bytesused = uint32_t(std::min<size_t>(f.size(), b.length));
        std::memcpy(dst, f.data(), b.bytesused);
        return;
    }
    b.bytesused = std::min(current_.sizeimage, b.length);
    render(current_.pixelformat, current_.width, current_.height, current_.bytesperline, b.bytesused,
           seq, dst);
}

short Node::poll_events(Clock::time_point now) {
    if (!streaming_) return POLLERR;
    advance(now);
    fill_on_demand(now);
    return done_.empty() ? 0 : POLLIN | POLLRDNORM;
}

Clock::time_point Node::next_fill() const {
    if (!streaming_ || config_.fps <= 0 || queued_.empty() || stopped()) return Clock::time_point::max();
    return stream_start_ + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(next_seq_ / config_.fps));
}

std::string Node::state_text() const {
    std::ostringstream s;
    s << "open_fds=" << open_fds_ << " streaming=" << int(streaming_) << " allocated=" << buffers_.size()
      << " queued=" << queued_.size() + done_.size() << " qbuf_total=" << qbuf_total_
      << " dqbuf_total=" << dqbuf_total_ << " streamon_total=" << streamon_total_
      << " streamoff_total=" << streamoff_total_ << " frames_delivered=" << frames_delivered_
      << " sequence=" << next_seq_ << " pixelformat=" << current_.pixelformat << " width=" << current_.width
      << " height=" << current_.height << " bytesperline=" << current_.bytesperline
      << " sizeimage=" << current_.sizeimage << "\n";
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
