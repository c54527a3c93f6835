"""Self-tests of the virtual camera: the driver behaviour the module's own tests rely on
without exercising it directly (refusals, queue rules, poll, clock, patterns)."""
import ctypes
import errno
import fcntl
import itertools
import mmap
import os
import select
import signal
import stat
import struct
import termios
import threading
import time

import pytest

import v4l2
import camsnap_vcam as vcam
from test_capture import heap_bytes

Y16 = vcam.fourcc("Y16 ")
YU12 = vcam.fourcc("YU12")
BGR3 = vcam.fourcc("BGR3")


@pytest.fixture(autouse=True)
def fresh():
    vcam.reset()
    yield
    vcam.reset()


@pytest.fixture
def node():
    vcam.add_node(0)
    fd = v4l2.open_node(0)
    yield fd
    os.close(fd)


class Slots(object):
    """User-pointer memory for k buffers of `size` bytes."""

    def __init__(self, k, size):
        self.size = size
        self.mem = ctypes.create_string_buffer(k * size)

    def addr(self, i):
        return ctypes.addressof(self.mem) + i * self.size

    def data(self, i):
        return self.mem.raw[i * self.size:(i + 1) * self.size]


def start(fd, k=2, width=160, height=120, pixelformat=Y16):
    pix = v4l2.s_fmt(fd, width, height, pixelformat)
    granted = v4l2.reqbufs(fd, k)
    slots = Slots(granted, pix.sizeimage)
    for i in range(granted):
        v4l2.qbuf(fd, i, slots.addr(i), pix.sizeimage)
    v4l2.streamon(fd)
    return slots


def poll_in(fd, timeout_ms):
    p = select.poll()
    p.register(fd, select.POLLIN)
    return p.poll(timeout_ms)


def fails_with(code, call, *args):
    with pytest.raises(OSError) as info:
        call(*args)
    assert info.value.errno == code


@pytest.mark.parametrize("name, number", [
    ("VIDIOC_QUERYCAP", 0x80685600), ("VIDIOC_ENUM_FMT", 0xc0405602),
    ("VIDIOC_S_FMT", 0xc0d05605), ("VIDIOC_REQBUFS", 0xc0145608),
    ("VIDIOC_QBUF", 0xc058560f), ("VIDIOC_DQBUF", 0xc0585611),
    ("VIDIOC_STREAMON", 0x40045612), ("VIDIOC_STREAMOFF", 0x40045613),
    ("VIDIOC_ENUM_FRAMESIZES", 0xc02c564a), ("VIDIOC_G_FMT", 0xc0d05604),
    ("VIDIOC_TRY_FMT", 0xc0d05640), ("VIDIOC_QUERYBUF", 0xc0585609),
    ("VIDIOC_G_PARM", 0xc0cc5615), ("VIDIOC_S_PARM", 0xc0cc5616),
    ("VIDIOC_ENUMINPUT", 0xc050561a), ("VIDIOC_G_INPUT", 0x80045626),
    ("VIDIOC_S_INPUT", 0xc0045627), ("VIDIOC_QUERYCTRL", 0xc0445624),
    ("VIDIOC_G_CTRL", 0xc008561b), ("VIDIOC_S_CTRL", 0xc008561c),
    ("VIDIOC_CREATE_BUFS", 0xc100565c), ("VIDIOC_EXPBUF", 0xc0405610),
    ("VIDIOC_ENUM_FRAMEINTERVALS", 0xc034564b), ("VIDIOC_G_PRIORITY", 0x80045643),
    ("VIDIOC_S_PRIORITY", 0x40045644),
])
def test_record_layouts_give_the_kernels_request_numbers(name, number):
    assert getattr(v4l2, name) == number


def test_unconfigured_paths_pass_through(tmp_path):
    vcam.add_node(0)
    fails_with(errno.ENOENT, v4l2.open_node, 3)
    fails_with(errno.ENOENT, os.open, "/dev/video00", os.O_RDWR)
    path = tmp_path / "plain"
    path.write_bytes(b"abc")
    with open(str(path), "rb") as f:
        assert f.read() == b"abc"


AT_FDCWD = -100
LIBC = ctypes.CDLL(None, use_errno=True)


@pytest.mark.parametrize("path, cwd", [
    ("/dev/video3", None), ("/dev/./video3", None), ("//dev//video3", None),
    ("/tmp/../dev/video3", None), ("video3", "/dev"), ("../dev/video3", "/tmp"),
])
def test_every_path_naming_the_node_is_its_character_device(path, cwd, monkeypatch):
    vcam.add_node(3)
    if cwd:
        monkeypatch.chdir(cwd)
    st = os.stat(path)
    assert stat.S_ISCHR(st.st_mode) and (os.major(st.st_rdev), os.minor(st.st_rdev)) == (81, 3)
    assert os.access(path, os.R_OK | os.W_OK)
    fd = os.open(path, os.O_RDWR)
    try:
        assert os.fstat(fd).st_rdev == st.st_rdev
        assert os.readlink("/proc/self/fd/%d" % fd) == "/dev/video3"
        assert os.stat("/proc/self/fd/%d" % fd).st_rdev == st.st_rdev
    finally:
        os.close(fd)


def test_sysfs_and_dev_list_each_node_as_configured_now():
    vcam.add_node(0, card="front")
    assert os.listdir("/sys/class/video4linux") == ["video0"]
    vcam.add_node(5)
    assert sorted(os.listdir("/sys/class/video4linux")) == ["video0", "video5"]
    base = "/sys/class/video4linux/video5/"
    assert [open(base + f).read() for f in ("name", "dev", "index")] == ["IR cam\n", "81:5\n", "0\n"]
    assert "DEVNAME=video5" in open("/sys/dev/char/81:5/uevent").read().split()
    assert open("/sys/class/video4linux/video0/name").read() == "front\n"
    assert {"video0", "video5", "null"} <= set(os.listdir("/dev"))


def test_a_killed_process_leaves_no_testbed_behind(tmp_path):
    vcam.add_node(0)
    env = dict(os.environ, TMPDIR=str(tmp_path))
    killed = subprocess.run([sys.executable, "-c", "import os, signal; os.listdir('/sys/class/video4linux'); "
                             "os.kill(os.getpid(), signal.SIGKILL)"], env=env)
    assert killed.returncode == -signal.SIGKILL and len(os.listdir(str(tmp_path))) == 1
    run_child("import os; os.listdir('/sys/class/video4linux')", env=env)
    assert os.listdir(str(tmp_path)) == []


@pytest.mark.parametrize("entry, at, nofollow", [
    ("__xstat", False, False), ("__xstat64", False, False), ("__lxstat", False, True),
    ("__lxstat64", False, True), ("__fxstatat", True, False), ("__fxstatat64", True, False),
])
@pytest.mark.parametrize("path", ["/dev/video7", "/sys/class/video4linux/video7/dev", __file__])
def test_the_stat_entry_points_of_glibc_before_2_33_answer_as_stat(entry, at, nofollow, path):
    # Programs built against glibc 2.17 to 2.32 call these (the wheels are built against
    # 2.17); the version argument is the layout's, _STAT_VER.
    vcam.add_node(7)
    version = 1 if os.uname().machine == "x86_64" else 0
    got, want = ctypes.create_string_buffer(512), ctypes.create_string_buffer(512)
    f = getattr(LIBC, entry)
    args = (AT_FDCWD, path.encode(), got, 0) if at else (path.encode(), got)
    assert f(version, *args) == 0, os.strerror(ctypes.get_errno())
    assert (LIBC.lstat if nofollow else LIBC.stat)(path.encode(), want) == 0
    assert got.raw == want.raw


@pytest.mark.parametrize("request_name", ["VIDIOC_QUERYCAP", "VIDIOC_S_FMT", "VIDIOC_DQBUF"])
def test_an_argument_pointer_to_nothing_is_efault(node, request_name):
    LIBC.ioctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p]
    for address in (None, 8):  # NULL, and an address on the unmapped first page
        assert LIBC.ioctl(node, getattr(v4l2, request_name), address) == -1
        assert ctypes.get_errno() == errno.EFAULT


