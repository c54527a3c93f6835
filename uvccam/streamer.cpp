#include "streamer.h"

#include <linux/usb/video.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace uvccam {

namespace {

constexpr size_t kHeaderBytes = 2;
constexpr size_t kPacketBytes = 512;
constexpr int kInterruptSignal = SIGUSR1;

void on_interrupt(int) {}

// Termination signals go to the main thread, which owns the device.
class TerminationBlocked {
public:
    TerminationBlocked() {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGTERM);
        sigaddset(&block, SIGINT);
        pthread_sigmask(SIG_BLOCK, &block, &saved_);
    }
    ~TerminationBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    TerminationBlocked(const TerminationBlocked&) = delete;
    TerminationBlocked& operator=(const TerminationBlocked&) = delete;

private:
    sigset_t saved_;
};

}  // namespace

std::vector<size_t> payload_lengths(size_t frame_bytes, size_t header, size_t max_payload) {
    std::vector<size_t> lengths;
    const size_t room = max_payload - header;
    for (size_t left = frame_bytes; left > 0;) {
        size_t data = std::min(left, room);
        if ((header + data) % kPacketBytes == 0) --data;
        lengths.push_back(header + data);
        left -= data;
    }
    return lengths;
}

void Streamer::install_interrupt_handler() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_interrupt;  // no SA_RESTART: the write must return
    sigemptyset(&action.sa_mask);
    sigaction(kInterruptSignal, &action, nullptr);
}

Streamer::Streamer(int endpoint, StreamSettings settings, FrameCounter& counter, uint64_t limit,
                   LimitReached on_limit)
    : endpoint_(endpoint), settings_(settings), counter_(counter), limit_(limit),
      on_limit_(std::move(on_limit)) {
    TerminationBlocked blocked;
    thread_ = std::thread([this] { run(); });
}

Streamer::~Streamer() { stop(); }

void Streamer::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    wake_.notify_all();
    // The signal may land just before the thread enters write(): repeat it.
    while (!finished_) {
        pthread_kill(thread_.native_handle(), kInterruptSignal);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread_.join();
}

bool Streamer::wait_until(std::chrono::steady_clock::time_point due) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_until(lock, due, [this] { return stopping_.load(); });
}

bool Streamer::write_payload(const uint8_t* data, size_t length) {
    for (;;) {
        const ssize_t n = ::write(endpoint_, data, length);
        if (n >= 0) return true;
        if (errno == EINTR && !stopping_) continue;
        if (errno != EINTR)
            std::fprintf(stderr, "uvccam: bulk write: %s\n", std::strerror(errno));
        return false;
    }
}

bool Streamer::send_frame(uint32_t number, bool fid) {
    fill_frame(*settings_.pixel, settings_.size, number, frame_);
    const std::vector<size_t> lengths =
        payload_lengths(frame_.size(), kHeaderBytes, settings_.max_payload);
    size_t offset = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
        const size_t data = lengths[i] - kHeaderBytes;
        payload_.resize(lengths[i]);
        payload_[0] = kHeaderBytes;
        payload_[1] = UVC_STREAM_EOH | (fid ? UVC_STREAM_FID : 0) |
                      (i + 1 == lengths.size() ? UVC_STREAM_EOF : 0);
        std::memcpy(payload_.data() + kHeaderBytes, frame_.data() + offset, data);
        offset += data;
        if (!write_payload(payload_.data(), payload_.size())) return false;
    }
    return true;
}

void Streamer::run() {
    // The main thread may run at real-time priority for ep0; frames need not.
    const sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    using clock = std::chrono::steady_clock;
    const auto interval = std::chrono::microseconds(settings_.frame_interval / 10);
    auto due = clock::now();
    clock::time_point first_done, last_done;
    uint64_t frames = 0;
    bool fid = false;
    while (!stopping_ && wait_until(due)) {
        if (!send_frame(counter_.next, fid)) break;
        last_done = clock::now();
        if (frames == 0) first_done = last_done;
        ++counter_.next;
        ++frames;
        fid = !fid;
        if (++counter_.sent == limit_) {
            // Unplugged after this frame: nothing more may reach the host.
            if (on_limit_) on_limit_();
            break;
        }
        due += interval;
        // A host that stopped reading for a while gets the next frame at once,
        // not a burst of the frames it missed.
        if (clock::now() > due + interval) due = clock::now();
    }
    // The rate between the first and the last frame the host took: a write
    // the host stopped reading is not part of it.
    report(frames, last_done - first_done);
    finished_ = true;
}

void Streamer::report(uint64_t frames, std::chrono::steady_clock::duration took) const {
    const double seconds = std::chrono::duration<double>(took).count();
    std::fprintf(stderr, "uvccam: stream %s %ux%u ended: %llu frames in %.2f s (%.1f fps)\n",
                 settings_.pixel->name, settings_.size.width, settings_.size.height,
                 static_cast<unsigned long long>(frames), seconds,
                 seconds > 0 ? (frames - 1) / seconds : 0.0);
}

}  // namespace uvccam
