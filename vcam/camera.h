// One emulated UVC camera node: its configuration and the V4L2 state a driver keeps for it.
#pragma once

#include <linux/videodev2.h>

#include "ctrls.h"
#include "feed.h"
#include "memory.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vcam {

class Hostile;

using Clock = std::chrono::steady_clock;

struct FrameSize {
    uint32_t type = V4L2_FRMSIZE_TYPE_DISCRETE;
    uint32_t min_w = 0, max_w = 0, step_w = 1;
    uint32_t min_h = 0, max_h = 0, step_h = 1;
};

struct Format {
    uint32_t fourcc = 0;
    uint32_t pad = 0;
    std::vector<FrameSize> sizes;
};

struct PixFormat {
    uint32_t width = 0, height = 0, pixelformat = 0, bytesperline = 0, sizeimage = 0;
};

// How the frames' values are to be read (V4L2_COLORSPACE_*, V4L2_YCBCR_ENC_*,
// V4L2_QUANTIZATION_*, V4L2_XFER_FUNC_*). uvcvideo answers sRGB and leaves the rest to
// V4L2's defaults (for Y'CbCr in sRGB: BT.601, limited range).
struct Colorimetry {
    uint32_t colorspace = V4L2_COLORSPACE_SRGB;
    uint32_t ycbcr_enc = V4L2_YCBCR_ENC_DEFAULT;
    uint32_t quantization = V4L2_QUANTIZATION_DEFAULT;
    uint32_t xfer_func = V4L2_XFER_FUNC_DEFAULT;
};

// Mask bits of the fields a configured answer replaces: S_FMT's (fmt_answer, Override) and
// DQBUF's (DqbufOverride). The seeded hostile driver (hostile.h) does not use them.
enum FieldMask : uint32_t {
    kWidth = 1, kHeight = 2, kBytesperline = 4, kSizeimage = 8, kPixelformat = 16,
    kColorspace = 32, kYcbcrEnc = 64, kQuantization = 128, kXferFunc = 256,
    kIndex = 1, kFlags = 2, kBytesused = 4,
};

struct Override {
    uint32_t mask = 0;
    PixFormat pix;
    Colorimetry colour;
};

struct DqbufOverride {
    uint64_t at = 0;  // fires on this DQBUF call
    uint32_t mask = 0;
    uint32_t index = 0, flags = 0, bytesused = 0;
};

struct Fault {
    std::string request;
    uint64_t at = 0;  // fires on this call of `request`
    int err = 0;
};

struct NodeConfig {
    std::string card;
    uint32_t capabilities = 0x84200001;
    uint32_t device_caps = 0x04200001;
    int querycap_errno = 0;
    int open_errno = 0;
    std::vector<Format> formats;
    uint32_t min_buffers = 1, max_buffers = 32;
    double fps = 0;
    int64_t stop_after = -1;  // frames per STREAMON; negative: unlimited
    bool fixed_fps = false;   // S_PARM cannot change the frame rate
    std::vector<double> rates;  // frame rates S_PARM may choose; empty: only `fps`
    // Sequence numbers of each stream that the sensor numbers but never delivers, as a
    // driver that loses frames on the bus does.
    std::set<uint64_t> skip;
    Colorimetry colour;  // what G_FMT, TRY_FMT and S_FMT answer for every format
    std::vector<ControlConfig> controls;  // none: the camera answers EINVAL for every id
    // A FIFO or Unix socket the frames come from (feed.h) instead of the frame clock; empty: none.
    std::string feed;
};

using Args = std::vector<std::pair<const char *, int64_t>>;

// Requests a node's log keeps: the most recent ones. A camera replaying a recording for hours
// would otherwise grow by half a kilobyte a frame; the counters of state_text() count on.
constexpr size_t kLogLimit = 10000;

struct LogEntry {
    std::string name;
    Args args;
    int result;
};

class Node {
public:
    explicit Node(NodeConfig config);
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;
    ~Node() { set_memory(0); }