@pytest.mark.parametrize("entry, at", [
    ("open", False), ("open64", False), ("__open_2", False), ("__open64_2", False),
    ("openat", True), ("openat64", True), ("__openat_2", True), ("__openat64_2", True),
])
def test_every_open_entry_point_reaches_the_node(entry, at):
    vcam.add_node(12)
    f = getattr(LIBC, entry)
    args = (b"/dev/video12", os.O_RDWR | os.O_NONBLOCK)
    fd = f(AT_FDCWD, *args) if at else f(*args)
    assert fd >= 0, os.strerror(ctypes.get_errno())
    try:
        assert vcam.state(12)["open_fds"] == 1
    finally:
        os.close(fd)
    assert vcam.state(12)["open_fds"] == 0


@pytest.mark.parametrize("request_type", [ctypes.c_ulong, ctypes.c_int])
def test_ioctl_request_in_either_prototype(node, request_type):
    # int-prototype callers pass VIDIOC_QUERYCAP as a negative int
    request = v4l2.VIDIOC_QUERYCAP if request_type is ctypes.c_ulong else v4l2.VIDIOC_QUERYCAP - 2 ** 32
    cap = v4l2.v4l2_capability()
    LIBC.ioctl.argtypes = [ctypes.c_int, request_type, ctypes.c_void_p]
    assert LIBC.ioctl(node, request, ctypes.byref(cap)) == 0
    assert cap.capabilities == 0x84200001


def test_querycap_carries_any_card_bytes():
    card = b"\xff\xfeIR \xc3("
    vcam.add_node(7, card=card, capabilities=0x84200001)
    fd = v4l2.open_node(7, os.O_RDWR)
    try:
        cap = v4l2.querycap(fd)
        assert bytes(cap.card).rstrip(b"\0") == card
        assert (cap.capabilities, cap.device_caps) == (0x84200001, 0x04200001)
    finally:
        os.close(fd)


def test_enumerations_end_with_einval():
    vcam.add_node(0, formats=[vcam.fmt("Y16 ", [(160, 120), (640, 480)]),
                              vcam.fmt("BGR3", [vcam.stepwise(16, 640, 16, 16, 480, 2)])])
    fd = v4l2.open_node(0)
    try:
        codes = []
        d = v4l2.v4l2_fmtdesc(type=v4l2.V4L2_BUF_TYPE_VIDEO_CAPTURE)
        with pytest.raises(OSError) as info:
            while True:
                v4l2.ioctl(fd, v4l2.VIDIOC_ENUM_FMT, d)
                codes.append((d.pixelformat, bytes(d.description).rstrip(b"\0")))
                d.index += 1
        assert info.value.errno == errno.EINVAL
        assert codes == [(Y16, b"16-bit Greyscale"), (BGR3, b"24-bit BGR 8-8-8")]
        e = v4l2.v4l2_frmsizeenum(index=1, pixel_format=Y16)
        v4l2.ioctl(fd, v4l2.VIDIOC_ENUM_FRAMESIZES, e)
        assert (e.type, e.discrete.width, e.discrete.height) == (1, 640, 480)
        e = v4l2.v4l2_frmsizeenum(index=0, pixel_format=BGR3)
        v4l2.ioctl(fd, v4l2.VIDIOC_ENUM_FRAMESIZES, e)
        assert (e.type, e.stepwise.max_width, e.stepwise.step_height) == (3, 640, 2)
        e.index = 1
        fails_with(errno.EINVAL, v4l2.ioctl, fd, v4l2.VIDIOC_ENUM_FRAMESIZES, e)
    finally:
        os.close(fd)


@pytest.mark.parametrize("formats, asked, answer", [
    # nearest discrete size by |dw| + |dh|
    ([vcam.fmt("Y16 ", [(160, 120), (640, 480)])], (641, 481, "Y16 "), (640, 480, 1280, 614400, "Y16 ")),
    ([vcam.fmt("Y16 ", [(160, 120), (640, 480)])], (300, 200, "Y16 "), (160, 120, 320, 38400, "Y16 ")),
    # stepwise: clamped to the range, rounded to the step
    ([vcam.fmt("BGR3", [vcam.stepwise(16, 640, 16, 16, 480, 2)])], (1000, 171, "BGR3"),
     (640, 172, 1920, 330240, "BGR3")),
    ([vcam.fmt("BGR3", [vcam.stepwise(16, 640, 16, 16, 480, 2)])], (2, 3, "BGR3"), (16, 16, 48, 768, "BGR3")),
    ([vcam.fmt("GREY", [vcam.continuous(1, 100, 1, 100)])], (33, 500, "GREY"), (33, 100, 33, 3300, "GREY")),
    # an unknown format is answered with the first one
    ([vcam.fmt("YU12", [(640, 480)]), vcam.fmt("Y16 ", [(8, 8)])], (640, 480, "MJPG"),
     (640, 480, 640, 460800, "YU12")),
    # line padding grows bytesperline and sizeimage
    ([vcam.fmt("Y16 ", [(160, 120)], pad=64)], (160, 120, "Y16 "), (160, 120, 384, 46080, "Y16 ")),
    ([vcam.fmt("YU12", [(160, 121)], pad=16)], (160, 121, "YU12"), (160, 121, 176, 31944, "YU12")),
])
def test_s_fmt_snaps_to_what_the_camera_has(formats, asked, answer):
    vcam.add_node(0, formats=formats)
    fd = v4l2.open_node(0)
    try:
        pix = v4l2.s_fmt(fd, asked[0], asked[1], vcam.fourcc(asked[2]))
        got = (pix.width, pix.height, pix.bytesperline, pix.sizeimage, pix.pixelformat)
        assert got == answer[:4] + (vcam.fourcc(answer[4]),)
        assert vcam.state(0)["sizeimage"] == answer[3]
    finally:
        os.close(fd)


def test_fmt_answer_overrides_the_driver_answer():
    vcam.add_node(0, fmt_answer=dict(width=0, pixelformat="YU12"))
    fd = v4l2.open_node(0)
    try:
        pix = v4l2.s_fmt(fd, 640, 480, Y16)
        assert (pix.width, pix.height, pix.bytesperline, pix.pixelformat) == (0, 480, 1280, YU12)
    finally:
        os.close(fd)


def test_s_fmt_is_refused_while_buffers_are_allocated(node):
    v4l2.reqbufs(node, 2)
    fails_with(errno.EBUSY, v4l2.s_fmt, node, 640, 480, Y16)
    v4l2.reqbufs(node, 0)
    assert v4l2.s_fmt(node, 640, 480, Y16).width == 640


def test_reqbufs_clamps_and_refuses():
    vcam.add_node(0, min_buffers=3, max_buffers=4)
    fd = v4l2.open_node(0)
    try:
        assert v4l2.reqbufs(fd, 1) == 3
        assert v4l2.reqbufs(fd, 9) == 4
        fails_with(errno.EINVAL, v4l2.reqbufs, fd, 2, v4l2.V4L2_MEMORY_DMABUF)
        v4l2.reqbufs(fd, 0)
        slots = start(fd, k=3)  # noqa: F841 (the driver holds its memory)
        fails_with(errno.EBUSY, v4l2.reqbufs, fd, 3)
        fails_with(errno.EBUSY, v4l2.reqbufs, fd, 0)
        v4l2.streamoff(fd)
        assert v4l2.reqbufs(fd, 0) == 0
        assert vcam.state(0)["allocated"] == 0
    finally:
        os.close(fd)


@pytest.mark.parametrize("change, err", [
    (dict(index=2), errno.EINVAL), (dict(length=38399), errno.EINVAL), (dict(userptr=0), errno.EINVAL),
    (dict(memory=v4l2.V4L2_MEMORY_MMAP), errno.EINVAL), (dict(type=2), errno.EINVAL),
    ("twice", errno.EINVAL), (dict(userptr=4096), errno.EFAULT),  # the zero page is never mapped
])
def test_qbuf_refuses_a_bad_buffer(node, change, err):
    pix = v4l2.s_fmt(node, 160, 120, Y16)
    v4l2.reqbufs(node, 2)
    slots = Slots(2, pix.sizeimage)
    args = dict(index=1, userptr=slots.addr(1), length=pix.sizeimage)
    if change == "twice":
        v4l2.qbuf(node, **args)
    else:
        args.update(change)
    fails_with(err, lambda: v4l2.qbuf(node, **args))
    assert vcam.log(0)[-1][2] == -err


def test_streamon_needs_buffers_and_streamoff_always_succeeds(node):
    fails_with(errno.EINVAL, v4l2.streamon, node)
    v4l2.streamoff(node)
    slots = start(node, k=2)
    assert vcam.state(0)["queued"] == 2
    v4l2.streamoff(node)
    st = vcam.state(0)
    assert (st["streaming"], st["queued"], st["allocated"]) == (False, 0, 2)
    # every buffer is the application's again: each can be queued once more
    v4l2.qbuf(node, 0, slots.addr(0), slots.size)
    v4l2.qbuf(node, 1, slots.addr(1), slots.size)


