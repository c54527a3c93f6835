// A camera object's V4L2 exchange: the V4L2 lifecycle of open, formats,
// configure, start, dequeue and requeue, stop and close, on the shared primitives.
#include "camera/camera.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "device/report.h"
#include "device/undo.h"
#include "device/v4l2.h"

namespace camsnap {

namespace {

std::string fourcc_string(uint32_t code) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = char((code >> (8 * i)) & 0xff);
        s[size_t(i)] = c >= 0x20 && c < 0x7f ? c : '?';
    }
    return s;
}

std::string text_of(const __u8 *bytes, size_t size) {
    const char *p = reinterpret_cast<const char *>(bytes);
    return std::string(p, strnlen(p, size));
}

std::vector<v4l2_fract> frame_intervals(int fd, uint32_t fourcc, uint32_t w, uint32_t h) {
    std::vector<v4l2_fract> intervals;
    v4l2_frmivalenum ival = {};
    ival.pixel_format = fourcc;
    ival.width = w;
    ival.height = h;
    for (ival.index = 0; v4l2_ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &ival) == 0; ++ival.index) {
        if (ival.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            intervals.push_back(ival.discrete);
        } else {
            // Stepwise or continuous: the fastest and the slowest bound.
            intervals.push_back(ival.stepwise.min);
            intervals.push_back(ival.stepwise.max);
            break;
        }
    }
    return intervals;
}

std::vector<FrameSize> frame_sizes(int fd, uint32_t fourcc) {
    std::vector<FrameSize> sizes;
    v4l2_frmsizeenum size = {};
    size.pixel_format = fourcc;
    for (size.index = 0; enum_frame_sizes(fd, size) == 0; ++size.index) {
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            sizes.push_back({size.discrete.width, size.discrete.height, {}});
        } else {
            sizes.push_back({size.stepwise.min_width, size.stepwise.min_height, {}});
            sizes.push_back({size.stepwise.max_width, size.stepwise.max_height, {}});
            break;
        }
    }
    for (FrameSize &s : sizes) s.intervals = frame_intervals(fd, fourcc, s.width, s.height);
    return sizes;
}

// The driver's encoding and quantization, with V4L2's defaults for a driver that
// leaves them open: BT.709 only in the REC709 colour space; limited range for
// Y'CbCr in every colour space but JPEG's.
YcbcrVariant variant_of(const v4l2_pix_format &pix) {
    YcbcrVariant v;
    uint32_t enc = pix.ycbcr_enc;
    if (enc == V4L2_YCBCR_ENC_DEFAULT)
        enc = pix.colorspace == V4L2_COLORSPACE_REC709 ? V4L2_YCBCR_ENC_709 : V4L2_YCBCR_ENC_601;
    v.encoding = enc == V4L2_YCBCR_ENC_709 ? Encoding::bt709 : Encoding::bt601;
    uint32_t quantization = pix.quantization;
    if (quantization == V4L2_QUANTIZATION_DEFAULT)
        quantization = pix.colorspace == V4L2_COLORSPACE_JPEG ? V4L2_QUANTIZATION_FULL_RANGE
                                                              : V4L2_QUANTIZATION_LIM_RANGE;
    v.quantization = quantization == V4L2_QUANTIZATION_FULL_RANGE ? Quantization::full
                                                                  : Quantization::limited;
    return v;
}

}  // namespace

CameraDevice::CameraDevice() : device_(Reports::kept) { device_.delivers_error_frames = true; }

bool CameraDevice::fail(int err, const char *text) {
    errno = err;
    CS_REPORT(device_, "%s", text);
    return false;
}

bool CameraDevice::open(const std::string &path) {
    path_ = path;
    device_.fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (device_.fd == -1) return fail(errno, "cannot open the device");
    v4l2_capability cap = {};
    if (query_capabilities(device_.fd, cap) != 0) {
        const int err = errno;
        device_.close();
        return fail(err, "not a V4L2 device");
    }
    const uint32_t caps = cap.capabilities & V4L2_CAP_DEVICE_CAPS ? cap.device_caps : cap.capabilities;
    constexpr uint32_t needed = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    if ((caps & needed) != needed) {
        device_.close();
        return fail(ENODEV, "not a streaming video capture device");
    }
    return true;
}

bool CameraDevice::formats(std::vector<FormatInfo> &out) {
    out.clear();
    v4l2_fmtdesc desc = {};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (desc.index = 0; enum_format(device_.fd, desc) == 0; ++desc.index) {
        FormatInfo f;
        f.fourcc = desc.pixelformat;
        f.description = text_of(desc.description, sizeof desc.description);
        f.compressed = desc.flags & V4L2_FMT_FLAG_COMPRESSED;
        f.sizes = frame_sizes(device_.fd, desc.pixelformat);
        out.push_back(std::move(f));
    }
    if (errno != EINVAL) return fail(errno, "cannot list the formats");
    return true;
}

