#include "camera.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/gadgetfs.h>
#include <linux/usb/video.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace uvccam {

namespace {

// The largest payload we send, header included. uvcvideo sizes its bulk URBs
// from it (rounded up to whole packets), so every payload ends in a short
// packet and the driver sees exactly one payload per write.
constexpr uint32_t kMaxPayload = 16383;
constexpr uint16_t kFullSpeedPacket = 64;
constexpr uint16_t kHighSpeedPacket = 512;
constexpr uint8_t kErrorInvalidControl = 0x06;
constexpr uint8_t kErrorInvalidRequest = 0x07;
constexpr uint8_t kInfoGetSet = 0x03;

std::vector<std::string> gadget_entries(const std::string& dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) return names;
    while (const dirent* entry = readdir(d.get())) {
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    return names;
}

// dummy_hcd names its endpoints "ep<N><in|out>-<type>".
bool is_bulk_in(const std::string& name, uint8_t& number) {
    if (name.compare(0, 2, "ep") != 0 || name.find("in-bulk") == std::string::npos) return false;
    number = uint8_t(std::atoi(name.c_str() + 2));
    return number > 0 && number < 16;
}

bool write_all(int fd, const Bytes& data) {
    return ::write(fd, data.data(), data.size()) == ssize_t(data.size());
}

void append(Bytes& to, const Bytes& part) { to.insert(to.end(), part.begin(), part.end()); }

// gadgetfs tells descriptor sets apart by a leading 32-bit tag: 0 for the
// device (ep0), 1 for an endpoint.
Bytes tag(uint32_t value) {
    return Bytes{uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

const char* event_name(int type) {
    switch (type) {
    case GADGETFS_CONNECT: return "connect";
    case GADGETFS_DISCONNECT: return "disconnect";
    case GADGETFS_SETUP: return "setup";
    case GADGETFS_SUSPEND: return "suspend";
    default: return "nop";
    }
}

}  // namespace

Camera::Camera(const Options& options)
    : options_(options),
      frame_interval_(10000000u / options.fps),
      negotiation_(options.formats, frame_interval_, kMaxPayload),
      probe_(negotiation_.defaults()),
      commit_(probe_) {
    counter_.next = options.first_number;
}

// Before the device is set up gadgetfs shows one file, named after the
// controller; the endpoint files appear once ep0 has the descriptors.
bool Camera::open_device() {
    // dummy_hcd's first bulk IN endpoint is ep1in-bulk; the address must be
    // known before the descriptors are written.
    endpoint_address_ = uint8_t(USB_DIR_IN | 1);
    const Bytes full = configuration_descriptor(options_.formats, frame_interval_,
                                                endpoint_address_, kFullSpeedPacket);
    if (full.size() > kControlReplyLimit) {
        std::fprintf(stderr, "uvccam: the configuration needs %zu bytes of descriptors; "
                     "gadgetfs sends at most %zu: give fewer formats or sizes\n",
                     full.size(), kControlReplyLimit);
        return false;
    }
    std::string ep0_name;
    for (const std::string& name : gadget_entries(options_.gadget_dir)) {
        if (name.compare(0, 2, "ep") != 0) ep0_name = name;
    }
    if (ep0_name.empty()) {
        std::fprintf(stderr, "uvccam: no controller in %s (gadgetfs mounted?)\n",
                     options_.gadget_dir.c_str());
        return false;
    }
    Bytes device = tag(0);
    append(device, full);
    append(device, configuration_descriptor(options_.formats, frame_interval_, endpoint_address_,
                                            kHighSpeedPacket));
    append(device, device_descriptor());
    ep0_ = Fd(::open((options_.gadget_dir + "/" + ep0_name).c_str(), O_RDWR));
    if (!ep0_ || !write_all(ep0_.get(), device)) {
        std::fprintf(stderr, "uvccam: cannot set up %s/%s: %s\n", options_.gadget_dir.c_str(),
                     ep0_name.c_str(), std::strerror(errno));
        return false;
    }
    for (const std::string& name : gadget_entries(options_.gadget_dir)) {
        uint8_t number = 0;
        if (is_bulk_in(name, number) && uint8_t(USB_DIR_IN | number) == endpoint_address_)
            endpoint_path_ = options_.gadget_dir + "/" + name;
    }
    if (endpoint_path_.empty()) {
        std::fprintf(stderr, "uvccam: %s has no bulk IN endpoint 1\n", ep0_name.c_str());
        return false;
    }
    std::fprintf(stderr, "uvccam: \"%s\" on %s, %zu bytes of configuration, bulk endpoint %s\n",
                 options_.name.c_str(), ep0_name.c_str(), full.size(), endpoint_path_.c_str());
    return true;
}

bool Camera::run(const volatile bool& quit) {
    Streamer::install_interrupt_handler();
    if (!open_device()) return false;
    bool served = true;
    while (!quit && served) served = handle_events();
    stop_stream();
    endpoint_.reset();
    ep0_.reset();
    std::fprintf(stderr, "uvccam: unplugged after %llu frames\n",
                 static_cast<unsigned long long>(counter_.sent.load()));
    return served;
}

bool Camera::handle_events() {
    usb_gadgetfs_event events[5];
    const ssize_t n = ::read(ep0_.get(), events, sizeof events);
    if (n < 0) {
        const int error = errno;
        if (error == EINTR || error == EAGAIN) return true;
        std::fprintf(stderr, "uvccam: %s on ep0: %s\n",
                     host_moved_on(error) ? "lost control transfer" : "fatal error",
                     std::strerror(error));
        return host_moved_on(error);
    }
    for (size_t i = 0; i < size_t(n) / sizeof events[0]; ++i) {
        const usb_gadgetfs_event& event = events[i];
        if (options_.verbose && event.type != GADGETFS_SETUP)
            std::fprintf(stderr, "uvccam: %s\n", event_name(event.type));
        switch (event.type) {
        case GADGETFS_SETUP: handle_setup(event.u.setup); break;
        case GADGETFS_DISCONNECT:
            stop_stream();
            endpoint_.reset();
            break;
        default: break;
        }
    }
    return true;
}

// gadgetfs answers EIDRM when the host sent a new request before we took the
// last one's data, and stalls the new one if the next read still finds it in
// its control state (EL2HLT). Both cost one request; the device lives on.
bool Camera::host_moved_on(int error) {
    return error == EIDRM || error == EL2HLT || error == ECANCELED;
}

void Camera::handle_setup(const usb_ctrlrequest& setup) {
    if (options_.verbose)
        std::fprintf(stderr, "uvccam: setup %02x %02x %04x %04x %u\n", setup.bRequestType,
                     setup.bRequest, setup.wValue, setup.wIndex, setup.wLength);
    switch (setup.bRequestType & USB_TYPE_MASK) {
    case USB_TYPE_STANDARD: handle_standard(setup); break;
    case USB_TYPE_CLASS: handle_class(setup); break;
    default: stall(setup); break;
    }
}

void Camera::handle_standard(const usb_ctrlrequest& setup) {
    switch (setup.bRequest) {
    case USB_REQ_GET_DESCRIPTOR: {
        const Bytes text = (setup.wValue >> 8) == USB_DT_STRING
                               ? string_descriptor(uint8_t(setup.wValue), options_.manufacturer,
                                                   options_.name)
                               : Bytes{};
        if (text.empty()) stall(setup);
        else reply(text, setup.wLength);
        break;
    }
    case USB_REQ_SET_CONFIGURATION:
        stop_stream();
        if (setup.wValue == kConfigurationValue) enable_endpoint();
        else endpoint_.reset();
        acknowledge();
        break;
    case USB_REQ_SET_INTERFACE:
        stop_stream();
        acknowledge();
        break;
    case USB_REQ_GET_INTERFACE: reply(Bytes{0}, setup.wLength); break;
    default: stall(setup); break;
    }
}

void Camera::handle_class(const usb_ctrlrequest& setup) {
    const uint8_t interface = uint8_t(setup.wIndex);
    const uint8_t selector = uint8_t(setup.wValue >> 8);
    if ((setup.bRequestType & USB_RECIP_MASK) != USB_RECIP_INTERFACE) {
        stall(setup);
    } else if (interface == kStreamingInterface &&
               (selector == UVC_VS_PROBE_CONTROL || selector == UVC_VS_COMMIT_CONTROL)) {
        handle_streaming_control(setup);
    } else if (interface == kControlInterface && selector == UVC_VC_REQUEST_ERROR_CODE_CONTROL &&
               setup.bRequest == UVC_GET_CUR) {
        reply(Bytes{control_error_}, setup.wLength);
    } else {
        control_error_ = kErrorInvalidControl;
        stall(setup);
    }
}

void Camera::handle_streaming_control(const usb_ctrlrequest& setup) {
    const bool commit = (setup.wValue >> 8) == UVC_VS_COMMIT_CONTROL;
    StreamingParameters& held = commit ? commit_ : probe_;
    control_error_ = 0;
    switch (setup.bRequest) {
    case UVC_SET_CUR: {
        // The data first: gadgetfs has already completed the transfer, and
        // the host's next request overwrites it.
        Bytes data;
        const bool received = read_out_data(setup, data);
        // A new negotiation means the host is not reading the old stream.
        stop_stream();
        if (!received) return;
        held = negotiation_.settle(StreamingParameters::decode(data.data(), data.size()));
        if (commit) start_stream(held);
        break;
    }
    case UVC_GET_CUR: reply(held.encode(), setup.wLength); break;
    case UVC_GET_MIN:
    case UVC_GET_MAX: reply(negotiation_.settle(held).encode(), setup.wLength); break;
    case UVC_GET_DEF: reply(negotiation_.defaults().encode(), setup.wLength); break;
    case UVC_GET_LEN: reply(Bytes{StreamingParameters::kWireSize, 0}, setup.wLength); break;
    case UVC_GET_INFO: reply(Bytes{kInfoGetSet}, setup.wLength); break;
    default:
        control_error_ = kErrorInvalidRequest;
        stall(setup);
        break;
    }
}

bool Camera::read_out_data(const usb_ctrlrequest& setup, Bytes& data) {
    data.resize(setup.wLength);
    const ssize_t n = ::read(ep0_.get(), data.data(), data.size());
    if (n < 0) {
        std::fprintf(stderr, "uvccam: lost control transfer (data of %02x %02x %04x): %s\n",
                     setup.bRequestType, setup.bRequest, setup.wValue, std::strerror(errno));
        return false;
    }
    data.resize(size_t(n));
    return true;
}

void Camera::reply(const Bytes& data, uint16_t length) {
    const size_t n = std::min<size_t>(data.size(), length);
    if (::write(ep0_.get(), data.data(), n) < 0)
        std::fprintf(stderr, "uvccam: control reply: %s\n", std::strerror(errno));
}

void Camera::acknowledge() {
    uint8_t none = 0;
    if (::read(ep0_.get(), &none, 0) < 0 && options_.verbose)
        std::fprintf(stderr, "uvccam: status stage: %s\n", std::strerror(errno));
}

// gadgetfs stalls a request when ep0 is used against its direction.
void Camera::stall(const usb_ctrlrequest& setup) {
    uint8_t none = 0;
    if (setup.bRequestType & USB_DIR_IN) {
        (void)!::read(ep0_.get(), &none, 0);
    } else {
        (void)!::write(ep0_.get(), &none, 0);
    }
}

void Camera::enable_endpoint() {
    endpoint_ = Fd(::open(endpoint_path_.c_str(), O_RDWR));
    Bytes config = tag(1);
    append(config, endpoint_descriptor(endpoint_address_, kFullSpeedPacket));
    append(config, endpoint_descriptor(endpoint_address_, kHighSpeedPacket));
    if (!endpoint_ || !write_all(endpoint_.get(), config)) {
        std::fprintf(stderr, "uvccam: cannot enable %s: %s\n", endpoint_path_.c_str(),
                     std::strerror(errno));
        endpoint_.reset();
    }
}

void Camera::start_stream(const StreamingParameters& committed) {
    if (!endpoint_) {
        std::fprintf(stderr, "uvccam: commit without a configured endpoint\n");
        return;
    }
    StreamSettings settings{&negotiation_.pixel(committed), negotiation_.size(committed),
                            committed.frame_interval, committed.max_payload_transfer_size};
    std::fprintf(stderr, "uvccam: stream %s %ux%u from frame %u\n", settings.pixel->name,
                 settings.size.width, settings.size.height, counter_.next.load());
    streamer_ = std::make_unique<Streamer>(endpoint_.get(), settings, counter_,
                                           options_.unplug_after, [] { kill(getpid(), SIGTERM); });
}

void Camera::stop_stream() { streamer_.reset(); }

}  // namespace uvccam
