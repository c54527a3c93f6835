// One camera object's device: open by path, formats, configure, a user-pointer
// stream with the driver's frame metadata, controls. No Python here, and no
// lines on standard error: every failure is kept (errno and text) for the caller
// to raise. Not thread-safe by itself: the Python surface holds mutex.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "convert/pixels.h"
#include "device/state.h"

namespace camsnap {

struct FrameSize {
    uint32_t width = 0, height = 0;
    std::vector<v4l2_fract> intervals;  // discrete frame intervals, as the driver lists them
};

struct FormatInfo {
    uint32_t fourcc = 0;
    std::string description;
    bool compressed = false;
    std::vector<FrameSize> sizes;  // discrete sizes; stepwise ones are listed by their bounds
};

// What the driver set: its format answer and, where it has one, the frame interval.
struct Configured {
    v4l2_pix_format pix = {};
    v4l2_fract interval = {0, 0};  // {0, 0}: the driver keeps no frame rate
};

// The caller's word on a Y'CbCr conversion, over the driver's: drivers that leave the range
// open, or name the wrong one, are common among webcams. Unset parts follow the driver.
struct VariantChoice {
    std::optional<Quantization> quantization;
    std::optional<Encoding> encoding;
};

// The driver's word on one dequeued buffer.
struct FrameInfo {
    int index = -1;
    uint32_t sequence = 0;
    int64_t timestamp_ns = 0;
    uint32_t flags = 0;
    uint32_t bytesused = 0;
    int64_t dropped = 0;  // sequence numbers skipped since the previous frame of this stream
};

struct ControlInfo {
    uint32_t id = 0;
    uint32_t type = 0;
    std::string name;  // the driver's name ("Percentage of Dropped Buffers")
    int64_t minimum = 0, maximum = 0, step = 0, default_value = 0;
    uint32_t flags = 0;
    std::vector<std::pair<int64_t, std::string>> menu;  // index -> entry (integer menus as text)
};

class CameraDevice {
public:
    CameraDevice();
    CameraDevice(const CameraDevice &) = delete;
    CameraDevice &operator=(const CameraDevice &) = delete;

    std::mutex mutex;  // one call at a time on this camera

    bool open(const std::string &path);
    const std::string &path() const { return path_; }
    bool is_open() const { return device_.fd != -1; }
    bool streaming() const { return bool(device_.stream_buf); }
    int buffers() const { return device_.stream_buffers; }

    // The last failure: errno and text.
    int failure_errno() const { return device_.failure_errno(); }
    const std::string &failure_text() const { return device_.failure_text(); }

    bool formats(std::vector<FormatInfo> &out);
    // fps_num / fps_den frames a second, or fps_num 0 to leave the rate alone.
    bool configure(uint32_t fourcc, uint32_t width, uint32_t height, uint32_t fps_num,
                   uint32_t fps_den, const VariantChoice &variant, Configured &out);
    bool configured() const { return configured_; }
    const Configured &configuration() const { return configuration_; }
    // The conversion of the configured format; false when it has none.
    bool pixel_frame(PixelFrame &out) const;

    bool start(int buffers);
    // 1 when a frame waits, 0 when timeout_ms ran out (negative: no limit), -1 on failure.
    int wait(int timeout_ms);
    // The next filled buffer; its slot stays ours until requeue().
    bool dequeue(FrameInfo &out);
    const uint8_t *slot(int index) const;
    bool requeue(int index);
    bool stop();
    void close();

    bool controls(std::vector<ControlInfo> &out);
    bool get_control(const ControlInfo &control, int64_t &value);
    bool set_control(const ControlInfo &control, int64_t value);

private:
    bool fail(int err, const char *text);

    Device device_;
    std::string path_;
    bool configured_ = false;
    Configured configuration_;
    VariantChoice variant_choice_;
    bool first_frame_ = true;
    uint32_t last_sequence_ = 0;
};

}  // namespace camsnap
