// The module's open, close and format negotiation (init), on its one device.
#include "device/device.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "convert/pixels.h"
#include "device/report.h"
#include "device/state.h"
#include "device/v4l2.h"

namespace camsnap {

PyObject *cs_open(PyObject *, PyObject *args) {
    Device &d = module_device();
    int device_number = 0;
    if (!PyArg_ParseTuple(args, "i", &device_number)) return nullptr;

    // A descriptor still held would keep the camera busy for good.
    if (d.fd != -1) d.close();

    char path[64];
    std::snprintf(path, sizeof path, "/dev/video%d", device_number);
    d.fd = ::open(path, O_RDWR | O_NONBLOCK);
    if (d.fd == -1) {
        CS_REPORT(d, "Failed to open video device - %s\n", path);
        Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
}

PyObject *cs_close(PyObject *, PyObject *) {
    Device &d = module_device();
    if (d.close() == -1) {
        CS_REPORT(d, "Failed to close the video device\n");
        Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
}

namespace {

constexpr __u32 REQUIRED_CAPS = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;

bool lists_bgr3(int node) {
    bool found = false;
    for (__u32 index = 0;; ++index) {
        v4l2_fmtdesc desc = {};
        desc.index = index;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (enum_format(node, desc) != 0) break;
        if (desc.pixelformat == PIX_BGR3) found = true;
    }
    return found;
}

bool fits_int32(__u32 value) { return value <= static_cast<__u32>(INT32_MAX); }

// A four-character code as text for a diagnostic line; bytes that would not
// print (a driver may answer anything) show as '?'.
struct FourccText {
    char text[5];
};
FourccText fourcc_text(__u32 code) {
    FourccText t = {};
    for (int i = 0; i < 4; ++i) {
        const char c = char((code >> (8 * i)) & 0xff);
        t.text[i] = c >= 0x20 && c < 0x7f ? c : '?';
    }
    return t;
}

// Bytes of one output row: 16-bit pixels, or three 8-bit channels in RGB. The
// frame copy takes the array's row stride as a 32-bit int.
int64_t array_row_bytes(const FrameGeometry &g) {
    return int64_t(g.width) * (g.current_mode == RGB ? 3 : 2);
}

// Bytes of one driver row that the copy reads: 16-bit pixels, or the 8-bit luma
// of "YU12". (The "BGR3" fallback sets its own stride.)
int64_t driver_row_bytes(const FrameGeometry &g) {
    return int64_t(g.width) * (g.current_mode == RGB ? 1 : 2);
}

}  // namespace

PyObject *cs_init(PyObject *, PyObject *args) {
    Device &d = module_device();
    int requested_mode = 0;
    unsigned int requested_width = 0, requested_height = 0;
    if (!PyArg_ParseTuple(args, "iII", &requested_mode, &requested_width, &requested_height))
        return nullptr;

    // Captures in a mode the frame copy does not know would return arrays that
    // no frame ever wrote.
    if (requested_mode < IR16 || requested_mode > IR16_FALLBACK) {
        CS_REPORT(d, "Unknown capture mode %d\n", requested_mode);
        Py_RETURN_FALSE;
    }

    d.pixelformat = requested_mode == RGB ? PIX_YU12 : PIX_Y16;

    v4l2_capability cap = {};
    if (query_capabilities(d.fd, cap) != 0) {
        CS_REPORT(d, "Failed to query device capabilities\n");
        Py_RETURN_FALSE;
    }
    if ((cap.capabilities & REQUIRED_CAPS) != REQUIRED_CAPS) {
        CS_REPORT(d, "Insufficient device capabilities\n");
        Py_RETURN_FALSE;
    }

    // IR cameras that carry 16-bit pixels in a 24-bit format list "BGR3".
    const bool offers_bgr3 = lists_bgr3(d.fd);
    if (requested_mode == IR16 && offers_bgr3) {
        d.pixelformat = PIX_BGR3;
        requested_mode = IR16_FALLBACK;
    }
    d.current_mode = static_cast<mode>(requested_mode);

    // Drivers refuse a new format while buffers are allocated, even with the
    // stream off, and our captures leave them allocated.
    if (!d.stream_buf && d.driver_buffers_allocated) release_buffers(d);

    v4l2_format format = {};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = requested_width;
    format.fmt.pix.height = requested_height;
    format.fmt.pix.pixelformat = d.pixelformat;
    if (set_format(d.fd, format) != 0) {
        // The camsnap command reads this text to tell a busy camera from a refused mode
        // (python/camsnap_cli/common.py, _init): change both together.
        CS_REPORT(d, "Failed to set format (0x%08x)\n\n", d.pixelformat);
        Py_RETURN_FALSE;
    }

    const v4l2_pix_format &answer = format.fmt.pix;
    // Drivers answer a format they lack with one they have. In RGB mode any
    // other layout ("YUYV", "YV12", "NV12", ...) read as planar "YU12" gives a
    // wrong picture. The IR modes read whatever comes as 16-bit pixels on
    // purpose: thermal cameras carry raw 16-bit data in "YUYV" frames.
    if (d.current_mode == RGB && answer.pixelformat != PIX_YU12) {
        CS_REPORT(d, "Driver set format %s instead of YU12\n", fourcc_text(answer.pixelformat).text);
        Py_RETURN_FALSE;
    }
    if (answer.width == 0) {
        CS_REPORT(d, "Driver answered a width of 0\n");
        Py_RETURN_FALSE;
    }
    if (!fits_int32(answer.width) || !fits_int32(answer.height) ||
        !fits_int32(answer.bytesperline) || !fits_int32(answer.sizeimage)) {
        CS_REPORT(d, "Driver answered an unusable geometry %ux%u (%u, %u bytes)\n", answer.width,
                  answer.height, answer.bytesperline, answer.sizeimage);
        Py_RETURN_FALSE;
    }

    FrameGeometry g;
    g.width = static_cast<int32_t>(answer.width);
    g.height = static_cast<int32_t>(answer.height);
    g.stride = static_cast<int32_t>(answer.bytesperline);
    g.frame_size = static_cast<int32_t>(answer.sizeimage);
    g.bpp = g.stride / g.width;
    g.current_mode = d.current_mode;
    if (d.current_mode == IR16_FALLBACK) {
        if (g.height > INT32_MAX / 3 || g.width > INT32_MAX / 2) {
            CS_REPORT(d, "Driver answered an unusable size %dx%d\n", g.width, g.height);
            Py_RETURN_FALSE;
        }
        g.height = bgr3_16_rows(g.height);
        g.stride = 2 * g.width;
        g.bpp = 2;
    }
    // Shorter rows would read pixels from overlapping or repeated bytes.
    if (d.current_mode != IR16_FALLBACK && g.stride < driver_row_bytes(g)) {
        CS_REPORT(d, "Driver rows of %d bytes are shorter than the %lld bytes of %d pixels\n",
                  g.stride, static_cast<long long>(driver_row_bytes(g)), g.width);
        Py_RETURN_FALSE;
    }
    if (array_row_bytes(g) > INT32_MAX || array_row_bytes(g) * g.height > INT32_MAX) {
        CS_REPORT(d, "Frame of %dx%d is too large for 32-bit array strides\n", g.width, g.height);
        Py_RETURN_FALSE;
    }
    // Every capture reads height rows of this geometry out of frame_size bytes.
    if (!frame_fits(g)) {
        CS_REPORT(d, "Frame of %dx%d (%d bytes a row) does not fit the driver's %d bytes\n",
                  g.width, g.height, g.stride, g.frame_size);
        Py_RETURN_FALSE;
    }

    d.width = g.width;
    d.height = g.height;
    d.stride = g.stride;
    d.frame_size = g.frame_size;
    d.bpp = g.bpp;
    Py_RETURN_TRUE;
}

}  // namespace camsnap
