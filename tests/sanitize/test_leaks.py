"""Leak checks on the Python side: the capture tests' fault tables repeated, and
a long streaming run. LeakSanitizer (tests/sanitize/run) accounts for the C
heap when the process ends; here the interpreter's side must stay flat over the
repetitions: the reference counts of None, True and False, the number of
objects the collector tracks, and the Python allocations tracemalloc sees
(numpy reports its array data there too)."""
import errno
import gc
import sys
import tracemalloc

import numpy as np
import pytest

import camsnap
from conftest import ir_camera, opened, rgb_camera
from test_capture import SERIES_FAULTS
from test_stream import STREAM_FAULTS

REPEATS = 40
# Well below one leaked object per call: the smallest (an int) is 28 bytes.
SLACK_BYTES_PER_CALL = 8


def footprint():
    gc.collect()
    return {
        "None": sys.getrefcount(None),
        "True": sys.getrefcount(True),
        "False": sys.getrefcount(False),
        "objects": len(gc.get_objects()),
        "traced": tracemalloc.get_traced_memory()[0],
    }


def assert_flat(before, after, calls):
    for name in ("None", "True", "False", "objects"):
        assert after[name] - before[name] < calls // 4, (name, before, after)
    grown = after["traced"] - before["traced"]
    assert grown < SLACK_BYTES_PER_CALL * calls, "%d bytes over %d calls" % (grown, calls)


@pytest.fixture
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


def injected_errno(request_name):
    return errno.EINTR if request_name == "POLL" else errno.EIO


def series_fault_once(vcam, request_name, nth):
    vcam.reset()
    ir_camera(vcam, max_buffers=3)
    opened(vcam, 0, 160, 120)
    vcam.fault(0, request_name, nth=nth, errno=injected_errno(request_name))
    assert camsnap.captureSeries(3) is None
    assert camsnap.captureSeries(3).shape == (3, 120, 160)
    assert camsnap.close() is True


def stream_fault_once(vcam, request_name, nth, fails_in):
    vcam.reset()
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    vcam.fault(0, request_name, nth=nth, errno=injected_errno(request_name))
    if camsnap.startStream():
        first = camsnap.captureStream()
        if fails_in == "second":
            assert first is not None and camsnap.captureStream() is None
        else:
            assert first is None
    else:
        assert fails_in == "start"
    assert camsnap.startStream() is True
    assert camsnap.captureStream().shape == (120, 160)
    assert camsnap.stopStream() is True
    assert camsnap.close() is True


def repeat_flat(once, calls_per_round):
    once()  # first use: imports, caches and the lines' buffers settle
    marks = [footprint()]
    # What each footprint kept costs the ones after it: not growth of the calls'.
    own = footprint()["traced"] - marks[0]["traced"]
    for _ in range(2):
        for _ in range(REPEATS // 2):
            once()
        marks.append(footprint())
        marks[-1]["traced"] -= own * (len(marks) - 1)
    # A leak grows both halves alike; a table that fills once (seen under ASan
    # after a refused giant allocation: 1464 bytes in one of the halves) grows
    # only one of them.
    halves = sorted(zip(marks, marks[1:]), key=lambda h: h[1]["traced"] - h[0]["traced"])
    assert_flat(halves[0][0], halves[0][1], REPEATS // 2 * calls_per_round)


@pytest.mark.parametrize("request_name, nth", [f[:2] for f in SERIES_FAULTS],
                         ids=["%s-%d" % f[:2] for f in SERIES_FAULTS])
def test_series_fault_leaves_nothing_behind(vcam, traced, request_name, nth):
    repeat_flat(lambda: series_fault_once(vcam, request_name, nth), 2)


@pytest.mark.parametrize("request_name, nth, fails_in", [f[:3] for f in STREAM_FAULTS],
                         ids=["%s-%d" % f[:2] for f in STREAM_FAULTS])
def test_stream_fault_leaves_nothing_behind(vcam, traced, request_name, nth, fails_in):
    repeat_flat(lambda: stream_fault_once(vcam, request_name, nth, fails_in), 4)


@pytest.mark.parametrize("mode", [0, 1], ids=["ir16", "rgb"])
def test_long_stream_and_singles_stay_flat(vcam, traced, mode):
    (rgb_camera if mode else ir_camera)(vcam)
    opened(vcam, mode, 160, 120)
    shape = (120, 160, 3) if mode else (120, 160)
    assert camsnap.startStream() is True
    previous = camsnap.captureStream()
    before = footprint()
    for _ in range(2000):
        frame = camsnap.captureStream()
        assert frame.shape == shape
        if mode == 0:
            # The virtual camera stamps the frame number's low 16 bits into pixel (0,0).
            assert int(frame[0, 0]) == (int(previous[0, 0]) + 1) & 0xFFFF
        else:
            # Every stamped frame differs: no slot is handed back twice.
            assert not np.array_equal(frame, previous)
        previous = frame
    del frame, previous
    assert camsnap.stopStream() is True
    for _ in range(300):
        assert camsnap.captureSingle().shape == shape
    assert_flat(before, footprint(), 2300)


def test_repeated_list_stays_flat(vcam, traced):
    ir_camera(vcam, node=0)
    rgb_camera(vcam, node=3)
    assert [cam["id"] for cam in camsnap.list()] == [0, 3]
    before = footprint()
    for _ in range(300):
        assert len(camsnap.list()) == 2
    assert_flat(before, footprint(), 300)