def test_poll_reports_error_when_not_streaming_at_once(node):
    p = select.poll()
    p.register(node, select.POLLIN)
    assert p.poll(2000) == [(node, select.POLLERR)]


def test_poll_waits_its_timeout_when_no_frame_comes(node):
    vcam.set_stop_after(0, 1)
    slots = start(node, k=2)  # noqa: F841 (the driver holds its memory)
    assert poll_in(node, 0) == [(node, select.POLLIN)]
    v4l2.dqbuf(node)
    t0 = time.monotonic()
    assert poll_in(node, 200) == []
    assert time.monotonic() - t0 >= 0.19
    fails_with(errno.EAGAIN, v4l2.dqbuf, node)


def test_poll_wakes_when_another_thread_queues_a_buffer(node):
    slots = start(node, k=1)
    poll_in(node, 0)
    v4l2.dqbuf(node)
    late = threading.Timer(0.05, v4l2.qbuf, (node, 0, slots.addr(0), slots.size))
    late.start()
    try:
        assert poll_in(node, 5000) == [(node, select.POLLIN)]
    finally:
        late.join()


def test_poll_on_a_node_and_a_pipe_together(node):
    vcam.set_stop_after(0, 0)
    slots = start(node, k=1)  # noqa: F841 (the driver holds its memory)
    r, w = os.pipe()
    try:
        p = select.poll()
        p.register(node, select.POLLIN)
        p.register(r, select.POLLIN)
        assert p.poll(50) == []
        os.write(w, b"x")
        assert p.poll(5000) == [(r, select.POLLIN)]
    finally:
        os.close(r)
        os.close(w)


def _ppoll(fd):
    fds = (ctypes.c_int * 2)(fd, select.POLLIN)  # struct pollfd {int fd; short events, revents;}
    LIBC.ppoll.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_void_p]
    limit = (ctypes.c_long * 2)(5, 0)
    return LIBC.ppoll(fds, 1, limit, None), fds[1] >> 16


def _pselect(fd):
    readable = (ctypes.c_ulong * 16)()
    readable[fd // 64] |= 1 << (fd % 64)
    LIBC.pselect.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                             ctypes.c_void_p, ctypes.c_void_p]
    return LIBC.pselect(fd + 1, readable, None, None, (ctypes.c_long * 2)(5, 0), None), bool(readable[fd // 64] >> (fd % 64) & 1)


def _epoll(fd):
    with select.epoll() as ep:
        ep.register(fd, select.EPOLLIN)
        return ep.poll(5), ep.poll(0) != []


@pytest.mark.parametrize("wait, ready", [
    (_ppoll, (1, select.POLLIN)), (_pselect, (1, True)),
])
def test_every_poll_call_wakes_for_a_frame(wait, ready):
    vcam.add_node(0, fps=20.0)
    fd = v4l2.open_node(0)
    try:
        slots = start(fd, k=1)  # noqa: F841 (the driver holds its memory)
        assert wait(fd) == ready
    finally:
        os.close(fd)


def test_epoll_wakes_for_a_frame_and_keeps_its_own_set():
    vcam.add_node(0, fps=20.0, stop_after=1)
    fd = v4l2.open_node(0)
    try:
        slots = start(fd, k=1)  # noqa: F841 (the driver holds its memory)
        assert _epoll(fd) == ([(fd, select.EPOLLIN)], True)
        v4l2.dqbuf(fd)
        with select.epoll() as ep:
            ep.register(fd, select.EPOLLIN)
            assert ep.poll(0.05) == []  # nothing more comes
            fails_with(errno.EEXIST, ep.register, fd, select.EPOLLIN)
            ep.unregister(fd)
            fails_with(errno.ENOENT, ep.unregister, fd)
    finally:
        os.close(fd)


def test_a_handled_signal_interrupts_a_blocking_poll(node):
    vcam.set_stop_after(0, 0)
    slots = start(node, k=1)  # noqa: F841 (the driver holds its memory)
    fds = (ctypes.c_int * 2)(node, select.POLLIN)
    LIBC.ppoll.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_void_p]
    previous = signal.signal(signal.SIGALRM, lambda *_: None)
    # Held back until ppoll sleeps with an empty mask: then it is taken there, at once.
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
    began = time.monotonic()
    try:
        signal.pthread_kill(threading.main_thread().ident, signal.SIGALRM)
        result = LIBC.ppoll(fds, 1, (ctypes.c_long * 2)(5, 0), ctypes.create_string_buffer(128))
        err = ctypes.get_errno()
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM})
        signal.signal(signal.SIGALRM, previous)
    waited = time.monotonic() - began
    assert (result, err) == (-1, errno.EINTR), "ppoll gave %d after %.3f s" % (result, waited)


DUPS = {
    "dup": lambda fd: os.dup(fd),
    "dup2": lambda fd: os.dup2(fd, 200) or 200,  # None before Python 3.7
    "dup3": lambda fd: LIBC.dup3(fd, 201, os.O_CLOEXEC),
    "F_DUPFD": lambda fd: fcntl.fcntl(fd, fcntl.F_DUPFD, 100),
    "F_DUPFD_CLOEXEC": lambda fd: fcntl.fcntl(fd, 1030, 100),
}


@pytest.mark.parametrize("how", sorted(DUPS))
def test_a_duplicate_shares_the_open_file_and_the_node_closes_with_the_last(how):
    vcam.add_node(0)
    fd = v4l2.open_node(0)
    copy = DUPS[how](fd)
    try:
        assert copy >= 0 and copy != fd
        v4l2.s_fmt(fd, 160, 120, Y16)
        v4l2.reqbufs(fd, 1, MMAP)
        v4l2.qbuf(copy, 0, 0, 0, memory=MMAP)  # the owner's buffers: no EBUSY
        v4l2.streamon(copy)
        os.close(fd)
        assert vcam.state(0)["open_fds"] == 1 and v4l2.dqbuf(copy, MMAP).index == 0
    finally:
        os.close(copy)
    assert vcam.state(0)["open_fds"] == 0 and vcam.state(0)["allocated"] == 0


def test_dup2_over_a_node_descriptor_closes_it():
    vcam.add_node(0)
    fd = v4l2.open_node(0)
    r, w = os.pipe()
    try:
        os.dup2(r, fd)
        assert vcam.state(0)["open_fds"] == 0
        os.write(w, b"x")
        assert os.read(fd, 1) == b"x"
    finally:
        for d in (fd, r, w):
            os.close(d)


def test_read_write_and_syscall_answer_as_the_driver(node):
    fails_with(errno.EINVAL, os.read, node, 4)
    fails_with(errno.EINVAL, os.write, node, b"x")
    LIBC.syscall.restype = ctypes.c_long
    LIBC.syscall.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_long]
    cap = v4l2.v4l2_capability()
    assert LIBC.syscall(16 if os.uname().machine == "x86_64" else 29, node, v4l2.VIDIOC_QUERYCAP,
                        ctypes.addressof(cap), 0) == 0  # SYS_ioctl
    assert cap.capabilities == 0x84200001
    opened = LIBC.syscall(257 if os.uname().machine == "x86_64" else 56, AT_FDCWD,
                          ctypes.c_ulong(ctypes.cast(ctypes.c_char_p(b"/dev/video0"), ctypes.c_void_p).value),
                          os.O_RDWR, 0)  # SYS_openat
    assert opened >= 0 and vcam.state(0)["open_fds"] == 2
    os.close(opened)


def test_a_forked_child_has_a_working_device_and_the_parent_keeps_its_own(node):
    slots = start(node, k=2)  # noqa: F841 (the driver holds its memory)
    pid = os.fork()
    if pid == 0:
        try:
            ok = v4l2.dqbuf(node).sequence == 0 and vcam.state(0)["queued"] == 1
        finally:
            os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert status == 0
    assert [v4l2.dqbuf(node).sequence for _ in range(2)] == [0, 1]


