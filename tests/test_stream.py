"""Streaming capture: one frame a call from a stream that outlives the calls."""
import errno
import os
import resource
import sys

import numpy as np
import pytest

import camsnap
from conftest import ir_camera, opened, rgb_camera
from frames import ir16_from_raw, rgb_from_raw
from test_capture import assert_left_clean, count, driver_frame, expected_ir, heap_bytes
from shielded import shielded, stream, ticking


def test_first_capture_discards_one_frame_then_one_frame_a_call(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    assert camsnap.startStream() is True
    for seq in (1, 2, 3, 4):
        frame = camsnap.captureStream()
        assert frame.shape == (120, 160) and frame.dtype == np.uint16
        np.testing.assert_array_equal(frame, expected_ir(vcam, seq))
    assert camsnap.stopStream() is True
    assert reports() == []
    assert_left_clean(vcam)


def test_rgb_stream(vcam):
    rgb_camera(vcam)
    opened(vcam, 1, 160, 120)
    assert camsnap.startStream() is True
    frame = camsnap.captureStream()
    assert frame.shape == (120, 160, 3) and frame.dtype == np.uint8
    np.testing.assert_array_equal(frame, rgb_from_raw(driver_frame(vcam, 1), 160, 120, 160, 1))


def test_start_needs_a_driver_that_grants_one_buffer(vcam, reports):
    ir_camera(vcam, min_buffers=2)
    opened(vcam, 0, 160, 120)
    assert camsnap.startStream() is False
    assert reports() == [("request_buffers", "Too many buffers required\n\n")]
    assert count(vcam, "STREAMON") == 0


def test_capture_before_start_asks_the_driver_nothing(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    before = vcam.log(0)
    assert camsnap.captureStream() is None
    assert [f for f, _ in reports()] == ["cs_captureStream"]
    assert vcam.log(0) == before


def test_stop_twice(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    assert camsnap.startStream() is True
    assert camsnap.stopStream() is True
    assert camsnap.stopStream() is True   # the driver accepts a stream-off when idle
    assert count(vcam, "STREAMOFF") == 2
    assert reports() == []


def test_start_while_running_leaves_the_stream_untouched(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    assert camsnap.startStream() is True
    np.testing.assert_array_equal(camsnap.captureStream(), expected_ir(vcam, 1))
    assert camsnap.startStream() is False
    assert reports() == [("request_buffers", "Reqbuf failed.\n\n")]
    np.testing.assert_array_equal(camsnap.captureStream(), expected_ir(vcam, 2))


def test_a_stopped_camera_times_out_and_ends_the_stream(vcam, reports):
    ir_camera(vcam, stop_after=2)
    opened(vcam, 0, 160, 120)
    assert camsnap.startStream() is True
    assert camsnap.captureStream() is not None
    assert camsnap.captureStream() is None
    assert reports() == [("dequeue_buffer", "Poll timeout ret=0\n\n")]
    assert_left_clean(vcam)
    # The stream is over: another capture does not poll, stop still asks the driver.
    assert camsnap.captureStream() is None
    assert camsnap.stopStream() is True


# start: REQBUFS, QBUF 1, STREAMON; first capture: DQBUF 1, QBUF 2, DQBUF 2, QBUF 3;
# second capture: DQBUF 3, QBUF 4.
STREAM_FAULTS = [
    ("REQBUFS", 1, "start", [("request_buffers", "Reqbuf failed.\n\n")]),
    ("QBUF", 1, "start", [("queue_buffer", "Failed to queue buffer: 0\n\n")]),
    ("STREAMON", 1, "start", [("streamon", "Failed to streamon\n\n")]),  # taken back
    ("DQBUF", 1, "first", [("dequeue_buffer", "Failed to DQBUF\n\n")]),
    ("QBUF", 2, "first", [("queue_buffer", "Failed to queue buffer: 0\n\n")]),
    ("DQBUF", 2, "first", [("dequeue_buffer", "Failed to DQBUF\n\n")]),
    ("POLL", 2, "first", [("dequeue_buffer", "Poll timeout ret=-1\n\n")]),
    ("QBUF", 3, "first", [("queue_buffer", "Failed to queue buffer: 0\n\n")]),
    ("DQBUF", 3, "second", [("dequeue_buffer", "Failed to DQBUF\n\n")]),
    ("QBUF", 4, "second", [("queue_buffer", "Failed to queue buffer: 0\n\n")]),
]


@pytest.mark.parametrize("request_name, nth, fails_in, lines", STREAM_FAULTS,
                         ids=["%s-%d" % (f[0], f[1]) for f in STREAM_FAULTS])
def test_stream_fault(vcam, reports, request_name, nth, fails_in, lines):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    vcam.fault(0, request_name, nth=nth, errno=errno.EINTR if request_name == "POLL" else errno.EIO)
    started = camsnap.startStream()
    assert started is (fails_in != "start")
    if started:
        first = camsnap.captureStream()
        assert (first is None) is (fails_in == "first")
        if fails_in == "second":
            assert camsnap.captureStream() is None
    assert reports() == lines
    assert_left_clean(vcam)
    # Off whenever a buffer was handed over: also when the stream did not start.
    assert count(vcam, "STREAMOFF") == (0 if request_name in ("REQBUFS", "QBUF") and
                                        fails_in == "start" else 1)
    # A failed stream is over, and a new one starts.
    assert camsnap.startStream() is True
    assert camsnap.captureStream().shape == (120, 160)
    assert camsnap.stopStream() is True


def test_failed_stop_keeps_the_stream(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    assert camsnap.startStream() is True
    vcam.fault(0, "STREAMOFF", nth=1, errno=errno.EIO)
    assert camsnap.stopStream() is False
    assert reports() == [("streamoff", "Failed to streamof\n\n")]
    assert camsnap.captureStream().shape == (120, 160)
    assert camsnap.stopStream() is True


@pytest.mark.skipif(not os.path.exists("/proc/self/status"),
                    reason="no /proc/self/status (qemu-user, where RLIMIT_AS does not limit the guest either)")
def test_an_array_that_cannot_be_created_ends_the_stream(vcam, reports):
    # A 64 MiB frame under an address-space limit 16 MiB above what the process
    # maps once the stream runs: the frame's array cannot be had.
    w, h = 4096, 8192
    ir_camera(vcam, formats=[vcam.fmt("Y16 ", [(w, h)])])
    opened(vcam, 0, w, h)
    assert camsnap.startStream() is True
    with open("/proc/self/status") as status:
        mapped = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (16 << 20), hard))
    try:
        try:
            bytearray(w * h * 2)
        except MemoryError:
            pass
        else:
            pytest.skip("RLIMIT_AS does not limit this process (qemu-user ignores it)")
        frame = camsnap.captureStream()
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    assert frame is None
    assert reports() == [("cs_captureStream", "Failed to allocate array\n")]
    assert sys.exc_info() == (None, None, None)
    assert_left_clean(vcam)
    assert count(vcam, "STREAMOFF") == 1


def test_a_driver_index_outside_the_slot_ends_the_stream(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    assert camsnap.startStream() is True
    vcam.dqbuf_override(0, nth=1, index=1)
    assert camsnap.captureStream() is None
    assert [f for f, _ in reports()] == ["dequeue_slot"]
    assert_left_clean(vcam)


def test_a_failed_buffer_ends_the_stream_instead_of_repeating_a_frame(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    assert camsnap.startStream() is True
    np.testing.assert_array_equal(camsnap.captureStream(), expected_ir(vcam, 1))
    vcam.dqbuf_override(0, nth=1, flags=0x40, bytesused=0)   # V4L2_BUF_FLAG_ERROR
    assert camsnap.captureStream() is None
    assert [f for f, _ in reports()] == ["dequeue_buffer"]
    assert_left_clean(vcam)


def test_many_stream_captures_leak_nothing(vcam):
    ir_camera(vcam, formats=[vcam.fmt("Y16 ", [(640, 480)])])
    opened(vcam, 0, 640, 480)
    assert camsnap.startStream() is True
    for _ in range(20):
        camsnap.captureStream()
    none_refs, heap = sys.getrefcount(None), heap_bytes()
    for _ in range(1000):
        frame = camsnap.captureStream()
        assert sys.getrefcount(frame) == 2
    del frame
    # 1,000 leaked frames would be 600 MiB.
    assert heap_bytes() - heap < 4 * 2 ** 20
    assert abs(sys.getrefcount(None) - none_refs) < 10
    assert camsnap.stopStream() is True


def test_close_releases_a_running_streams_memory(vcam):
    ir_camera(vcam, formats=[vcam.fmt("Y16 ", [(3840, 2160)])])
    opened(vcam, 0, 3840, 2160)
    assert camsnap.startStream() is True
    assert camsnap.close() is True
    heap = heap_bytes()
    for _ in range(10):
        opened(vcam, 0, 3840, 2160)
        assert camsnap.startStream() is True
        camsnap.captureStream()
        assert camsnap.close() is True
    # Ten 16 MiB staging blocks kept would show.
    assert heap_bytes() - heap < 8 * 2 ** 20
    assert vcam.state(0)["open_fds"] == 0


def test_captures_in_a_thread_shielded_from_a_7_ms_timer_all_succeed(vcam, reports):
    ir_camera(vcam, fps=100)
    opened(vcam, 0, 160, 120)
    with ticking(0.007) as ticks:
        frames = shielded(lambda: stream(60))
        series = shielded(lambda: camsnap.captureSeries(10))
    assert reports() == [], "with %d signals" % len(ticks)
    assert all(f is not None for f in frames) and series.shape == (10, 120, 160)
    assert len(ticks) > 10, "only %d ticks beside the captures" % len(ticks)
