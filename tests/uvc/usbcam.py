"""The tier's USB camera (uvccam/, a gadgetfs program) seen from the tests:
starting it with a configuration, finding the nodes uvcvideo makes for it,
unplugging it, and the frames it sends, computed here independently."""
import collections
import os
import signal
import subprocess
import time

import numpy as np

import v4l2

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PROGRAM = os.environ.get("CAMSNAP_UVCCAM") or os.path.join(TOP, "build", "py3.11", "uvccam", "uvccam")
GADGET = "/dev/gadget"

CAP_VIDEO_CAPTURE = 0x00000001
CAP_META_CAPTURE = 0x00800000

# Bits per pixel of the formats the camera offers, and the codes V4L2 shows.
BITS = {"Y16": 16, "BGR3": 24, "YU12": 12, "YUYV": 16}
FOURCC = {"Y16": "Y16 ", "BGR3": "BGR3", "YU12": "YU12", "YUYV": "YUYV"}

BYTE_MIX = np.uint32(2654435761)
FRAME_MIX = 40503


def raw_frame(code, width, height, number):
    """The bytes the camera sends as its frame `number` (see uvccam/format.h)."""
    size = width * height * BITS[code] // 8
    index = np.arange(size, dtype=np.uint32)
    offset = np.uint32((number * FRAME_MIX) & 0xFFFFFFFF)
    data = ((index * BYTE_MIX + offset) >> np.uint32(24)).astype(np.uint8)
    if code == "YU12":
        data[:32] = [255 if (number >> bit) & 1 else 0 for bit in range(32)]
        luma = width * height
        data[luma:luma + 16] = 128
        data[luma + luma // 4:luma + luma // 4 + 16] = 128
    else:
        data[:4] = np.frombuffer(np.uint32(number).tobytes(), dtype=np.uint8)
    return data.tobytes()


def number_of(frame):
    """The frame number stamped into a captured array: two 16-bit pixels, or
    32 black-or-white pixels of an RGB frame."""
    if frame.dtype == np.uint16:
        return int(frame[0, 0]) | int(frame[0, 1]) << 16
    stamp = frame[0, :32]
    assert np.all((stamp == 0) | (stamp == 255)), "no frame number in %r" % stamp[:, 0]
    return sum(1 << bit for bit in range(32) if stamp[bit, 0] == 255)


class Camera:
    """One run of the camera program: plugged in when started, unplugged when
    it exits."""

    def __init__(self, name, formats, fps=30, unplug_after=None, log_dir="/tmp"):
        self.name = name
        self.formats = formats  # [("Y16", [(160, 120)]), ...]
        self.fps = fps
        args = [PROGRAM, "--verbose", "--name", name, "--fps", str(fps)]
        for code, sizes in formats:
            args += ["--format", "%s:%s" % (code, ",".join("%dx%d" % s for s in sizes))]
        if unplug_after:
            args += ["--unplug-after", str(unplug_after)]
        self.log_path = os.path.join(log_dir, "uvccam-%d.log" % time.monotonic_ns())
        self.log_file = open(self.log_path, "w")
        started = time.monotonic()
        self.process = subprocess.Popen(args, stdout=self.log_file, stderr=subprocess.STDOUT)
        self.capture, self.metadata = self._wait_for_nodes()
        self.enumeration_s = time.monotonic() - started

    def _wait_for_nodes(self, timeout_s=30):
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("uvccam exited with %d: %s" % (self.process.returncode, self.log()))
            nodes = nodes_named(self.name)
            if len(nodes) == 2:
                return nodes
            time.sleep(0.1)
        raise RuntimeError("uvcvideo made no nodes for %r within %d s: %s"
                           % (self.name, timeout_s, self.log()))

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def alive(self):
        return self.process.poll() is None

    def unplug(self, sig=signal.SIGTERM, timeout_s=30):
        """Ends the program (the device leaves the bus) and waits until
        uvcvideo has taken its nodes away."""
        if self.alive():
            self.process.send_signal(sig)
        self.wait_gone(timeout_s)

    def wait_gone(self, timeout_s=30):
        self.process.wait(timeout=timeout_s)
        self.log_file.close()
        deadline = time.monotonic() + timeout_s
        while nodes_named(self.name) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not nodes_named(self.name), "the nodes of %r stayed after the unplug" % self.name


def nodes_named(name):
    """(capture node, metadata node) numbers of the camera called name, as far
    as uvcvideo has registered them."""
    capture = metadata = None
    root = "/sys/class/video4linux"
    for entry in sorted(os.listdir(root)) if os.path.isdir(root) else []:
        try:
            with open(os.path.join(root, entry, "name")) as f:
                if f.read().strip() != name:
                    continue
            number = int(entry[len("video"):])
            caps = driver_view(number, lambda fd: v4l2.querycap(fd).device_caps)
        except OSError:
            continue  # going away or not yet there
        if caps & CAP_VIDEO_CAPTURE:
            capture = number
        elif caps & CAP_META_CAPTURE:
            metadata = number
    return () if capture is None or metadata is None else (capture, metadata)


def driver_view(number, read):
    """read(fd) on a descriptor of the tier's own, independent of the module."""
    fd = v4l2.open_node(number)
    try:
        return read(fd)
    finally:
        os.close(fd)


VIDIOC_G_FMT = v4l2._IOWR("V", 4, v4l2.v4l2_format)


def driver_format(fd):
    """(code, width, height, bytesperline, sizeimage) the driver holds."""
    f = v4l2.v4l2_format(type=v4l2.V4L2_BUF_TYPE_VIDEO_CAPTURE)
    v4l2.ioctl(fd, VIDIOC_G_FMT, f)
    pix = f.fmt.pix
    code = "".join(chr((pix.pixelformat >> s) & 0xFF) for s in (0, 8, 16, 24))
    return code, pix.width, pix.height, pix.bytesperline, pix.sizeimage


class Bus:
    """The one dummy_hcd port: one camera at a time. Tests ask for a camera by
    configuration; a running camera of the same configuration is kept."""

    def __init__(self, log_dir):
        self.log_dir = log_dir
        self.camera = None
        self.key = None
        self.runs = []  # every camera started, for the closing summary
        self.notes = []  # what tests measured, for the closing summary

    def plug(self, fresh=False, **config):
        key = repr(sorted(config.items()))
        if self.camera and (fresh or key != self.key or not self.camera.alive()):
            self.unplug()
        if not self.camera:
            self.camera = Camera(log_dir=self.log_dir, **config)
            self.key = key
            self.runs.append(self.camera)
        return self.camera

    def unplug(self):
        if self.camera:
            camera, self.camera = self.camera, None
            camera.unplug()


    def summary(self):
        """What the camera runs showed: how long uvcvideo took to make the
        nodes, the control transfers the host gave up on before the camera
        had taken them, the requests the device saw, kernel complaints."""
        if not self.runs:
            return self.notes
        times = [camera.enumeration_s for camera in self.runs]
        logs = [camera.log() for camera in self.runs]
        lost = sum(log.count("uvccam: lost control transfer") for log in logs)
        streams = sum(log.count(" ended: ") for log in logs)
        requests = collections.Counter()
        for log in logs:
            for line in log.splitlines():
                words = line.split()
                if words[1:2] == ["setup"]:
                    # type, request, high byte of wValue (descriptor type or control)
                    requests["%s %s %s" % (words[2], words[3], words[4][:2])] += 1
        kernel = subprocess.run(["dmesg"], capture_output=True, text=True).stdout
        complaints = [line for line in kernel.splitlines()
                      if any(word in line for word in ("BUG:", "WARNING:", "Oops", "Call Trace"))]
        return ["kernel: %d complaints in dmesg%s" % (len(complaints), "".join(
                    "\n  " + line for line in complaints[:10])),
                "uvccam: %d runs, nodes %.2f-%.2f s after start (mean %.2f s), %d streams, "
                "%d control transfers abandoned by the host"
                % (len(times), min(times), max(times), sum(times) / len(times), streams, lost),
                "uvccam: requests (type request value-high: count): "
                + ", ".join("%s: %d" % item for item in sorted(requests.items()))] + self.notes


def gadget_problem():
    if not os.path.exists(PROGRAM):
        return "no camera program %s (build it: scripts/build --uvccam 3.11)" % PROGRAM
    with open("/proc/mounts") as f:
        if not any(line.split()[1:3] == [GADGET, "gadgetfs"] for line in f):
            return "gadgetfs is not mounted on %s" % GADGET
    if not os.path.isdir("/sys/module/uvcvideo"):
        return "uvcvideo is not loaded"
    return None


# The cameras of the tier. gadgetfs sends at most 256 bytes of configuration
# descriptors, room for three formats of one size each or one format with
# three sizes.
IR_CAMERA = dict(name="IR cam", formats=[("Y16", [(160, 120)]), ("BGR3", [(160, 172)]),
                                         ("YU12", [(160, 120)])])
Y16_CAMERA = dict(name="Y16 cam", formats=[("Y16", [(160, 120)])])
COLOUR_CAMERA = dict(name="Colour cam", formats=[("YU12", [(160, 120), (320, 240), (640, 480)])])
# What most webcams offer; thermal cameras carry raw 16-bit data in it.
YUYV_CAMERA = dict(name="YUYV cam", formats=[("YUYV", [(160, 120)])])
