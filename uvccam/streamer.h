#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "format.h"

namespace uvccam {

// Numbers frames across all streams of one run of the camera, so that a test
// sees from the data alone which frames a capture skipped.
struct FrameCounter {
    std::atomic<uint32_t> next{1};
    std::atomic<uint64_t> sent{0};
};

struct StreamSettings {
    const PixelFormat* pixel;
    FrameSize size;
    uint32_t frame_interval;  // 100 ns units
    uint32_t max_payload;     // bytes of one payload, header included
};

// Sends frames on the bulk endpoint from a thread of its own, one write per
// payload, paced at the frame interval. The host gives no sign that it stopped
// streaming (the clear-halt uvcvideo sends stays in the controller), so a
// stream ends when the host negotiates again or the device goes away; stop()
// cancels the write the host no longer reads.
class Streamer {
public:
    using LimitReached = std::function<void()>;
    Streamer(int endpoint, StreamSettings settings, FrameCounter& counter, uint64_t limit,
             LimitReached on_limit);
    Streamer(const Streamer&) = delete;
    Streamer& operator=(const Streamer&) = delete;
    ~Streamer();

    void stop();

    // Signal used to interrupt a blocked write; installed once per process.
    static void install_interrupt_handler();

private:
    void run();
    bool send_frame(uint32_t number, bool fid);
    bool write_payload(const uint8_t* data, size_t length);
    bool wait_until(std::chrono::steady_clock::time_point due);
    void report(uint64_t frames, std::chrono::steady_clock::duration took) const;

    int endpoint_;
    StreamSettings settings_;
    FrameCounter& counter_;
    uint64_t limit_;
    LimitReached on_limit_;
    std::vector<uint8_t> frame_;
    std::vector<uint8_t> payload_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// Lengths of the payloads one frame is cut into (header included): none above
// max_payload, none a multiple of 512 bytes (uvcvideo would take the next
// payload for the rest of that one: a payload ends with a short packet).
std::vector<size_t> payload_lengths(size_t frame_bytes, size_t header, size_t max_payload);

}  // namespace uvccam
