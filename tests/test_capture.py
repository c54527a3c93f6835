"""Single and series capture: which frames come back, in what shape, with what
pixels, and what is left behind on every way out."""
import ctypes
import errno
import sys
import time

import numpy as np
import pytest

import camsnap
from conftest import fallback_camera, ir_camera, opened, rgb_camera
from frames import ir16_from_raw, rgb_from_raw, yu12_to_rgb


def driver_frame(vcam, seq, node=0):
    s = vcam.state(node)
    fourcc = s["pixelformat"].to_bytes(4, "little").decode("latin-1")
    return vcam.render(fourcc, s["width"], s["height"], s["bytesperline"], s["sizeimage"], seq)


def expected_ir(vcam, seq):
    s = vcam.state(0)
    return ir16_from_raw(driver_frame(vcam, seq), s["width"], s["height"], s["bytesperline"], 2)


def count(vcam, request):
    return sum(1 for name, _, _ in vcam.log(0) if name == request)


def assert_left_clean(vcam):
    s = vcam.state(0)
    assert not s["streaming"]
    assert s["queued"] == 0


# --- frame identity --------------------------------------------------------

def test_single_returns_the_third_frame_after_stream_on(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    frame = camsnap.captureSingle()
    assert frame.shape == (120, 160) and frame.dtype == np.uint16
    assert frame.flags["C_CONTIGUOUS"]
    np.testing.assert_array_equal(frame, expected_ir(vcam, 2))
    assert reports() == []
    assert_left_clean(vcam)


@pytest.mark.parametrize("n", [1, 2, 5, 8])
def test_series_frame_i_is_the_frame_dequeued_i_plus_third(vcam, n):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    frames = camsnap.captureSeries(n)
    assert frames.shape == (n, 120, 160) and frames.dtype == np.uint16
    for i in range(n):
        np.testing.assert_array_equal(frames[i], expected_ir(vcam, i + 2))
    assert count(vcam, "DQBUF") == n + 2
    assert_left_clean(vcam)


def test_series_of_minus_one_is_a_single_capture(vcam):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    frame = camsnap.captureSeries(-1)
    assert frame.shape == (120, 160)
    np.testing.assert_array_equal(frame, expected_ir(vcam, 2))


@pytest.mark.parametrize("n", [0, -2, -5, -2 ** 31])
def test_series_of_nothing_returns_none_and_asks_the_driver_nothing(vcam, reports, n):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    before = vcam.log(0)
    assert camsnap.captureSeries(n) is None
    assert vcam.log(0) == before
    assert reports() == []


# --- shapes, modes and pixels -----------------------------------------------

@pytest.mark.parametrize("call, n", [("single", None), ("series", 1), ("series", 3)])
def test_rgb_frames_are_the_converted_yu12_frames(vcam, call, n):
    rgb_camera(vcam)
    opened(vcam, 1, 640, 480)
    got = camsnap.captureSingle() if call == "single" else camsnap.captureSeries(n)
    frames = got[None] if call == "single" else got
    assert got.dtype == np.uint8 and got.shape[-3:] == (480, 640, 3)
    assert frames.shape[0] == (n or 1)
    s = vcam.state(0)
    for i, frame in enumerate(frames):
        raw = driver_frame(vcam, i + 2)
        np.testing.assert_array_equal(frame, rgb_from_raw(raw, 640, 480, s["bytesperline"], 1))


def test_bgr3_fallback_reads_16_bit_rows_out_of_the_24_bit_frame(vcam):
    fallback_camera(vcam)
    opened(vcam, 0, 160, 172)
    frames = camsnap.captureSeries(2)
    assert frames.shape == (2, 256, 160) and frames.dtype == np.uint16
    for i in range(2):
        raw = driver_frame(vcam, i + 2)
        assert len(raw) == 160 * 3 * 172
        np.testing.assert_array_equal(frames[i], ir16_from_raw(raw, 160, 256, 320, 2))


def test_padded_16_bit_rows_are_copied_without_their_padding(vcam):
    vcam.add_node(0, formats=[vcam.fmt("Y16 ", [(160, 120)], pad=24)])
    opened(vcam, 0, 160, 120)
    frame = camsnap.captureSingle()
    assert vcam.state(0)["bytesperline"] == 344
    np.testing.assert_array_equal(frame, ir16_from_raw(driver_frame(vcam, 2), 160, 120, 344, 2))


def yu12_frame(y, cb, cr, width, height):
    """A raw frame laid out as the module reads it, for a chosen Y, Cb, Cr per
    chroma block (luma as given per pixel)."""
    size = width * height + 2 * (((height // 2) * width) // 2) + width
    raw = np.zeros(size, dtype=np.uint8)
    raw[:width * height] = y.ravel()
    plane = ((height // 2) * width) // 2
    raw[width * height:width * height + cb.size] = cb.ravel()
    raw[width * height + plane:width * height + plane + cr.size] = cr.ravel()
    return raw.tobytes()


@pytest.mark.parametrize("ycbcr, rgb", [
    ((100, 128, 128), (100, 100, 100)),
    ((16, 128, 128), (16, 16, 16)),
    ((235, 128, 128), (235, 235, 235)),
    ((0, 128, 0), (0, 91, 0)),
    ((255, 255, 255), (255, 120, 255)),
    ((0, 128, 255), (178, 0, 0)),
    ((81, 90, 240), (238, 14, 13)),
])
def test_worked_colour_examples(vcam, ycbcr, rgb):
    w, h = 4, 2
    y = np.full((h, w), ycbcr[0], np.uint8)
    cb = np.full(2, ycbcr[1], np.uint8)
    cr = np.full(2, ycbcr[2], np.uint8)
    rgb_camera(vcam, formats=[vcam.fmt("YU12", [(w, h)])], frames=[yu12_frame(y, cb, cr, w, h)])
    opened(vcam, 1, w, h)
    frame = camsnap.captureSingle()
    assert (frame == np.array(rgb, np.uint8)).all()


def test_chroma_is_shared_by_each_two_by_two_block(vcam):
    # W=4, H=2: Y bytes 0-7, Cb bytes 8-9, Cr bytes 10-11.
    raw = bytes([100] * 8 + [90, 200] + [240, 60])
    rgb_camera(vcam, formats=[vcam.fmt("YU12", [(4, 2)])], frames=[raw])
    opened(vcam, 1, 4, 2)
    frame = camsnap.captureSingle()
    left = yu12_to_rgb(np.uint8(100), np.uint8(90), np.uint8(240))
    right = yu12_to_rgb(np.uint8(100), np.uint8(200), np.uint8(60))
    assert (frame[:, :2] == left).all() and (frame[:, 2:] == right).all()
    assert not (left == right).all()


@pytest.mark.parametrize("width, height, pad", [
    (256, 256, 0),    # every Y value in each row, every Cb and Cr across the frame
    (255, 131, 0),    # odd sizes: chroma rows at ((y/2)*W)/2, not (y/2)*(W/2)
    (97, 7, 0),
    (160, 120, 16),   # padded luma rows; chroma still placed by W and H
    (3, 3, 5),
])
def test_whole_frames_match_the_formula(vcam, width, height, pad):
    rng = np.random.RandomState(width * 1000 + height)
    stride = width + pad
    size = stride * height + (stride // 2) * ((height + 1) // 2) * 2 + 64
    frames = [rng.randint(0, 256, size).astype(np.uint8) for _ in range(3)]
    if (width, height) == (256, 256):
        # Y = column, Cb and Cr walking through all 256 values.
        frames[2][:width * height] = np.tile(np.arange(256, dtype=np.uint8), height)
        chroma = np.arange(width * height // 2, dtype=np.uint32)
        frames[2][width * height:width * height * 3 // 2] = (chroma * 7 % 256).astype(np.uint8)
    vcam.add_node(0, formats=[vcam.fmt("YU12", [(width, height)], pad=pad)],
                  fmt_answer=dict(sizeimage=size), frames=[f.tobytes() for f in frames])
    opened(vcam, 1, width, height)
    assert vcam.state(0)["bytesperline"] == stride
    bpp = stride // width
    frame = camsnap.captureSingle()
    np.testing.assert_array_equal(frame, rgb_from_raw(frames[2].tobytes(), width, height, stride, bpp))


# --- buffer accounting --------------------------------------------------------

def test_five_frames_with_three_buffers_requeue_as_needed(vcam, reports):
    ir_camera(vcam, max_buffers=3)
    opened(vcam, 0, 160, 120)
    frames = camsnap.captureSeries(5)
    assert frames.shape == (5, 120, 160)
    for i in range(5):
        np.testing.assert_array_equal(frames[i], expected_ir(vcam, i + 2))
    queued = [a["index"] for name, a, r in vcam.log(0) if name == "QBUF" and r == 0]
    # Three to start, then the two discarded frames and kept frames 0 and 1 go back.
    assert len(queued) == 5 + 2
    assert sorted(queued[:3]) == [0, 1, 2]
    assert vcam.state(0)["qbuf_total"] == 7
    assert_left_clean(vcam)
    assert reports() == []


def test_single_capture_needs_a_driver_that_grants_one_buffer(vcam, reports):
    ir_camera(vcam, min_buffers=2)
    opened(vcam, 0, 160, 120)
    assert camsnap.captureSingle() is None
    assert reports() == [("request_buffers", "Too many buffers required\n\n")]
    assert count(vcam, "QBUF") == 0 and count(vcam, "STREAMON") == 0
    # A series of two still works on that driver.
    assert camsnap.captureSeries(2).shape == (2, 120, 160)


def test_a_driver_index_outside_the_slots_is_a_failed_dequeue(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    vcam.dqbuf_override(0, nth=2, index=5)
    assert camsnap.captureSeries(2) is None
    assert [f for f, _ in reports()] == ["dequeue_slot"]
    assert count(vcam, "STREAMOFF") == 1
    assert_left_clean(vcam)


V4L2_BUF_FLAG_ERROR = 0x40


@pytest.mark.parametrize("nth", [1, 3, 4])
def test_a_buffer_the_driver_marks_failed_is_not_a_frame(vcam, reports, nth):
    # uvcvideo hands the last buffer back this way when the camera is unplugged:
    # its memory holds whatever an earlier frame left there.
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    vcam.dqbuf_override(0, nth=nth, flags=V4L2_BUF_FLAG_ERROR, bytesused=0)
    assert camsnap.captureSeries(2) is None
    assert [f for f, _ in reports()] == ["dequeue_buffer"]
    assert count(vcam, "STREAMOFF") == 1
    assert_left_clean(vcam)


def test_a_mode_left_beside_another_modes_geometry_reads_nothing(vcam, reports):
    # A 2x1 "YU12" answer with 4-byte rows and a 3-byte frame fits RGB reads
    # (bytes 0, 2 and the chroma byte 2) but not 16-bit reads (bytes 0 to 3).
    rgb_camera(vcam, formats=[vcam.fmt("YU12", [(2, 1)])],
               fmt_answer=dict(bytesperline=4, sizeimage=3))
    opened(vcam, 1, 2, 1)
    vcam.fault(0, "S_FMT", nth=1, errno=errno.EBUSY)
    assert camsnap.init(0, 2, 1) is False   # the mode changes, the geometry stays
    reports()
    assert camsnap.captureSingle() is None
    assert camsnap.startStream() is False
    assert [f for f, _ in reports()] == ["frame_geometry_fits"] * 2
    assert count(vcam, "REQBUFS") == 0


def test_staging_that_cannot_be_had_takes_the_allocation_path(vcam, reports):
    ir_camera(vcam, fmt_answer=dict(sizeimage=2 ** 31 - 1))
    opened(vcam, 0, 160, 120)
    assert camsnap.captureSeries(32) is None   # 32 slots of 2 GiB
    assert reports() == [("cs_captureSeries_internal", "Failed to allocate buffers\n")]
    assert count(vcam, "QBUF") == 0


def test_an_array_that_cannot_be_created(vcam, reports):
    ir_camera(vcam, formats=[vcam.fmt("Y16 ", [(640, 480)])])
    opened(vcam, 0, 640, 480)
    assert camsnap.captureSeries(2 ** 31 - 1) is None
    assert reports() == [("cs_captureSeries_internal", "Failed to allocate array\n")]
    assert sys.exc_info() == (None, None, None)
    assert count(vcam, "QBUF") == 0
    # Nothing pending: the next call works.
    assert camsnap.captureSingle().shape == (480, 640)


# --- timeouts and faults ------------------------------------------------------

def test_a_camera_that_stops_delivering_times_out(vcam, reports):
    ir_camera(vcam, stop_after=3)
    opened(vcam, 0, 160, 120)
    started = time.monotonic()
    assert camsnap.captureSeries(4) is None
    waited = time.monotonic() - started
    assert reports() == [("dequeue_buffer", "Poll timeout ret=0\n\n")]
    assert 0.45 <= waited < 5
    assert count(vcam, "STREAMOFF") == 1
    assert_left_clean(vcam)


# captureSeries(3), three buffers granted: REQBUFS, QBUF x3, STREAMON, then five
# dequeues with the two discarded frames requeued (QBUF 4 and 5), STREAMOFF.
# The last column: whether a stream-off must take buffers back from the driver.
SERIES_FAULTS = [
    ("REQBUFS", 1, [("request_buffers", "Reqbuf failed.\n\n")], False),
    ("QBUF", 1, [("queue_buffer", "Failed to queue buffer: 0\n\n")], False),
    ("QBUF", 2, [("queue_buffer", "Failed to queue buffer: 1\n\n")], True),
    ("QBUF", 3, [("queue_buffer", "Failed to queue buffer: 2\n\n")], True),
    ("STREAMON", 1, [("streamon", "Failed to streamon\n\n")], True),
    ("POLL", 1, [("dequeue_buffer", "Poll timeout ret=-1\n\n")], True),
    ("DQBUF", 1, [("dequeue_buffer", "Failed to DQBUF\n\n")], True),
    ("DQBUF", 3, [("dequeue_buffer", "Failed to DQBUF\n\n")], True),
    ("DQBUF", 5, [("dequeue_buffer", "Failed to DQBUF\n\n")], True),
    ("QBUF", 4, [("queue_buffer", "Failed to queue buffer: 0\n\n")], True),
    ("QBUF", 5, [("queue_buffer", "Failed to queue buffer: 1\n\n")], True),
]


@pytest.mark.parametrize("request_name, nth, lines, taken_back", SERIES_FAULTS,
                         ids=["%s-%d" % (f[0], f[1]) for f in SERIES_FAULTS])
def test_series_fault(vcam, reports, request_name, nth, lines, taken_back):
    ir_camera(vcam, max_buffers=3)
    opened(vcam, 0, 160, 120)
    vcam.fault(0, request_name, nth=nth, errno=errno.EINTR if request_name == "POLL" else errno.EIO)
    assert camsnap.captureSeries(3) is None
    assert reports() == lines
    assert count(vcam, "STREAMOFF") == (1 if taken_back else 0)
    assert_left_clean(vcam)
    # The camera is usable again straight away.
    assert camsnap.captureSeries(3).shape == (3, 120, 160)


def test_a_failing_final_stream_off_still_returns_the_frames(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    vcam.fault(0, "STREAMOFF", nth=1, errno=errno.EIO)
    frames = camsnap.captureSeries(2)
    assert frames.shape == (2, 120, 160)
    np.testing.assert_array_equal(frames[1], expected_ir(vcam, 3))
    assert reports() == [("streamoff", "Failed to streamof\n\n")]


def test_series_while_a_stream_runs_leaves_the_stream_alone(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    assert camsnap.startStream() is True
    assert camsnap.captureSeries(2) is None
    assert reports() == [("request_buffers", "Reqbuf failed.\n\n")]
    assert vcam.state(0)["streaming"]
    assert camsnap.captureStream().shape == (120, 160)


# --- leaks --------------------------------------------------------------------

_MALLINFO_FIELDS = ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                    "uordblks", "fordblks", "keepcost")
_libc = ctypes.CDLL(None)
try:
    _mallinfo = _libc.mallinfo2
    _field = ctypes.c_size_t
except AttributeError:  # glibc before 2.33: the same figures as int, read as unsigned
    _mallinfo = _libc.mallinfo
    _field = ctypes.c_uint
_mallinfo.restype = type("mallinfo", (ctypes.Structure,), {
    "_fields_": [(name, _field) for name in _MALLINFO_FIELDS]})


def heap_bytes():
    """Bytes the C heap has handed out and not had back: staging memory and
    array data both come from it, whether or not freed pages went to the OS."""
    info = _mallinfo()
    return info.uordblks + info.hblkhd


def test_repeated_single_captures_leak_nothing(vcam):
    ir_camera(vcam, formats=[vcam.fmt("Y16 ", [(640, 480)])])
    opened(vcam, 0, 640, 480)
    for _ in range(20):
        camsnap.captureSingle()
    none_refs, heap = sys.getrefcount(None), heap_bytes()
    for _ in range(200):
        frame = camsnap.captureSingle()
        assert sys.getrefcount(frame) == 2
    del frame
    # 200 leaked frames or staging blocks would be 120 MiB.
    assert heap_bytes() - heap < 4 * 2 ** 20
    assert abs(sys.getrefcount(None) - none_refs) < 10
