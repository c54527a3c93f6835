"""The few V4L2 requests the vivid tier issues itself, through ctypes and
fcntl.ioctl, so that what the driver holds can be checked independently of the
module: the records mirror linux/videodev2.h for x86-64."""
import ctypes
import errno
import fcntl
import os
import select

BUF_TYPE_VIDEO_CAPTURE = 1
MEMORY_USERPTR = 2
FRMSIZE_TYPE_DISCRETE = 1
CAP_VIDEO_CAPTURE = 0x00000001
CAP_STREAMING = 0x04000000

# vivid's own controls (class 0x00f00000), as v4l2-ctl -L names them.
CID_VIVID_OSD_TEXT_MODE = 0x00F0F001   # menu: 0 all, 1 counters only, 2 none
CID_VIVID_DISCONNECT = 0x00F0F041      # button: the device is gone afterwards


def fourcc(code):
    return ord(code[0]) | ord(code[1]) << 8 | ord(code[2]) << 16 | ord(code[3]) << 24


def fourcc_str(value):
    return "".join(chr((value >> shift) & 0xFF) for shift in (0, 8, 16, 24))


u8, u32, s32, ulong = ctypes.c_uint8, ctypes.c_uint32, ctypes.c_int32, ctypes.c_ulong


class Capability(ctypes.Structure):
    _fields_ = [("driver", u8 * 16), ("card", u8 * 32), ("bus_info", u8 * 32),
                ("version", u32), ("capabilities", u32), ("device_caps", u32),
                ("reserved", u32 * 3)]


class FmtDesc(ctypes.Structure):
    _fields_ = [("index", u32), ("type", u32), ("flags", u32), ("description", u8 * 32),
                ("pixelformat", u32), ("mbus_code", u32), ("reserved", u32 * 3)]


class FrmSizeDiscrete(ctypes.Structure):
    _fields_ = [("width", u32), ("height", u32)]


class FrmSizeUnion(ctypes.Union):
    _fields_ = [("discrete", FrmSizeDiscrete), ("stepwise", u32 * 6)]


class FrmSizeEnum(ctypes.Structure):
    _fields_ = [("index", u32), ("pixel_format", u32), ("type", u32),
                ("size", FrmSizeUnion), ("reserved", u32 * 2)]


class PixFormat(ctypes.Structure):
    _fields_ = [("width", u32), ("height", u32), ("pixelformat", u32), ("field", u32),
                ("bytesperline", u32), ("sizeimage", u32), ("colorspace", u32),
                ("priv", u32), ("flags", u32), ("ycbcr_enc", u32),
                ("quantization", u32), ("xfer_func", u32)]


class FormatUnion(ctypes.Union):
    # 200 bytes, 8-aligned: the kernel's union holds pointer-carrying records.
    _fields_ = [("pix", PixFormat), ("raw_data", u8 * 200), ("align", ctypes.c_uint64)]


class Format(ctypes.Structure):
    _fields_ = [("type", u32), ("fmt", FormatUnion)]


class RequestBuffers(ctypes.Structure):
    _fields_ = [("count", u32), ("type", u32), ("memory", u32), ("capabilities", u32),
                ("flags", u8), ("reserved", u8 * 3)]


class Timeval(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long)]


class Timecode(ctypes.Structure):
    _fields_ = [("type", u32), ("flags", u32), ("frames", u8), ("seconds", u8),
                ("minutes", u8), ("hours", u8), ("userbits", u8 * 4)]


class BufferM(ctypes.Union):
    _fields_ = [("offset", u32), ("userptr", ulong), ("planes", ctypes.c_void_p), ("fd", s32)]


class Buffer(ctypes.Structure):
    _fields_ = [("index", u32), ("type", u32), ("bytesused", u32), ("flags", u32),
                ("field", u32), ("timestamp", Timeval), ("timecode", Timecode),
                ("sequence", u32), ("memory", u32), ("m", BufferM), ("length", u32),
                ("reserved2", u32), ("request_fd", s32)]


class CaptureParm(ctypes.Structure):
    _fields_ = [("capability", u32), ("capturemode", u32), ("numerator", u32),
                ("denominator", u32), ("extendedmode", u32), ("readbuffers", u32),
                ("reserved", u32 * 4)]


class StreamParmUnion(ctypes.Union):
    _fields_ = [("capture", CaptureParm), ("raw_data", u8 * 200)]


class StreamParm(ctypes.Structure):
    _fields_ = [("type", u32), ("parm", StreamParmUnion)]


class Control(ctypes.Structure):
    _fields_ = [("id", u32), ("value", s32)]


def _ioc(direction, number, record):
    return direction << 30 | ctypes.sizeof(record) << 16 | ord("V") << 8 | number