    const NodeConfig &config() const { return config_; }
    void add_format(uint32_t fourcc, uint32_t pad);
    bool add_size(const FrameSize &size);  // to the format added last
    void set_override(const Override &o) { override_ = o; }
    const Override &fmt_answer() const { return override_; }
    const std::vector<std::string> &frames() const { return frames_; }
    void set_frames(std::vector<std::string> frames) { frames_ = std::move(frames); }
    void add_frame(std::string frame) { frames_.push_back(std::move(frame)); }
    void set_fps(double fps, Clock::time_point now);
    void set_stop_after(int64_t k) { config_.stop_after = k; }
    void set_fixed_fps(bool fixed) { config_.fixed_fps = fixed; }
    void set_skip(std::set<uint64_t> skip) { config_.skip = std::move(skip); }
    void add_fault(const std::string &request, uint64_t nth, int err);
    void add_dqbuf_override(uint64_t nth, const DqbufOverride &o);
    // Hostile answers from a generator seeded with `seed` (see hostile.h); rate < 0: honest again.
    void set_hostile(uint64_t seed, double rate);
    // The seed and rate of a hostile node; false for an honest one.
    bool hostile(uint64_t *seed, double *rate) const;
    // Faults and DQBUF overrides that have not fired yet, `at` counted from the next call.
    std::vector<Fault> pending_faults() const;
    std::vector<DqbufOverride> pending_dqbuf_overrides() const;
    // The errno the hostile driver fails this request with, or 0. A device that vanishes (or a
    // failed stream-off) stops the stream first: no frame lands in memory the caller may free.
    int hostile_failure(const char *request);
    bool gone() const;

    // Counts one call of `request`; answers the errno of a fault that fires on it, or 0.
    int count_call(const std::string &request);
    // The DQBUF override that fires on the call counted last, if any.
    const DqbufOverride *current_dqbuf_override() const;
    void record(const char *name, Args args, int result);

    // An open file of the node came or went; a new one has priority INTERACTIVE.
    void opened(int file) { priorities_[file] = V4L2_PRIORITY_DEFAULT; }
    void closed(int file);
    // Whether `file` holds the highest priority any open file holds: requests that need
    // priority (S_FMT, REQBUFS, ...) answer EBUSY otherwise, as the kernel's do.
    bool has_priority(int file) const;

    // V4L2 requests: 0 or -errno. Callers hold the registry lock.
    int g_priority(uint32_t *priority, Args &args) const;
    int s_priority(int file, const uint32_t *priority, Args &args);
    int querycap(v4l2_capability *cap, Args &args) const;
    int enum_fmt(v4l2_fmtdesc *d, Args &args) const;
    int enum_framesizes(v4l2_frmsizeenum *e, Args &args) const;
    int enum_frameintervals(v4l2_frmivalenum *e, Args &args) const;
    int g_fmt(v4l2_format *f, Args &args) const;
    int try_fmt(v4l2_format *f, Args &args) const;
    int s_fmt(int file, v4l2_format *f, Args &args);
    int g_parm(v4l2_streamparm *p, Args &args) const;
    int s_parm(v4l2_streamparm *p, Args &args);
    int enuminput(v4l2_input *in, Args &args) const;
    int g_input(int *index, Args &args) const;
    int s_input(const int *index, Args &args) const;
    int queryctrl(v4l2_queryctrl *q, Args &args) const;
    int query_ext_ctrl(v4l2_query_ext_ctrl *q, Args &args) const;
    int querymenu(v4l2_querymenu *m, Args &args) const;
    int g_ctrl(v4l2_control *c, Args &args) const;
    int s_ctrl(int file, v4l2_control *c, Args &args);
    int g_ext_ctrls(v4l2_ext_controls *cs, Args &args) const;
    int s_ext_ctrls(int file, v4l2_ext_controls *cs, Args &args);
    int try_ext_ctrls(v4l2_ext_controls *cs, Args &args);
    int subscribe_event(int file, v4l2_event_subscription *sub, Args &args);
    int unsubscribe_event(int file, v4l2_event_subscription *sub, Args &args);
    int dqevent(int file, v4l2_event *ev, Args &args);
    int reqbufs(int file, v4l2_requestbuffers *rb, Args &args);
    int create_bufs(int file, v4l2_create_buffers *c, Args &args);
    int expbuf(v4l2_exportbuffer *e, Args &args) const;
    int querybuf(v4l2_buffer *b, Args &args) const;
    int qbuf(int file, v4l2_buffer *b, Args &args);
    int dqbuf(int file, v4l2_buffer *b, Args &args);
    int streamon(int file, const int *type, Args &args);
    int streamoff(int file, const int *type, Args &args);

    // Brings the frame clock up to `now`: fills queued buffers with the frames that fell due.
    void advance(Clock::time_point now);
    // Readiness of open file `file` as poll reports it for `requested` (before masking with
    // them): the queue's (POLLERR while not streaming) only when POLLIN or POLLRDNORM is
    // asked for, as vb2_poll answers, and POLLPRI while a control event waits.
    short poll_events(Clock::time_point now, int file, short requested);
    // When the clock will next fill a buffer; Clock::time_point::max() if it never will on its own.
    Clock::time_point next_fill() const;
    bool streaming() const { return streaming_; }

