"""A descriptor of the tier's own on a vivid node, beside the module's, so that
what the driver holds can be checked independently of the module. Built on the
ctypes records of tests/v4l2.py."""
import ctypes
import errno
import os
import select

import v4l2

CAPTURE = v4l2.V4L2_BUF_TYPE_VIDEO_CAPTURE

# vivid's own controls (class 0x00f00000), as v4l2-ctl -L names them.
CID_VIVID_OSD_TEXT_MODE = 0x00F0F001   # menu: 0 all, 1 counters only, 2 none


def fourcc(code):
    return ord(code[0]) | ord(code[1]) << 8 | ord(code[2]) << 16 | ord(code[3]) << 24


def fourcc_str(value):
    return "".join(chr((value >> shift) & 0xFF) for shift in (0, 8, 16, 24))


u32 = ctypes.c_uint32


# The requests vivid needs beyond those of tests/v4l2.py: reading the format
# back, the frame rate and vivid's controls.
class CaptureParm(ctypes.Structure):
    _fields_ = [("capability", u32), ("capturemode", u32), ("numerator", u32),
                ("denominator", u32), ("extendedmode", u32), ("readbuffers", u32),
                ("reserved", u32 * 4)]


class StreamParmUnion(ctypes.Union):
    _fields_ = [("capture", CaptureParm), ("raw_data", ctypes.c_uint8 * 200)]


class StreamParm(ctypes.Structure):
    _fields_ = [("type", u32), ("parm", StreamParmUnion)]


class Control(ctypes.Structure):
    _fields_ = [("id", u32), ("value", ctypes.c_int32)]


G_FMT = v4l2._IOWR("V", 4, v4l2.v4l2_format)
G_PARM = v4l2._IOWR("V", 21, StreamParm)
S_PARM = v4l2._IOWR("V", 22, StreamParm)
S_CTRL = v4l2._IOWR("V", 28, Control)


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
        v4l2.ioctl(self.fd, request, record)
        return record

    def querycap(self):
        cap = v4l2.querycap(self.fd)
        return {"driver": _text(cap.driver), "card": _text(cap.card),
                "capabilities": cap.capabilities}

    def formats(self):
        """[(code, [(width, height), ...]), ...] in the driver's order; only
        discrete sizes are kept, as the module does."""
        found = []
        for index in range(1024):
            desc = v4l2.v4l2_fmtdesc(index=index, type=CAPTURE)
            try:
                self.ioctl(v4l2.VIDIOC_ENUM_FMT, desc)
            except OSError as e:
                assert e.errno == errno.EINVAL, e
                break
            found.append((desc.pixelformat, self.frame_sizes(desc.pixelformat)))
        return found

    def frame_sizes(self, code):
        sizes = []
        for index in range(1024):
            size = v4l2.v4l2_frmsizeenum(index=index, pixel_format=code)
            try:
                self.ioctl(v4l2.VIDIOC_ENUM_FRAMESIZES, size)
            except OSError as e:
                assert e.errno == errno.EINVAL, e
                break
            if size.type == v4l2.V4L2_FRMSIZE_TYPE_DISCRETE:
                sizes.append((size.discrete.width, size.discrete.height))
        return sizes

    def set_format(self, code, width, height):
        return v4l2.s_fmt(self.fd, width, height, fourcc(code))

    def get_format(self):
        return self.ioctl(G_FMT, v4l2.v4l2_format(type=CAPTURE)).fmt.pix

    def frame_rate(self):
        parm = self.ioctl(G_PARM, StreamParm(type=CAPTURE)).parm.capture
        return parm.denominator / parm.numerator

    def set_frame_rate(self, fps):
        parm = StreamParm(type=CAPTURE)
        parm.parm.capture.numerator, parm.parm.capture.denominator = 1, fps
        self.ioctl(S_PARM, parm)
        return self.frame_rate()

    def set_control(self, cid, value):
        self.ioctl(S_CTRL, Control(id=cid, value=value))

    def request_buffers(self, count):
        return v4l2.reqbufs(self.fd, count)

    def start(self, count=2):
        """Streams into count user-pointer buffers of its own; the driver
        answers its own request and the frames are left unread."""
        count = self.request_buffers(count)
        size = self.get_format().sizeimage
        self._slots = [ctypes.create_string_buffer(size) for _ in range(count)]
        for index, slot in enumerate(self._slots):
            self.queue(index)
        v4l2.streamon(self.fd)

    def queue(self, index):
        slot = self._slots[index]
        v4l2.qbuf(self.fd, index, ctypes.addressof(slot), len(slot))

    def dequeue(self, timeout_s=2.0):
        """Index and bytes of the next filled buffer."""
        ready, _, _ = select.select([self.fd], [], [], timeout_s)
        assert ready, "no frame from %s within %.1f s" % (self.path, timeout_s)
        buf = v4l2.dqbuf(self.fd)
        return buf.index, self._slots[buf.index].raw[:buf.bytesused]

    def stop(self):
        v4l2.streamoff(self.fd)
        self.request_buffers(0)
        self._slots = []
