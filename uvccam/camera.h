#pragma once
#include <linux/usb/ch9.h>

#include <memory>

#include "descriptors.h"
#include "fd.h"
#include "options.h"
#include "probe.h"
#include "streamer.h"

namespace uvccam {

// The USB device as gadgetfs presents it: ep0 carries the descriptors and the
// host's control requests, one bulk IN endpoint the video payloads.
class Camera {
public:
    explicit Camera(const Options& options);
    // Serves the host until a termination signal; false if the device could
    // not be set up (the reason is on stderr).
    bool run(const volatile bool& quit);

private:
    bool open_device();
    bool handle_events();
    static bool host_moved_on(int error);
    void handle_setup(const usb_ctrlrequest& setup);
    void handle_standard(const usb_ctrlrequest& setup);
    void handle_class(const usb_ctrlrequest& setup);
    void handle_streaming_control(const usb_ctrlrequest& setup);
    bool read_out_data(const usb_ctrlrequest& setup, Bytes& data);

    void reply(const Bytes& data, uint16_t length);
    void acknowledge();
    void stall(const usb_ctrlrequest& setup);

    void enable_endpoint();
    void start_stream(const StreamingParameters& committed);
    void stop_stream();

    const Options& options_;
    uint32_t frame_interval_;
    Negotiation negotiation_;
    StreamingParameters probe_;
    StreamingParameters commit_;
    uint8_t control_error_ = 0;
    std::string endpoint_path_;
    uint8_t endpoint_address_ = 0;
    Fd ep0_;
    Fd endpoint_;
    FrameCounter counter_;
    std::unique_ptr<Streamer> streamer_;
};

}  // namespace uvccam