def test_reset_leaves_open_descriptors_to_their_owner(tmp_path):
    # A plain file answers ENOTTY, or ENOSYS under qemu-user, which passes on
    # no ioctl it does not know.
    with open(str(tmp_path / "plain"), "w") as plain:
        plain_errno = pytest.raises(OSError, v4l2.querycap, plain.fileno()).value.errno
    assert plain_errno in (errno.ENOTTY, errno.ENOSYS)
    vcam.add_node(0)
    fd = v4l2.open_node(0)
    vcam.reset()
    fails_with(plain_errno, v4l2.querycap, fd)  # a plain descriptor now
    os.close(fd)
    fails_with(errno.EBADF, os.close, fd)


def test_blocking_dqbuf_waits_for_the_clock():
    vcam.add_node(0, fps=50.0)
    fd = v4l2.open_node(0, os.O_RDWR)
    try:
        slots = start(fd, k=2)  # noqa: F841 (the driver holds its memory)
        assert [v4l2.dqbuf(fd).sequence for _ in range(2)] == [0, 1]
    finally:
        os.close(fd)


def test_file_level_requests_reach_the_descriptor():
    vcam.add_node(0)
    fd = v4l2.open_node(0, os.O_RDWR)
    try:
        fcntl.ioctl(fd, termios.FIONBIO, struct.pack("i", 1))
        assert fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_NONBLOCK
        assert [name for name, _, _ in vcam.log(0)] == ["OPEN"]
    finally:
        os.close(fd)


def test_frames_carry_the_pattern_and_their_sequence(node):
    slots = start(node, k=3, width=160, height=120)
    seen = []
    for _ in range(5):
        poll_in(node, 500)
        b = v4l2.dqbuf(node)
        frame = slots.data(b.index)
        assert frame == vcam.render("Y16 ", 160, 120, 320, 38400, b.sequence)
        # vb2 clears DONE on the way out: a dequeued buffer is neither queued nor done
        assert not b.flags & (v4l2.V4L2_BUF_FLAG_DONE | v4l2.V4L2_BUF_FLAG_QUEUED) and b.bytesused == 38400
        seen.append(b.sequence)
        v4l2.qbuf(node, b.index, slots.addr(b.index), slots.size)
    assert seen == [0, 1, 2, 3, 4]


def test_exact_frames_are_delivered_in_turn(node):
    frames = [bytes([1]) * 38400, bytes([2]) * 100]
    vcam.set_frames(0, frames)
    slots = start(node, k=1)
    for seq in range(3):
        poll_in(node, 500)
        b = v4l2.dqbuf(node)
        expect = frames[seq % 2]
        assert (b.sequence, b.bytesused) == (seq, len(expect))
        assert slots.data(0)[:len(expect)] == expect
        v4l2.qbuf(node, 0, slots.addr(0), slots.size)


def test_frames_due_without_a_queued_buffer_are_dropped(node):
    vcam.set_fps(0, 200.0)
    slots = start(node, k=1)
    assert poll_in(node, 500)
    assert v4l2.dqbuf(node).sequence == 0
    time.sleep(0.1)  # about 20 frames fall due with nothing queued
    v4l2.qbuf(node, 0, slots.addr(0), slots.size)
    assert poll_in(node, 500)
    assert v4l2.dqbuf(node).sequence >= 10


def test_closing_the_owner_stops_the_stream_and_frees_buffers(node):
    other = v4l2.open_node(0)
    slots = start(other, k=2)  # noqa: F841 (the driver holds its memory)
    fails_with(errno.EBUSY, v4l2.reqbufs, node, 1)
    os.close(other)
    st = vcam.state(0)
    assert (st["open_fds"], st["streaming"], st["allocated"]) == (1, False, 0)


# Python retries a poll interrupted by EINTR itself, so the poll fault here is another errno.
@pytest.mark.parametrize("request_name, err", [
    ("POLL", errno.ENOMEM), ("DQBUF", errno.EIO), ("QBUF", errno.EINVAL),
])
def test_injected_fault_fails_exactly_the_nth_call(node, request_name, err):
    slots = start(node, k=1)

    def round_trip():
        poll_in(node, 100)
        b = v4l2.dqbuf(node)
        v4l2.qbuf(node, b.index, slots.addr(b.index), slots.size)

    vcam.fault(0, request_name, nth=2, errno=err)
    round_trip()
    fails_with(err, round_trip)
    records = [r for name, _, r in vcam.log(0) if name == request_name]
    assert records[-2:] == [1 if request_name == "POLL" else 0, -err]


def test_open_and_close_faults():
    vcam.add_node(0, open_errno=errno.EACCES)
    vcam.add_node(1)
    fails_with(errno.EACCES, v4l2.open_node, 0)
    vcam.fault(1, "CLOSE", nth=1, errno=errno.EIO)
    fd = v4l2.open_node(1)
    fails_with(errno.EIO, os.close, fd)
    assert vcam.state(1)["open_fds"] == 0
    fails_with(errno.EBADF, os.close, fd)


def test_dqbuf_override_answers_a_hostile_record(node):
    vcam.dqbuf_override(0, nth=2, index=7, flags=v4l2.V4L2_BUF_FLAG_ERROR)
    slots = start(node, k=1)
    assert v4l2.dqbuf(node).index == 0
    v4l2.qbuf(node, 0, slots.addr(0), slots.size)
    b = v4l2.dqbuf(node)
    assert (b.index, b.flags, b.bytesused) == (7, v4l2.V4L2_BUF_FLAG_ERROR, 38400)


def y16_reference(w, h, bpl, seq):
    out = bytearray(b"\xee" * (bpl * h))
    for y in range(h):
        for x in range(w):
            v = (x * 3 + y * 7 + seq) & 0xffff
            if y == 0 and x < 2:
                v = (seq >> (16 * x)) & 0xffff
            struct.pack_into("<H", out, y * bpl + 2 * x, v)
    return bytes(out)


