"""ctypes layouts of the V4L2 records and requests (x86-64), for tests that talk to a node
directly with fcntl.ioctl.

    cap = v4l2.v4l2_capability()
    fcntl.ioctl(fd, v4l2.VIDIOC_QUERYCAP, cap)
"""
import ctypes
import fcntl
import os

_IOC_WRITE = 1
_IOC_READ = 2


def _IOC(direction, kind, nr, size):
    return (direction << 30) | (size << 16) | (ord(kind) << 8) | nr


def _IOR(kind, nr, struct):
    return _IOC(_IOC_READ, kind, nr, ctypes.sizeof(struct))


def _IOW(kind, nr, struct):
    return _IOC(_IOC_WRITE, kind, nr, ctypes.sizeof(struct))


def _IOWR(kind, nr, struct):
    return _IOC(_IOC_READ | _IOC_WRITE, kind, nr, ctypes.sizeof(struct))


V4L2_BUF_TYPE_VIDEO_CAPTURE = 1
V4L2_MEMORY_MMAP = 1
V4L2_MEMORY_USERPTR = 2
V4L2_MEMORY_DMABUF = 4
V4L2_FIELD_NONE = 1

V4L2_CAP_VIDEO_CAPTURE = 0x00000001
V4L2_CAP_STREAMING = 0x04000000
V4L2_CAP_DEVICE_CAPS = 0x80000000

V4L2_FRMSIZE_TYPE_DISCRETE = 1
V4L2_FRMSIZE_TYPE_CONTINUOUS = 2
V4L2_FRMSIZE_TYPE_STEPWISE = 3

V4L2_BUF_FLAG_MAPPED = 0x00000001
V4L2_BUF_FLAG_QUEUED = 0x00000002
V4L2_BUF_FLAG_DONE = 0x00000004
V4L2_BUF_FLAG_ERROR = 0x00000040


class v4l2_capability(ctypes.Structure):
    _fields_ = [
        ("driver", ctypes.c_uint8 * 16),
        ("card", ctypes.c_uint8 * 32),
        ("bus_info", ctypes.c_uint8 * 32),
        ("version", ctypes.c_uint32),
        ("capabilities", ctypes.c_uint32),
        ("device_caps", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32 * 3),
    ]