_R, _W, _RW = 2, 1, 3
QUERYCAP = _ioc(_R, 0, Capability)
ENUM_FMT = _ioc(_RW, 2, FmtDesc)
G_FMT = _ioc(_RW, 4, Format)
S_FMT = _ioc(_RW, 5, Format)
REQBUFS = _ioc(_RW, 8, RequestBuffers)
QBUF = _ioc(_RW, 15, Buffer)
DQBUF = _ioc(_RW, 17, Buffer)
STREAMON = _ioc(_W, 18, ctypes.c_int)
STREAMOFF = _ioc(_W, 19, ctypes.c_int)
G_PARM = _ioc(_RW, 21, StreamParm)
S_PARM = _ioc(_RW, 22, StreamParm)
S_CTRL = _ioc(_RW, 28, Control)
ENUM_FRAMESIZES = _ioc(_RW, 74, FrmSizeEnum)


def _text(array):
    return bytes(array).split(b"\0", 1)[0].decode()


class Node:
    """One descriptor on /dev/video<n>, closed on leaving the with block."""

    def __init__(self, number):
        self.path = "/dev/video%d" % number
        self.fd = os.open(self.path, os.O_RDWR | os.O_NONBLOCK)
        self._slots = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def ioctl(self, request, record):
        fcntl.ioctl(self.fd, request, record)
        return record

    def querycap(self):
        cap = self.ioctl(QUERYCAP, Capability())
        return {"driver": _text(cap.driver), "card": _text(cap.card),
                "capabilities": cap.capabilities}

    def formats(self):
        """[(code, [(width, height), ...]), ...] in the driver's order; only
        discrete sizes are kept, as the module does."""
        found = []
        for index in range(1024):
            desc = FmtDesc(index=index, type=BUF_TYPE_VIDEO_CAPTURE)
            try:
                self.ioctl(ENUM_FMT, desc)
            except OSError as e:
                assert e.errno == errno.EINVAL, e
                break
            found.append((desc.pixelformat, self.frame_sizes(desc.pixelformat)))
        return found

    def frame_sizes(self, code):
        sizes = []
        for index in range(1024):
            size = FrmSizeEnum(index=index, pixel_format=code)
            try:
                self.ioctl(ENUM_FRAMESIZES, size)
            except OSError as e:
                assert e.errno == errno.EINVAL, e
                break
            if size.type == FRMSIZE_TYPE_DISCRETE:
                sizes.append((size.size.discrete.width, size.size.discrete.height))
        return sizes

    def set_format(self, code, width, height):
        f = Format(type=BUF_TYPE_VIDEO_CAPTURE)
        f.fmt.pix.width, f.fmt.pix.height, f.fmt.pix.pixelformat = width, height, fourcc(code)
        return self.ioctl(S_FMT, f).fmt.pix

    def get_format(self):
        return self.ioctl(G_FMT, Format(type=BUF_TYPE_VIDEO_CAPTURE)).fmt.pix

    def frame_rate(self):
        parm = self.ioctl(G_PARM, StreamParm(type=BUF_TYPE_VIDEO_CAPTURE)).parm.capture
        return parm.denominator / parm.numerator

    def set_frame_rate(self, fps):
        parm = StreamParm(type=BUF_TYPE_VIDEO_CAPTURE)
        parm.parm.capture.numerator, parm.parm.capture.denominator = 1, fps
        self.ioctl(S_PARM, parm)
        return self.frame_rate()

    def set_control(self, cid, value):
        self.ioctl(S_CTRL, Control(id=cid, value=value))

    def request_buffers(self, count):
        req = RequestBuffers(count=count, type=BUF_TYPE_VIDEO_CAPTURE, memory=MEMORY_USERPTR)
        return self.ioctl(REQBUFS, req).count

    def start(self, count=2):
        """Streams into count user-pointer buffers of its own; the driver
        answers its own request and the frames are left unread."""
        count = self.request_buffers(count)
        size = self.get_format().sizeimage
        self._slots = [ctypes.create_string_buffer(size) for _ in range(count)]
        for index, slot in enumerate(self._slots):
            self.queue(index)
        self.ioctl(STREAMON, ctypes.c_int(BUF_TYPE_VIDEO_CAPTURE))

    def queue(self, index):
        slot = self._slots[index]
        buf = Buffer(index=index, type=BUF_TYPE_VIDEO_CAPTURE, memory=MEMORY_USERPTR,
                     length=len(slot))
        buf.m.userptr = ctypes.addressof(slot)
        self.ioctl(QBUF, buf)

    def dequeue(self, timeout_s=2.0):
        """Index and bytes of the next filled buffer."""
        ready, _, _ = select.select([self.fd], [], [], timeout_s)
        assert ready, "no frame from %s within %.1f s" % (self.path, timeout_s)
        buf = self.ioctl(DQBUF, Buffer(type=BUF_TYPE_VIDEO_CAPTURE, memory=MEMORY_USERPTR))
        return buf.index, self._slots[buf.index].raw[:buf.bytesused]

    def stop(self):
        self.ioctl(STREAMOFF, ctypes.c_int(BUF_TYPE_VIDEO_CAPTURE))
        self.request_buffers(0)
        self._slots = []