def yu12_reference(w, h, bpl, seq):
    out = bytearray(b"\xee" * (bpl * h * 3 // 2))
    for y in range(h):
        for x in range(w):
            out[y * bpl + x] = ((seq >> (8 * x)) if y == 0 and x < 4 else x + 2 * y + seq) & 255
    cb, half = bpl * h, bpl // 2
    cr = cb + half * (h // 2)
    for y in range(h // 2):
        for x in range(w // 2):
            out[cb + y * half + x] = (5 * x + 3 * y + seq) & 255
            out[cr + y * half + x] = (7 * x + 11 * y + 2 * seq) & 255
    return bytes(out)


@pytest.mark.parametrize("code, w, h, bpl, size, seq, expect", [
    ("Y16 ", 6, 4, 12, 48, 0x12345, y16_reference(6, 4, 12, 0x12345)),
    ("Y16 ", 5, 3, 16, 48, 70000, y16_reference(5, 3, 16, 70000)),
    ("Y16 ", 1, 2, 2, 4, 0x10009, y16_reference(1, 2, 2, 0x10009)),
    # 16-bit pixels packed two bytes each: a 4x2 BGR3 frame holds three 4-pixel rows
    ("BGR3", 4, 2, 12, 24, 0x30201, y16_reference(4, 3, 8, 0x30201)),
    ("YU12", 8, 4, 8, 48, 0x04030201, yu12_reference(8, 4, 8, 0x04030201)),
    ("YU12", 6, 3, 10, 45, 300, yu12_reference(6, 3, 10, 300)),
    ("GREY", 4, 4, 4, 16, 0x1ff, b"\xff" * 16),
])
def test_render_pattern(code, w, h, bpl, size, seq, expect):
    assert vcam.render(code, w, h, bpl, size, seq) == expect


MMAP = v4l2.V4L2_MEMORY_MMAP
PAGE = mmap.PAGESIZE


def map_buffers(fd, k, width=160, height=120, pixelformat=Y16):
    """REQBUFS with MMAP and one read-only shared mapping per buffer, as capture programs do."""
    pix = v4l2.s_fmt(fd, width, height, pixelformat)
    granted = v4l2.reqbufs(fd, k, MMAP)
    maps = []
    for i in range(granted):
        b = v4l2.querybuf(fd, i)
        maps.append(mmap.mmap(fd, b.length, mmap.MAP_SHARED, mmap.PROT_READ, offset=b.m.offset))
    return pix, maps


def test_querybuf_describes_memory_mapped_buffers(node):
    pix = v4l2.s_fmt(node, 160, 121, YU12)  # 29040 bytes: not a whole number of pages
    assert v4l2.reqbufs(node, 3, MMAP) == 3
    offsets = []
    for i in range(3):
        b = v4l2.querybuf(node, i)
        assert (b.index, b.memory, b.length, b.bytesused) == (i, MMAP, pix.sizeimage, 0)
        assert not b.flags & (v4l2.V4L2_BUF_FLAG_QUEUED | v4l2.V4L2_BUF_FLAG_DONE | v4l2.V4L2_BUF_FLAG_MAPPED)
        offsets.append(b.m.offset)
    # each buffer starts on its own page, far enough from the next to hold a frame
    assert offsets[0] == 0 and all(o % PAGE == 0 for o in offsets)
    assert all(b - a >= pix.sizeimage for a, b in zip(offsets, offsets[1:]))
    fails_with(errno.EINVAL, v4l2.querybuf, node, 3)
    assert vcam.state(0)["memory"] == MMAP


def test_memory_mapped_buffers_carry_the_frames(node):
    pix, maps = map_buffers(node, 3, 160, 120, Y16)
    try:
        for i in range(3):
            v4l2.qbuf(node, i, 0, 0, memory=MMAP)
            assert v4l2.querybuf(node, i).flags & v4l2.V4L2_BUF_FLAG_QUEUED
        v4l2.streamon(node)
        fill_before = vcam.state(0)["fill_ns"]
        for seq in range(5):
            poll_in(node, 500)
            b = v4l2.dqbuf(node, MMAP)
            assert (b.sequence, b.memory, b.bytesused) == (seq, MMAP, pix.sizeimage)
            assert b.m.offset == v4l2.querybuf(node, b.index).m.offset
            assert maps[b.index][:] == vcam.render("Y16 ", 160, 120, 320, 38400, seq)
            v4l2.qbuf(node, b.index, 0, 0, memory=MMAP)
        assert vcam.state(0)["fill_ns"] > fill_before
    finally:
        for m in maps:
            m.close()


def test_exact_frames_reach_memory_mapped_buffers(node):
    frames = [bytes([7]) * 38400, bytes(range(256)) * 150]
    vcam.set_frames(0, frames)
    pix, maps = map_buffers(node, 1)
    try:
        v4l2.qbuf(node, 0, 0, 0, memory=MMAP)
        v4l2.streamon(node)
        for seq in range(3):
            b = v4l2.dqbuf(node, MMAP)
            assert b.bytesused == 38400 and maps[0][:] == frames[seq % 2]
            v4l2.qbuf(node, 0, 0, 0, memory=MMAP)
    finally:
        maps[0].close()


@pytest.mark.parametrize("offset, length, flags, prot", [
    (PAGE, 38400, mmap.MAP_SHARED, mmap.PROT_READ),         # inside buffer 0, not a buffer's start
    (0, 40 * 1024 + 1, mmap.MAP_SHARED, mmap.PROT_READ),    # longer than the buffer's pages
    (0, 38400, mmap.MAP_PRIVATE, mmap.PROT_READ),           # capture memory is shared or nothing
    (0, 38400, mmap.MAP_SHARED, mmap.PROT_WRITE),           # and must be readable
])
def test_mmap_refuses_what_a_driver_refuses(node, offset, length, flags, prot):
    v4l2.s_fmt(node, 160, 120, Y16)
    v4l2.reqbufs(node, 2, MMAP)
    fails_with(errno.EINVAL, lambda: mmap.mmap(node, length, flags, prot, offset=offset))
    assert [e[2] for e in vcam.log(0) if e[0] == "MMAP"] == [-errno.EINVAL]
    assert vcam.state(0)["mapped"] == 0


def test_mmap_needs_memory_mapped_buffers(node):
    fails_with(errno.EINVAL, mmap.mmap, node, 38400, mmap.MAP_SHARED, mmap.PROT_READ)
    v4l2.reqbufs(node, 2)  # user-pointer buffers have nothing to map
    fails_with(errno.EINVAL, mmap.mmap, node, 38400, mmap.MAP_SHARED, mmap.PROT_READ)


def test_munmap_ends_a_mapping(node):
    pix, maps = map_buffers(node, 2)
    assert [bool(v4l2.querybuf(node, i).flags & v4l2.V4L2_BUF_FLAG_MAPPED) for i in range(2)] == [True, True]
    assert vcam.state(0)["mapped"] == 2
    maps[1].close()
    assert [bool(v4l2.querybuf(node, i).flags & v4l2.V4L2_BUF_FLAG_MAPPED) for i in range(2)] == [True, False]
    assert [args for name, args, _ in vcam.log(0) if name == "MUNMAP"] == [dict(index=1, length=38400)]
    maps[0].close()
    assert vcam.state(0)["mapped"] == 0


def test_a_mapping_outlives_the_buffers_it_showed(node):
    # Freeing the buffers orphans the mapping: it keeps its last frame and stays readable.
    pix, maps = map_buffers(node, 1)
    try:
        v4l2.qbuf(node, 0, 0, 0, memory=MMAP)
        v4l2.streamon(node)
        v4l2.dqbuf(node, MMAP)
        v4l2.streamoff(node)
        assert v4l2.reqbufs(node, 0, MMAP) == 0
        assert maps[0][:] == vcam.render("Y16 ", 160, 120, 320, 38400, 0)
        assert vcam.state(0)["allocated"] == 0
    finally:
        maps[0].close()
    assert vcam.log(0)[-1][0] == "MUNMAP"


@pytest.mark.parametrize("allocated, queued, err", [
    (MMAP, v4l2.V4L2_MEMORY_USERPTR, errno.EINVAL),
    (v4l2.V4L2_MEMORY_USERPTR, MMAP, errno.EINVAL),
])
def test_buffers_are_queued_with_the_memory_they_were_allocated_with(node, allocated, queued, err):
    v4l2.s_fmt(node, 160, 120, Y16)
    v4l2.reqbufs(node, 1, allocated)
    slots = Slots(1, 38400)
    fails_with(err, v4l2.qbuf, node, 0, slots.addr(0), 38400, queued)


def test_dqbuf_with_the_other_memory_is_refused(node):
    pix, maps = map_buffers(node, 1)
    try:
        v4l2.qbuf(node, 0, 0, 0, memory=MMAP)
        v4l2.streamon(node)
        fails_with(errno.EINVAL, v4l2.dqbuf, node, v4l2.V4L2_MEMORY_USERPTR)
        assert v4l2.dqbuf(node, MMAP).index == 0
    finally:
        maps[0].close()


def test_select_sees_frames_and_times_out(node):
    vcam.set_stop_after(0, 1)
    slots = start(node, k=2)  # noqa: F841 (the driver holds its memory)
    assert select.select([node], [], [], 1.0)[0] == [node]
    v4l2.dqbuf(node)
    t0 = time.monotonic()
    assert select.select([node], [], [], 0.2) == ([], [], [])
    assert time.monotonic() - t0 >= 0.19
    assert [(name, r) for name, _, r in vcam.log(0) if name == "SELECT"] == [("SELECT", 1), ("SELECT", 0)]


def test_select_over_a_node_and_a_pipe(node):
    vcam.set_stop_after(0, 0)
    slots = start(node, k=1)  # noqa: F841 (the driver holds its memory)
    r, w = os.pipe()
    try:
        assert select.select([node, r], [], [], 0.05) == ([], [], [])
        os.write(w, b"x")
        assert select.select([node, r], [w], [], 5) == ([r], [w], [])
    finally:
        os.close(r)
        os.close(w)


def test_select_reports_a_node_that_is_not_streaming_as_readable(node):
    # as the kernel does for POLLERR: the DQBUF that follows tells what is wrong
    assert select.select([node], [], [], 2.0)[0] == [node]
    fails_with(errno.EINVAL, v4l2.dqbuf, node)


def test_select_wakes_when_another_thread_queues_a_buffer(node):
    slots = start(node, k=1)
    v4l2.dqbuf(node)
    late = threading.Timer(0.05, v4l2.qbuf, (node, 0, slots.addr(0), slots.size))
    late.start()
    try:
        assert select.select([node], [], [], 5)[0] == [node]
    finally:
        late.join()


def test_g_fmt_answers_the_current_format_and_try_fmt_changes_nothing(node):
    v4l2.s_fmt(node, 640, 480, Y16)
    slots = start(node, k=1, width=160, height=120)  # noqa: F841 (the driver holds its memory)
    tried = v4l2.try_fmt(node, 600, 500, Y16)  # also while streaming
    assert (tried.width, tried.height, tried.bytesperline, tried.sizeimage) == (640, 480, 1280, 614400)
    now = v4l2.g_fmt(node)
    assert (now.width, now.height, now.pixelformat, now.bytesperline, now.sizeimage) == (160, 120, Y16, 320, 38400)
    assert vcam.state(0)["width"] == 160


@pytest.mark.parametrize("fps, capability, fraction", [
    (30.0, v4l2.V4L2_CAP_TIMEPERFRAME, (1, 30)), (7.5, v4l2.V4L2_CAP_TIMEPERFRAME, (2, 15)), (0, 0, (0, 1)),
])
def test_g_parm_gives_the_frame_period(fps, capability, fraction):
    vcam.add_node(0, fps=fps)
    fd = v4l2.open_node(0)
    try:
        parm = v4l2.g_parm(fd)
        assert (parm.capability, parm.readbuffers) == (capability, 0)
        assert (parm.timeperframe.numerator, parm.timeperframe.denominator) == fraction
    finally:
        os.close(fd)


def frame_intervals(fd, width=160, height=120):
    found = []
    while True:
        e = v4l2.v4l2_frmivalenum(index=len(found), pixel_format=Y16, width=width, height=height)
        try:
            v4l2.ioctl(fd, v4l2.VIDIOC_ENUM_FRAMEINTERVALS, e)
        except OSError as error:
            assert error.errno == errno.EINVAL
            return found
        found.append((e.numerator, e.denominator))


@pytest.mark.parametrize("rates, fixed, asked, answer", [
    ([15, 60, 30], False, (1, 60), (1, 60)), ([15, 60, 30], False, (1, 1000), (1, 60)),
    ([15, 60, 30], False, (1, 24), (1, 30)), ([15, 60, 30], False, (1, 0), (1, 30)),
    ([], False, (1, 60), (1, 30)), ([15, 60, 30], True, (1, 60), (1, 30)),
])
def test_s_parm_chooses_the_nearest_offered_rate(rates, fixed, asked, answer):
    vcam.add_node(0, fps=30.0, fixed_fps=fixed, rates=rates)
    fd = v4l2.open_node(0)
    try:
        offered = frame_intervals(fd)
        assert offered == ([(1, 30)] if fixed or not rates else [(1, 60), (1, 30), (1, 15)])
        assert frame_intervals(fd, 161, 120) == []  # not a size of the format
        got = v4l2.s_parm(fd, *asked).timeperframe
        assert (got.numerator, got.denominator) == answer
        got = v4l2.g_parm(fd).timeperframe
        assert (got.numerator, got.denominator) == answer
    finally:
        os.close(fd)


def test_priority_belongs_to_the_open_file_and_the_highest_rules():
    vcam.add_node(0)
    first, second = v4l2.open_node(0), v4l2.open_node(0)
    try:
        v4l2.ioctl(first, v4l2.VIDIOC_S_PRIORITY, ctypes.c_uint32(3))  # RECORD
        held = ctypes.c_uint32()
        v4l2.ioctl(second, v4l2.VIDIOC_G_PRIORITY, held)
        assert held.value == 3
        fails_with(errno.EBUSY, v4l2.s_fmt, second, 160, 120, Y16)
        fails_with(errno.EINVAL, v4l2.ioctl, first, v4l2.VIDIOC_S_PRIORITY, ctypes.c_uint32(0))
        os.close(first)
        first = -1
        v4l2.s_fmt(second, 160, 120, Y16)
    finally:
        for fd in (first, second):
            if fd >= 0:
                os.close(fd)


def test_create_bufs_adds_buffers_and_expbuf_shows_one(node):
    v4l2.s_fmt(node, 160, 120, Y16)
    v4l2.reqbufs(node, 1, MMAP)
    create = v4l2.v4l2_create_buffers(count=2, memory=MMAP)
    create.format.type = v4l2.V4L2_BUF_TYPE_VIDEO_CAPTURE
    create.format.fmt.pix.sizeimage = 38399
    fails_with(errno.EINVAL, v4l2.ioctl, node, v4l2.VIDIOC_CREATE_BUFS, create)  # smaller than the format
    create.format.fmt.pix.sizeimage = 50000
    v4l2.ioctl(node, v4l2.VIDIOC_CREATE_BUFS, create)
    assert (create.index, create.count, vcam.state(0)["allocated"]) == (1, 2, 3)
    assert (v4l2.querybuf(node, 2).length, v4l2.querybuf(node, 2).m.offset) == (50000, 40960 + 53248)
    v4l2.qbuf(node, 2, 0, 0, memory=MMAP)
    v4l2.streamon(node)
    assert v4l2.dqbuf(node, MMAP).index == 2
    export = v4l2.v4l2_exportbuffer(type=v4l2.V4L2_BUF_TYPE_VIDEO_CAPTURE, index=2, flags=os.O_CLOEXEC)
    v4l2.ioctl(node, v4l2.VIDIOC_EXPBUF, export)
    try:
        with mmap.mmap(export.fd, 38400, mmap.MAP_SHARED, mmap.PROT_READ) as shown:
            assert shown[:] == vcam.render("Y16 ", 160, 120, 320, 38400, 0)
    finally:
        os.close(export.fd)


def test_user_pointer_buffers_are_the_format_size_until_queued(node):
    v4l2.s_fmt(node, 160, 120, Y16)
    v4l2.reqbufs(node, 1)
    assert (v4l2.querybuf(node, 0).length, v4l2.querybuf(node, 0).m.userptr) == (38400, 0)


UNMAP_WHILE_FILLING = """
import ctypes, mmap, os, select, threading, time, v4l2, camsnap_vcam as vcam
libc = ctypes.CDLL(None, use_errno=True)
libc.mmap.restype, libc.mmap.argtypes = ctypes.c_void_p, [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                                                          ctypes.c_int, ctypes.c_int, ctypes.c_long]
libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
vcam.add_node(0, formats=[vcam.fmt("Y16 ", [(1280, 720)])])  # fps 0: a frame whenever polled
fd = v4l2.open_node(0)
size = v4l2.s_fmt(fd, 1280, 720, vcam.fourcc("Y16 ")).sizeimage
v4l2.reqbufs(fd, 1)
done = threading.Event()

def poll():  # each poll with the buffer queued copies a frame into it (about a millisecond)
    while not done.is_set():
        select.select([fd], [], [], 0)

poller = threading.Thread(target=poll)
poller.start()
end = time.monotonic() + 1
while time.monotonic() < end:
    v4l2.streamon(fd)
    memory = libc.mmap(None, size, mmap.PROT_READ | mmap.PROT_WRITE, mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
    v4l2.qbuf(fd, 0, memory, size)
    libc.munmap(memory, size)
    v4l2.streamoff(fd)
done.set()
poller.join()
print(vcam.state(0)["frames_delivered"])
"""


def test_memory_unmapped_while_a_frame_is_copied_into_it_costs_the_frame_not_the_process():
    vcam.add_node(0)
    assert int(run_child(UNMAP_WHILE_FILLING)) > 0


def test_one_camera_input(node):
    inp = v4l2.v4l2_input(index=0)
    v4l2.ioctl(node, v4l2.VIDIOC_ENUMINPUT, inp)
    assert inp.type == v4l2.V4L2_INPUT_TYPE_CAMERA and bytes(inp.name).rstrip(b"\0")
    inp.index = 1
    fails_with(errno.EINVAL, v4l2.ioctl, node, v4l2.VIDIOC_ENUMINPUT, inp)
    current = ctypes.c_int(5)
    v4l2.ioctl(node, v4l2.VIDIOC_G_INPUT, current)
    assert current.value == 0
    v4l2.ioctl(node, v4l2.VIDIOC_S_INPUT, ctypes.c_int(0))
    fails_with(errno.EINVAL, v4l2.ioctl, node, v4l2.VIDIOC_S_INPUT, ctypes.c_int(1))


@pytest.mark.parametrize("code, record", [
    (v4l2.VIDIOC_QUERYCTRL, v4l2.v4l2_queryctrl(id=v4l2.V4L2_CID_BRIGHTNESS)),
    (v4l2.VIDIOC_QUERYCTRL, v4l2.v4l2_queryctrl(id=v4l2.V4L2_CTRL_FLAG_NEXT_CTRL)),
    (v4l2.VIDIOC_G_CTRL, v4l2.v4l2_control(id=v4l2.V4L2_CID_BRIGHTNESS)),
    (v4l2.VIDIOC_S_CTRL, v4l2.v4l2_control(id=v4l2.V4L2_CID_BRIGHTNESS, value=3)),
])
def test_a_camera_without_controls(node, code, record):
    fails_with(errno.EINVAL, v4l2.ioctl, node, code, record)
    assert vcam.log(0)[-1][1]["id"] == record.id


def test_controls_enumerate_behind_their_class_and_s_ctrl_answers_the_value_set():
    vcam.add_node(0, controls=[vcam.control("Brightness", minimum=0, maximum=255, step=5, default=100),
                               vcam.control("Exposure Steps", "integer_menu", menu=[1, 2], id=0x9a0990)])
    fd = v4l2.open_node(0)
    try:
        listed, q = [], v4l2.v4l2_queryctrl(id=v4l2.V4L2_CTRL_FLAG_NEXT_CTRL)
        while True:
            try:
                v4l2.ioctl(fd, v4l2.VIDIOC_QUERYCTRL, q)
            except OSError as e:
                assert e.errno == errno.EINVAL
                break
            listed.append((q.id, q.type))
            q.id |= v4l2.V4L2_CTRL_FLAG_NEXT_CTRL
        assert listed == [(0x980001, 6), (0x980900, 1), (0x9a0001, 6), (0x9a0990, 9)]  # 6: a class
        c = v4l2.v4l2_control(id=v4l2.V4L2_CID_BRIGHTNESS, value=203)
        v4l2.ioctl(fd, v4l2.VIDIOC_S_CTRL, c)
        got = v4l2.v4l2_control(id=v4l2.V4L2_CID_BRIGHTNESS)
        v4l2.ioctl(fd, v4l2.VIDIOC_G_CTRL, got)
        assert c.value == got.value == 205
        assert vcam.log(0)[-2][1]["answer_value"] == 205
    finally:
        os.close(fd)


@pytest.mark.parametrize("request_name", ["MMAP", "SELECT", "QUERYBUF"])
def test_faults_reach_the_new_requests(node, request_name):
    v4l2.s_fmt(node, 160, 120, Y16)
    v4l2.reqbufs(node, 1, MMAP)
    v4l2.qbuf(node, 0, 0, 0, memory=MMAP)
    v4l2.streamon(node)
    vcam.fault(0, request_name, nth=1, errno=errno.ENOMEM)
    calls = {
        "MMAP": lambda: mmap.mmap(node, 38400, mmap.MAP_SHARED, mmap.PROT_READ),
        "SELECT": lambda: select.select([node], [], [], 1),
        "QUERYBUF": lambda: v4l2.querybuf(node, 0),
    }
    fails_with(errno.ENOMEM, calls[request_name])
    # mmap.mmap works on a dup() of the descriptor, which it closes again
    assert [e for e in vcam.log(0) if e[0] != "CLOSE"][-1][0::2] == (request_name, -errno.ENOMEM)


# --- hostile driver ---------------------------------------------------------------------------

def hostile_session(seed, rounds=80, rate=0.2):
    """What a hostile node answers to a fixed run of S_FMT / REQBUFS / capture requests:
    one entry per request, the answer or the errno."""
    vcam.add_node(0, formats=[vcam.fmt("Y16 ", [(160, 120)])], hostile=seed, hostile_rate=rate)
    seen = []

    def attempt(call, *args):
        try:
            value = call(*args)
        except OSError as e:
            value = ("errno", e.errno)
        seen.append(value)
        return value

    fd = v4l2.open_node(0)
    try:
        for _ in range(rounds):
            pix = attempt(v4l2.s_fmt, fd, 160, 120, Y16)
            if not isinstance(pix, tuple):
                seen[-1] = (pix.width, pix.height, pix.bytesperline, pix.sizeimage, pix.pixelformat)
            attempt(v4l2.reqbufs, fd, 4)
            attempt(v4l2.reqbufs, fd, 0)
    finally:
        os.close(fd)
    return seen


def test_hostile_answers_replay_with_their_seed():
    first = hostile_session(7)
    assert hostile_session(7) == first
    other = hostile_session(8)
    assert other != first
    honest = (160, 120, 320, 38400, Y16)
    formats = [a for a in first[0::3] + other[0::3] if len(a) == 5]
    assert honest in formats and any(a != honest for a in formats)
    assert any(isinstance(a, tuple) and a[0] == "errno" for a in first)


def test_hostile_grants_any_count_up_to_64():
    granted = [a for seed in range(4) for a in hostile_session(seed, rounds=300, rate=0)[1::3]]
    assert set(granted) <= set(range(65))
    assert 0 in granted and max(granted) > 32 and 4 in granted


def test_vanished_device_answers_enodev_and_pollerr():
    vcam.add_node(0)
    fd = v4l2.open_node(0)
    vcam.set_hostile(0, 11, rate=1.0)  # every request fails; one in twenty for good
    try:
        errors = []
        while not vcam.state(0)["gone"]:
            with pytest.raises(OSError) as info:
                v4l2.querycap(fd)
            errors.append(info.value.errno)
        assert errors[-1] == errno.ENODEV
        for call, args in [(v4l2.querycap, ()), (v4l2.s_fmt, (160, 120, Y16)), (v4l2.reqbufs, (2,)),
                           (v4l2.streamon, ()), (v4l2.dqbuf, ())]:
            fails_with(errno.ENODEV, call, fd, *args)
        p = select.poll()
        p.register(fd, select.POLLIN)
        assert p.poll(0) == [(fd, select.POLLERR | select.POLLHUP)]
        fails_with(errno.ENODEV, v4l2.open_node, 0)
    finally:
        os.close(fd)
    assert vcam.state(0)["open_fds"] == 0


@pytest.mark.parametrize("seed", range(6))
def test_hostile_frames_stay_inside_the_buffers_handed_over(seed):
    """Whatever geometry the driver answered, frames land only in [userptr, userptr + length)."""
    vcam.add_node(0, formats=[vcam.fmt("Y16 ", [(160, 120)]), vcam.fmt("YU12", [(160, 120)])],
                  hostile=seed, hostile_rate=0)
    fd = v4l2.open_node(0)
    guard, length, filled = 4096, 38400, 0
    try:
        for code in [Y16, YU12] * 20:
            try:
                v4l2.reqbufs(fd, 0)
                v4l2.s_fmt(fd, 160, 120, code)
                granted = v4l2.reqbufs(fd, 2)
            except OSError:
                continue
            mem = ctypes.create_string_buffer(b"\x5a" * (2 * guard + granted * length))
            queued = 0
            for i in range(granted):
                try:
                    v4l2.qbuf(fd, i, ctypes.addressof(mem) + guard + i * length, length)
                    queued += 1
                except OSError:
                    pass  # a sizeimage past `length` is refused at QBUF
            if queued:
                v4l2.streamon(fd)
                for _ in range(queued):
                    try:
                        v4l2.dqbuf(fd)
                        filled += 1
                    except OSError:
                        pass
                v4l2.streamoff(fd)
            raw = mem.raw
            assert raw[:guard] == b"\x5a" * guard
            assert raw[guard + granted * length:][:guard] == b"\x5a" * guard
    finally:
        os.close(fd)
    assert filled > 0


def test_the_log_reads_whole_while_another_thread_makes_requests(node):
    # Lines of two lengths in threes: at the bound (10 000, no multiple of 3), where the log
    # takes longest to write out, each request changes the text's length.
    started, stop = threading.Event(), threading.Event()

    def requests():
        for rounds in itertools.count():
            v4l2.querycap(node)
            v4l2.g_parm(node)
            v4l2.g_parm(node)
            if rounds == 3400:
                started.set()
            if stop.is_set():
                return

    worker = threading.Thread(target=requests)
    worker.start()
    try:
        started.wait()
        for _ in range(30):
            assert vcam.log(0)[-1][0] in ("QUERYCAP", "G_PARM")  # the last line whole
    finally:
        stop.set()
        worker.join()


def test_a_camera_running_for_hours_keeps_its_memory():
    """100 000 frames (an hour at 30 fps): the log keeps the recent requests, not every one."""
    vcam.add_node(0, formats=[vcam.fmt("GREY", [(16, 16)])])  # tiny frames, fps 0: fast
    fd = v4l2.open_node(0)
    try:
        slots = start(fd, width=16, height=16, pixelformat=vcam.fourcc("GREY"))

        def run(frames):
            for _ in range(frames):
                b = v4l2.dqbuf(fd)
                v4l2.qbuf(fd, b.index, slots.addr(b.index), slots.size)

        run(20000)  # past the bound, so the log is as long as it gets
        before = heap_bytes()
        run(80000)
        grown = heap_bytes() - before
    finally:
        os.close(fd)
    assert vcam.state(0)["qbuf_total"] == 100002
    assert grown < 1 << 20, "the heap grew by %d bytes over the last 80 000 frames" % grown


# ---------------------------------------------------------------------------
# The description: CAMSNAP_VCAM_CONFIG and what children see

import json
import subprocess
import sys

CHILD_QUERY = """
import json, os, sys, v4l2
fd = v4l2.open_node(int(sys.argv[1]))
cap, pix = v4l2.querycap(fd), v4l2.s_fmt(fd, 9999, 9999, 0)
import camsnap_vcam as vcam
print(json.dumps([bytes(cap.card).rstrip(b"\\0").decode("latin-1"), pix.width, pix.height,
                  vcam.describe()]))
"""


def run_child(code, *args, env=None):
    r = subprocess.run([sys.executable, "-c", code] + [str(a) for a in args], env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert r.returncode == 0, r.stderr
    return r.stdout


def test_a_description_makes_the_cameras_add_node_makes():
    vcam.add_node(3, card=b"\xff\xfeIR", capabilities=0x84200001, querycap_errno=5, open_errno=0,
                  formats=[vcam.fmt("Y16 ", [(160, 120), vcam.stepwise(16, 640, 16, 16, 480, 2)], pad=8),
                           vcam.fmt(0x12345678, [vcam.continuous(1, 9, 1, 9)])],
                  min_buffers=2, max_buffers=5, fps=29.97, stop_after=7, fixed_fps=True,
                  fmt_answer=dict(width=0, pixelformat="YU12", quantization="full_range", xfer_func=99),
                  frames=[b"\x00\x01\xff"], colorspace="rec709", ycbcr_enc=2, feed="/run/cam feed",
                  controls=[vcam.control("Gain", maximum=9), vcam.control("Mode", "menu", menu=["a", None, "c"],
                                                                          id=0x9a0999, default=2)],
                  hostile=2 ** 64 - 1, hostile_rate=0.25, skip=[9, 2])
    vcam.add_node(4)
    vcam.fault(3, "QBUF", nth=2, errno=errno.EIO)
    vcam.dqbuf_override(3, nth=1, bytesused=9)
    text = vcam.describe()
    assert os.environ["CAMSNAP_VCAM_CONFIG"] == text
    vcam.configure(text)
    assert vcam.describe() == text
    # the defaults of a node description are add_node's
    vcam.configure({"nodes": [{"node": 4}]})
    assert json.loads(vcam.describe())["nodes"] == json.loads(text)["nodes"][1:]


def test_children_see_the_cameras_the_parent_described():
    vcam.add_node(2, card="child cam", formats=[vcam.fmt("YU12", [(320, 240)])], fps=5)
    card, w, h, seen = json.loads(run_child(CHILD_QUERY, 2))
    assert (card, w, h) == ("child cam", 320, 240)
    assert seen == vcam.describe()
    # each process has its own state: the child's S_FMT left the parent's node alone
    assert vcam.log(2) == []


@pytest.fixture(scope="module")
def german_locale(tmp_path_factory):
    """Variables under which setlocale finds de_DE.UTF-8: the system's, else one that
    localedef makes from Debian's `locales` definitions."""
    names = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, universal_newlines=True).stdout
    if "de_DE.utf8" in names.split():
        return {}
    where = tmp_path_factory.mktemp("locales")
    # localedef exits 1 for mere warnings: what counts is the locale it wrote.
    subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(where / "de_DE.UTF-8")],
                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if not (where / "de_DE.UTF-8" / "LC_NUMERIC").exists():
        pytest.skip("no de_DE.UTF-8 locale and no definitions to make one (Debian's locales)")
    return {"LOCPATH": str(where)}


def test_numbers_in_the_description_ignore_the_programs_locale(german_locale):
    code = """
import json, locale, camsnap_vcam as vcam
locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
assert locale.localeconv()["decimal_point"] == ","
vcam.add_node(0, fps=7.5, hostile=1, hostile_rate=0.25)
print(vcam.describe())
"""
    node = json.loads(run_child(code, env=dict(os.environ, **german_locale)))["nodes"][0]
    assert (node["fps"], node["hostile_rate"]) == (7.5, 0.25)


def test_a_long_description_travels_in_a_file():
    vcam.add_node(0, frames=[bytes(range(256)) * 1000])
    variable = os.environ["CAMSNAP_VCAM_CONFIG"]
    assert variable.startswith("@") and os.path.isfile(variable[1:])
    assert json.loads(run_child(CHILD_QUERY, 0))[3] == vcam.describe()
    vcam.reset()
    assert not os.path.exists(variable[1:])
    assert json.loads(os.environ["CAMSNAP_VCAM_CONFIG"]) == {"nodes": []}


@pytest.mark.parametrize("description, fault", [
    ('{"nodes": [{"node": 0}', "',' or ']' expected at offset 22"),
    ({"nodes": [{"node": -1}]}, '"node" must be a number from 0'),
    ({"nodes": [{"node": 0, "fsp": 30}]}, 'node 0, "fsp": not a key of a node'),
    ({"nodes": [{"node": 0, "min_buffers": 4, "max_buffers": 2}]}, "node 0: min_buffers is above max_buffers"),
    ({"nodes": [{"node": 1, "formats": [{"fourcc": "Y16", "sizes": []}]}]}, 'node 1, "formats": a format needs'),
    ({"nodes": [{"node": 1, "formats": [{"fourcc": "Y16 ", "sizes": [vcam.stepwise(9, 1, 1, 1, 1, 1)]}]}]},
     'node 1, "formats": a size is'),
    ({"nodes": [{"node": 0, "frames": ["not base64!"]}]}, 'node 0, "frames": must be a list of base64'),
    ({"nodes": [{"node": 0, "faults": [{"request": "QBUF", "errno": 0}]}]}, 'node 0, "faults": a fault is'),
    ({"nodes": [{"node": 0, "skip": [3, -1]}]}, 'node 0, "skip": must be a list of sequence numbers'),
    ({"nodes": [{"node": 0, "colorspace": "adobe"}]}, 'node 0, "colorspace": must be one of default,'),
    ({"nodes": [{"node": 0, "feed": ""}]}, 'node 0, "feed": must be the path of a FIFO or Unix socket'),
    ({"nodes": [{"node": 0, "controls": [{"name": "Zoom", "minimum": 2, "maximum": 1}]}]},
     'node 0, "controls": control "Zoom": needs "id"'),
    ({"nodes": [{"node": 0, "controls": [{"name": "Gain", "type": "menu", "menu": ["a"], "default": 1}]}]},
     'control "Gain": a menu\'s default is an item it offers'),
    ({"nodes": [{"node": 0, "fmt_answer": {"quantization": "full"}}]}, '"quantization" must be one of default,'),
    ({"nodes": [{"node": 5}, {"node": 5}]}, "node 5 is described twice"),
    ({"cameras": []}, 'a description is {"nodes": [...]}'),
])
def test_a_bad_description_is_refused_and_changes_nothing(description, fault):
    vcam.add_node(0)
    before = vcam.describe()
    with pytest.raises(ValueError) as info:
        vcam.configure(description)
    assert fault in str(info.value)
    assert vcam.describe() == before == os.environ["CAMSNAP_VCAM_CONFIG"]


def test_without_the_library_preloaded_the_package_gives_what_runs_a_child_on_it():
    vcam.add_node(6, card="from environment()")
    plain = dict((k, v) for k, v in os.environ.items()
                 if k not in ("LD_PRELOAD", "CAMSNAP_VCAM", "CAMSNAP_VCAM_CONFIG"))
    code = """
import json, camsnap_vcam as vcam
try:
    vcam.add_node(0)
except RuntimeError as e:
    refused = str(e)
print(json.dumps([refused, vcam.environment(), vcam.render("GREY", 2, 1, 2, 2, 3).hex()]))
"""
    refused, env, rendered = json.loads(run_child(code, env=plain))
    assert "not preloaded" in refused and rendered == "0303"
    assert json.loads(env["CAMSNAP_VCAM_CONFIG"]) == vcam.standard_description()
    assert env["LD_PRELOAD"].split()[0] == env["CAMSNAP_VCAM"]
    assert os.path.basename(env["CAMSNAP_VCAM"]) == vcam.LIBRARY_NAME
    plain.update(vcam.environment())
    assert json.loads(run_child(CHILD_QUERY, 6, env=plain))[0] == "from environment()"