    // mmap() of the node: maps the buffer that starts at `offset` (0 and *out, *index set) or
    // answers -errno as a driver would.
    int map_buffer(void *addr, size_t length, int prot, int flags, off_t offset, void **out,
                   uint32_t *index, Args &args);
    uint64_t generation() const { return generation_; }
    // A mapping made by map_buffer() went away (munmap, or replaced by another mapping).
    void unmapped(uint64_t generation, uint32_t index);

    std::string state_text() const;
    std::string log_text() const;

private:
    enum class BufState { Dequeued, Queued, Done };
    struct Buffer {
        BufState state = BufState::Dequeued;
        unsigned long userptr = 0;
        std::shared_ptr<BufferMemory> memory;  // memory-mapped buffers: their pages
        uint32_t offset = 0;  // memory-mapped buffers: where mmap() finds it
        int mappings = 0;     // memory-mapped buffers: live mappings in the process
        uint32_t length = 0;
        uint32_t bytesused = 0;
        uint32_t sequence = 0;
        timeval timestamp{};
        bool error = false;  // a fed frame its record marked damaged (V4L2_BUF_FLAG_ERROR)
    };

    int mapped_count() const;
    uint32_t max_priority() const;
    bool busy_for(int file) const { return owner_ >= 0 && owner_ != file; }
    bool stopped() const;
    // The first sequence number from `seq` on that the camera delivers (not in `skip`).
    uint64_t delivered_from(uint64_t seq) const;
    const Format *find_format(uint32_t fourcc) const;
    PixFormat negotiate(uint32_t width, uint32_t height, uint32_t pixelformat) const;
    void fill_next(Clock::time_point now);
    void fill_on_demand(Clock::time_point now);
    // Fills the oldest queued buffer with frame `seq` stamped `when`: the record's bytes, else
    // the exact frames or the pattern.
    void fill(uint32_t seq, Clock::time_point when, const FeedRecord *record);
    // Delivers the fed records that fell due; the end of the feed unplugs the camera once
    // every frame read from it has been dequeued.
    void advance_feed(Clock::time_point now);
    void unplug();
    void write_frame(Buffer &b, uint32_t seq, const std::string *exact);
    void write_frame_to(Buffer &b, uint8_t *dst, uint32_t seq, const std::string *exact);
    int allocate(int file, uint32_t memory, uint32_t count);
    int add_buffers(uint32_t memory, uint32_t count, uint32_t length);
    // The frame rates offered, fastest first (ENUM_FRAMEINTERVALS, S_PARM).
    std::vector<double> offered_rates() const;
    bool size_offered(const Format &f, uint32_t width, uint32_t height) const;
    void describe_buffer(const Buffer &b, uint32_t index, v4l2_buffer *out) const;
    void stop_streaming();
    void release_buffers();
    // The memory of the allocation (V4L2_MEMORY_*, 0: none), counted in g_user_allocations.
    void set_memory(uint32_t memory);

    NodeConfig config_;
    Override override_;
    std::vector<std::string> frames_;
    std::vector<Fault> faults_;
    std::vector<DqbufOverride> dqbuf_overrides_;
    std::map<std::string, uint64_t> calls_;
    std::deque<LogEntry> log_;  // at most kLogLimit, oldest first
    std::shared_ptr<Hostile> hostile_;
    uint64_t hostile_seed_ = 0;
    double hostile_rate_ = 0;

    PixFormat current_;
    Controls controls_;
    Colorimetry current_colour_;  // of the current format, as S_FMT answered it
    std::map<int, uint32_t> priorities_;  // of each open file (V4L2_PRIORITY_*)
    int owner_ = -1;  // the open file that allocated the buffers; others get EBUSY
    std::vector<Buffer> buffers_;
    uint32_t memory_ = 0;  // V4L2_MEMORY_* of the allocation, 0 while none
    uint64_t generation_ = 0;
    std::deque<uint32_t> queued_;  // in the order the driver fills them
    std::deque<uint32_t> done_;
    bool streaming_ = false;
    Clock::time_point stream_start_;
    uint64_t next_seq_ = 0;  // sequence number of the next frame the sensor produces
    uint64_t stream_delivered_ = 0;
    uint64_t frames_delivered_ = 0;
    uint64_t qbuf_total_ = 0, dqbuf_total_ = 0, streamon_total_ = 0, streamoff_total_ = 0;
    uint64_t fill_ns_ = 0;  // CPU time spent writing frames, so benchmarks can subtract it
    Feed feed_;
    bool feed_started_ = false;        // the first record of this stream went out at feed_base_
    Clock::time_point feed_base_;      // when it did
    uint64_t feed_first_ts_ = 0;       // its timestamp: later ones are due that much after
    Clock::time_point feed_next_due_ = Clock::time_point::max();  // of the record waiting, if any
    bool unplugged_ = false;           // the feed ended: gone, as an unplugged camera is
};

}  // namespace vcam