class v4l2_fmtdesc(ctypes.Structure):
    _fields_ = [
        ("index", ctypes.c_uint32),
        ("type", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("description", ctypes.c_uint8 * 32),
        ("pixelformat", ctypes.c_uint32),
        ("mbus_code", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32 * 3),
    ]


class v4l2_frmsize_discrete(ctypes.Structure):
    _fields_ = [("width", ctypes.c_uint32), ("height", ctypes.c_uint32)]


class v4l2_frmsize_stepwise(ctypes.Structure):
    _fields_ = [
        ("min_width", ctypes.c_uint32),
        ("max_width", ctypes.c_uint32),
        ("step_width", ctypes.c_uint32),
        ("min_height", ctypes.c_uint32),
        ("max_height", ctypes.c_uint32),
        ("step_height", ctypes.c_uint32),
    ]


class _frmsize_union(ctypes.Union):
    _fields_ = [("discrete", v4l2_frmsize_discrete), ("stepwise", v4l2_frmsize_stepwise)]


class v4l2_frmsizeenum(ctypes.Structure):
    _anonymous_ = ("u",)
    _fields_ = [
        ("index", ctypes.c_uint32),
        ("pixel_format", ctypes.c_uint32),
        ("type", ctypes.c_uint32),
        ("u", _frmsize_union),
        ("reserved", ctypes.c_uint32 * 2),
    ]


class v4l2_frmivalenum(ctypes.Structure):
    _fields_ = [
        ("index", ctypes.c_uint32),
        ("pixel_format", ctypes.c_uint32),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("type", ctypes.c_uint32),
        ("numerator", ctypes.c_uint32),  # the discrete interval; the stepwise one is 6 words
        ("denominator", ctypes.c_uint32),
        ("stepwise_rest", ctypes.c_uint32 * 4),
        ("reserved", ctypes.c_uint32 * 2),
    ]


class v4l2_pix_format(ctypes.Structure):
    _fields_ = [
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("pixelformat", ctypes.c_uint32),
        ("field", ctypes.c_uint32),
        ("bytesperline", ctypes.c_uint32),
        ("sizeimage", ctypes.c_uint32),
        ("colorspace", ctypes.c_uint32),
        ("priv", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("ycbcr_enc", ctypes.c_uint32),
        ("quantization", ctypes.c_uint32),
        ("xfer_func", ctypes.c_uint32),
    ]


class _format_union(ctypes.Union):
    # The kernel's union also holds struct v4l2_window, whose pointers align it to 8 bytes.
    _fields_ = [("pix", v4l2_pix_format), ("raw_data", ctypes.c_uint8 * 200), ("_align", ctypes.c_uint64)]


class v4l2_format(ctypes.Structure):
    _fields_ = [("type", ctypes.c_uint32), ("fmt", _format_union)]


class v4l2_create_buffers(ctypes.Structure):
    _fields_ = [
        ("index", ctypes.c_uint32),
        ("count", ctypes.c_uint32),
        ("memory", ctypes.c_uint32),
        ("format", v4l2_format),
        ("capabilities", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32 * 6),
    ]


class v4l2_exportbuffer(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_uint32),
        ("index", ctypes.c_uint32),
        ("plane", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("fd", ctypes.c_int32),
        ("reserved", ctypes.c_uint32 * 11),
    ]


class v4l2_requestbuffers(ctypes.Structure):
    _fields_ = [
        ("count", ctypes.c_uint32),
        ("type", ctypes.c_uint32),
        ("memory", ctypes.c_uint32),
        ("capabilities", ctypes.c_uint32),
        ("flags", ctypes.c_uint8),
        ("reserved", ctypes.c_uint8 * 3),
    ]


class timeval(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long)]


class v4l2_timecode(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("frames", ctypes.c_uint8),
        ("seconds", ctypes.c_uint8),
        ("minutes", ctypes.c_uint8),
        ("hours", ctypes.c_uint8),
        ("userbits", ctypes.c_uint8 * 4),
    ]


class _buffer_m(ctypes.Union):
    _fields_ = [
        ("offset", ctypes.c_uint32),
        ("userptr", ctypes.c_ulong),
        ("planes", ctypes.c_void_p),
        ("fd", ctypes.c_int32),
    ]


class v4l2_buffer(ctypes.Structure):
    _fields_ = [
        ("index", ctypes.c_uint32),
        ("type", ctypes.c_uint32),
        ("bytesused", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("field", ctypes.c_uint32),
        ("timestamp", timeval),
        ("timecode", v4l2_timecode),
        ("sequence", ctypes.c_uint32),
        ("memory", ctypes.c_uint32),
        ("m", _buffer_m),
        ("length", ctypes.c_uint32),
        ("reserved2", ctypes.c_uint32),
        ("request_fd", ctypes.c_int32),
    ]


class v4l2_fract(ctypes.Structure):
    _fields_ = [("numerator", ctypes.c_uint32), ("denominator", ctypes.c_uint32)]


class v4l2_captureparm(ctypes.Structure):
    _fields_ = [
        ("capability", ctypes.c_uint32),
        ("capturemode", ctypes.c_uint32),
        ("timeperframe", v4l2_fract),
        ("extendedmode", ctypes.c_uint32),
        ("readbuffers", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32 * 4),
    ]


class _streamparm_union(ctypes.Union):
    _fields_ = [("capture", v4l2_captureparm), ("raw_data", ctypes.c_uint8 * 200)]


class v4l2_streamparm(ctypes.Structure):
    _fields_ = [("type", ctypes.c_uint32), ("parm", _streamparm_union)]


class v4l2_input(ctypes.Structure):
    _fields_ = [
        ("index", ctypes.c_uint32),
        ("name", ctypes.c_uint8 * 32),
        ("type", ctypes.c_uint32),
        ("audioset", ctypes.c_uint32),
        ("tuner", ctypes.c_uint32),
        ("std", ctypes.c_uint64),
        ("status", ctypes.c_uint32),
        ("capabilities", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32 * 3),
    ]


class v4l2_queryctrl(ctypes.Structure):
    _fields_ = [
        ("id", ctypes.c_uint32),
        ("type", ctypes.c_uint32),
        ("name", ctypes.c_uint8 * 32),
        ("minimum", ctypes.c_int32),
        ("maximum", ctypes.c_int32),
        ("step", ctypes.c_int32),
        ("default_value", ctypes.c_int32),
        ("flags", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32 * 2),
    ]


class v4l2_control(ctypes.Structure):
    _fields_ = [("id", ctypes.c_uint32), ("value", ctypes.c_int32)]


V4L2_CID_BRIGHTNESS = 0x00980900
V4L2_CTRL_FLAG_NEXT_CTRL = 0x80000000
V4L2_CAP_TIMEPERFRAME = 0x1000
V4L2_INPUT_TYPE_CAMERA = 2

VIDIOC_QUERYCAP = _IOR("V", 0, v4l2_capability)
VIDIOC_ENUM_FMT = _IOWR("V", 2, v4l2_fmtdesc)
VIDIOC_S_FMT = _IOWR("V", 5, v4l2_format)
VIDIOC_REQBUFS = _IOWR("V", 8, v4l2_requestbuffers)
VIDIOC_QBUF = _IOWR("V", 15, v4l2_buffer)
VIDIOC_DQBUF = _IOWR("V", 17, v4l2_buffer)
VIDIOC_STREAMON = _IOW("V", 18, ctypes.c_int)
VIDIOC_STREAMOFF = _IOW("V", 19, ctypes.c_int)
VIDIOC_ENUM_FRAMESIZES = _IOWR("V", 74, v4l2_frmsizeenum)
VIDIOC_G_FMT = _IOWR("V", 4, v4l2_format)
VIDIOC_TRY_FMT = _IOWR("V", 64, v4l2_format)
VIDIOC_QUERYBUF = _IOWR("V", 9, v4l2_buffer)
VIDIOC_G_PARM = _IOWR("V", 21, v4l2_streamparm)
VIDIOC_S_PARM = _IOWR("V", 22, v4l2_streamparm)
VIDIOC_ENUMINPUT = _IOWR("V", 26, v4l2_input)
VIDIOC_G_INPUT = _IOR("V", 38, ctypes.c_int)
VIDIOC_S_INPUT = _IOWR("V", 39, ctypes.c_int)
VIDIOC_QUERYCTRL = _IOWR("V", 36, v4l2_queryctrl)
VIDIOC_G_CTRL = _IOWR("V", 27, v4l2_control)
VIDIOC_S_CTRL = _IOWR("V", 28, v4l2_control)
VIDIOC_ENUM_FRAMEINTERVALS = _IOWR("V", 75, v4l2_frmivalenum)
VIDIOC_CREATE_BUFS = _IOWR("V", 92, v4l2_create_buffers)
VIDIOC_EXPBUF = _IOWR("V", 16, v4l2_exportbuffer)
VIDIOC_G_PRIORITY = _IOR("V", 67, ctypes.c_uint32)
VIDIOC_S_PRIORITY = _IOW("V", 68, ctypes.c_uint32)


def ioctl(fd, request, record):
    """fcntl.ioctl that writes the driver's answer back into `record`; returns the result."""
    return fcntl.ioctl(fd, request, record, True)


def open_node(n, flags=os.O_RDWR | os.O_NONBLOCK):
    return os.open("/dev/video%d" % n, flags)


def querycap(fd):
    cap = v4l2_capability()
    ioctl(fd, VIDIOC_QUERYCAP, cap)
    return cap


def s_fmt(fd, width, height, pixelformat, request=VIDIOC_S_FMT):
    f = v4l2_format()
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE
    f.fmt.pix.width = width
    f.fmt.pix.height = height
    f.fmt.pix.pixelformat = pixelformat
    ioctl(fd, request, f)
    return f.fmt.pix


def try_fmt(fd, width, height, pixelformat):
    return s_fmt(fd, width, height, pixelformat, VIDIOC_TRY_FMT)


def g_fmt(fd):
    f = v4l2_format()
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE
    ioctl(fd, VIDIOC_G_FMT, f)
    return f.fmt.pix


def g_parm(fd):
    p = v4l2_streamparm()
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE
    ioctl(fd, VIDIOC_G_PARM, p)
    return p.parm.capture


def s_parm(fd, numerator, denominator):
    p = v4l2_streamparm()
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE
    p.parm.capture.timeperframe.numerator = numerator
    p.parm.capture.timeperframe.denominator = denominator
    ioctl(fd, VIDIOC_S_PARM, p)
    return p.parm.capture


def querybuf(fd, index):
    b = v4l2_buffer()
    b.index = index
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE
    ioctl(fd, VIDIOC_QUERYBUF, b)
    return b


def reqbufs(fd, count, memory=V4L2_MEMORY_USERPTR):
    rb = v4l2_requestbuffers()
    rb.count = count
    rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE
    rb.memory = memory
    ioctl(fd, VIDIOC_REQBUFS, rb)
    return rb.count


def qbuf(fd, index, userptr, length, memory=V4L2_MEMORY_USERPTR, type=V4L2_BUF_TYPE_VIDEO_CAPTURE):
    b = v4l2_buffer()
    b.index = index
    b.type = type
    b.memory = memory
    b.m.userptr = userptr
    b.length = length
    ioctl(fd, VIDIOC_QBUF, b)
    return b


def dqbuf(fd, memory=V4L2_MEMORY_USERPTR):
    b = v4l2_buffer()
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE
    b.memory = memory
    ioctl(fd, VIDIOC_DQBUF, b)
    return b


def streamon(fd, type=V4L2_BUF_TYPE_VIDEO_CAPTURE):
    return ioctl(fd, VIDIOC_STREAMON, ctypes.c_int(type))


def streamoff(fd, type=V4L2_BUF_TYPE_VIDEO_CAPTURE):
    return ioctl(fd, VIDIOC_STREAMOFF, ctypes.c_int(type))