bool CameraDevice::configure(uint32_t fourcc, uint32_t width, uint32_t height, uint32_t fps_num,
                             uint32_t fps_den, const VariantChoice &variant, Configured &out) {
    if (streaming()) return fail(EBUSY, "cannot configure while streaming; stop() first");
    // Drivers refuse a new format while buffers are allocated.
    if (device_.driver_buffers_allocated) release_buffers(device_);
    v4l2_format format = {};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = width;
    format.fmt.pix.height = height;
    format.fmt.pix.pixelformat = fourcc;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (set_format(device_.fd, format) != 0) return fail(errno, "the driver refused the format");
    out = Configured();
    out.pix = format.fmt.pix;
    if (out.pix.pixelformat != fourcc) {
        const std::string text = "the driver set format " + fourcc_string(out.pix.pixelformat) +
                                 " instead of " + fourcc_string(fourcc);
        return fail(EINVAL, text.c_str());
    }
    PixelLayout layout;
    variant_choice_ = variant;
    if (pixel_layout_of(fourcc, &layout)) {
        configuration_ = out;  // pixel_frame() reads it
        PixelFrame frame;
        pixel_frame(frame);
        if (!pixel_frame_fits(frame)) return fail(EINVAL, "the driver answered a geometry whose frames do not fit its own frame size");
    }
    v4l2_streamparm parm = {};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (fps_num) {
        parm.parm.capture.timeperframe = {fps_den, fps_num};
        if (v4l2_ioctl(device_.fd, VIDIOC_S_PARM, &parm) != 0)
            return fail(errno, "the driver refused the frame rate");
    }
    parm = {};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (v4l2_ioctl(device_.fd, VIDIOC_G_PARM, &parm) == 0 &&
        (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
        out.interval = parm.parm.capture.timeperframe;
    configuration_ = out;
    configured_ = true;
    return true;
}

bool CameraDevice::pixel_frame(PixelFrame &out) const {
    const v4l2_pix_format &pix = configuration_.pix;
    if (!pixel_layout_of(pix.pixelformat, &out.layout)) return false;
    out.width = int32_t(pix.width);
    out.height = int32_t(pix.height);
    out.stride = int32_t(pix.bytesperline);
    out.size = pix.sizeimage;
    out.variant = variant_of(pix);
    if (variant_choice_.quantization) out.variant.quantization = *variant_choice_.quantization;
    if (variant_choice_.encoding) out.variant.encoding = *variant_choice_.encoding;
    return pix.width <= INT32_MAX && pix.height <= INT32_MAX && pix.bytesperline <= INT32_MAX;
}

bool CameraDevice::start(int buffers) {
    if (!configured_) return fail(EINVAL, "configure() the camera before start()");
    if (streaming()) return fail(EBUSY, "the camera is already streaming");
    if (configuration_.pix.sizeimage == 0 || configuration_.pix.sizeimage > INT32_MAX)
        return fail(EINVAL, "the driver answered an unusable frame size");
    device_.frame_size = int32_t(configuration_.pix.sizeimage);
    // A start that fails gives the driver's buffers back, also those a driver granted beyond
    // the count asked for: the queue belongs to the descriptor that allocated it, and until it is
    // released the driver refuses buffers and formats to every other (another program, or the
    // module's own captures on the same camera). The failure kept is the start's own.
    UndoUnlessDismissed given_back([this] {
        if (device_.driver_buffers_allocated) release_buffers(device_);
    });
    int granted = buffers;
    if (request_buffers(device_, &granted) != 0) return false;
    StagingMemory memory = allocate_staging(granted, device_.frame_size);
    if (!memory) return fail(ENOMEM, "cannot allocate the frame buffers");
    for (int i = 0; i < granted; ++i) {
        char *p = reinterpret_cast<char *>(memory.get()) + size_t(i) * size_t(device_.frame_size);
        if (queue_buffer(device_, i, p, device_.frame_size) != 0) {
            streamoff(device_);
            return false;
        }
    }
    if (streamon(device_) != 0) {
        streamoff(device_);
        return false;
    }
    given_back.dismiss();
    device_.stream_buffers = granted;
    device_.stream_buf = std::move(memory);
    first_frame_ = true;
    return true;
}

int CameraDevice::wait(int timeout_ms) {
    if (!streaming()) {
        fail(EINVAL, "the camera is not streaming; start() first");
        return -1;
    }
    pollfd p = {};
    p.fd = device_.fd;
    p.events = POLLIN;
    const int ready = ::poll(&p, 1, timeout_ms);
    if (ready < 0) {
        fail(errno, "waiting for a frame failed");
        return -1;
    }
    return ready;
}

bool CameraDevice::dequeue(FrameInfo &out) {
    v4l2_buffer buf = {};
    const int n = dequeue_buffer(device_, &buf, 0);
    if (n < 0) {
        // dequeue_buffer's kept line says which step failed; a device that went
        // away answers ENODEV there.
        return false;
    }
    if (n >= device_.stream_buffers) {
        requeue(n);
        return fail(EIO, "the driver returned a buffer it was not given");
    }
    out.index = n;
    out.sequence = buf.sequence;
    out.timestamp_ns = int64_t(buf.timestamp.tv_sec) * 1000000000 + int64_t(buf.timestamp.tv_usec) * 1000;
    out.flags = buf.flags;
    out.bytesused = buf.bytesused;
    // The numbers wrap at 2^32. One that repeats or steps back is no gap: the two fields of
    // an interlaced frame share theirs, and vivid repeats one when its thread runs late.
    const int32_t gap = int32_t(buf.sequence - last_sequence_ - 1);
    out.dropped = first_frame_ || gap < 0 ? 0 : int64_t(gap);
    first_frame_ = false;
    last_sequence_ = buf.sequence;
    return true;
}

const uint8_t *CameraDevice::slot(int index) const {
    return device_.stream_buf.get() + size_t(index) * size_t(device_.frame_size);
}

bool CameraDevice::requeue(int index) {
    char *p = reinterpret_cast<char *>(device_.stream_buf.get()) + size_t(index) * size_t(device_.frame_size);
    return queue_buffer(device_, index, p, device_.frame_size) == 0;
}

bool CameraDevice::stop() {
    if (!streaming()) return true;
    const int result = streamoff(device_);
    // Stream off or not, the driver gives user pointers up when the buffers go.
    if (result != 0) {
        const int err = errno;
        device_.close();
        return fail(err, "cannot stop the stream; the device was closed");
    }
    device_.stream_buf.reset();
    release_buffers(device_);
    return true;
}

void CameraDevice::close() {
    if (device_.fd == -1) return;
    if (streaming()) streamoff(device_);
    device_.close();
    configured_ = false;
}

bool CameraDevice::controls(std::vector<ControlInfo> &out) {
    out.clear();
    v4l2_queryctrl q = {};
    q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (v4l2_ioctl(device_.fd, VIDIOC_QUERYCTRL, &q) == 0) {
        const bool shown = !(q.flags & V4L2_CTRL_FLAG_DISABLED) && q.type != V4L2_CTRL_TYPE_CTRL_CLASS;
        if (shown) {
            ControlInfo c;
            c.id = q.id;
            c.type = q.type;
            c.name = text_of(q.name, sizeof q.name);
            c.minimum = q.minimum;
            c.maximum = q.maximum;
            c.step = q.step;
            c.default_value = q.default_value;
            c.flags = q.flags;
            if (q.type == V4L2_CTRL_TYPE_MENU || q.type == V4L2_CTRL_TYPE_INTEGER_MENU) {
                for (int64_t i = q.minimum; i <= q.maximum; ++i) {
                    v4l2_querymenu m = {};
                    m.id = q.id;
                    m.index = uint32_t(i);
                    if (v4l2_ioctl(device_.fd, VIDIOC_QUERYMENU, &m) != 0) continue;
                    c.menu.emplace_back(i, q.type == V4L2_CTRL_TYPE_MENU
                                               ? text_of(m.name, sizeof m.name)
                                               : std::to_string(int64_t(m.value)));
                }
            }
            out.push_back(std::move(c));
        }
        q.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    // The end of the list is EINVAL; a device without controls answers so at once.
    if (errno != EINVAL && errno != ENOTTY) return fail(errno, "cannot list the controls");
    return true;
}

bool CameraDevice::get_control(const ControlInfo &control, int64_t &value) {
    v4l2_ext_control c = {};
    c.id = control.id;
    v4l2_ext_controls cs = {};
    cs.which = V4L2_CTRL_WHICH_CUR_VAL;
    cs.count = 1;
    cs.controls = &c;
    if (v4l2_ioctl(device_.fd, VIDIOC_G_EXT_CTRLS, &cs) != 0) return fail(errno, "cannot read the control");
    value = control.type == V4L2_CTRL_TYPE_INTEGER64 ? c.value64 : c.value;
    return true;
}

bool CameraDevice::set_control(const ControlInfo &control, int64_t value) {
    v4l2_ext_control c = {};
    c.id = control.id;
    if (control.type == V4L2_CTRL_TYPE_INTEGER64)
        c.value64 = value;
    else
        c.value = int32_t(value);
    v4l2_ext_controls cs = {};
    cs.which = V4L2_CTRL_WHICH_CUR_VAL;
    cs.count = 1;
    cs.controls = &c;
    if (v4l2_ioctl(device_.fd, VIDIOC_S_EXT_CTRLS, &cs) != 0) {
        char text[160];
        std::snprintf(text, sizeof text, "the driver refused %lld for control '%s'",
                      static_cast<long long>(value), control.name.c_str());
        return fail(errno, text);
    }
    return true;
}

}  // namespace camsnap
