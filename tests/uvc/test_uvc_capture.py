"""Captures on uvcvideo hold exactly the frames the camera sent: each frame is
recomputed from the number stamped into it, and the numbers show the order and
any frame lost between two that were kept."""
import time

import numpy as np
import pytest

import camsnap
from cases import CASES, expected, opened
from usbcam import number_of

STREAM_CALLS = 300


def numbers_of_exact(case, frames):
    numbers = []
    for i, frame in enumerate(frames):
        number = number_of(frame)
        mismatched = np.count_nonzero(frame != expected(case, number))
        assert mismatched == 0, "frame %d (number %d): %d values differ" % (i, number, mismatched)
        numbers.append(number)
    return numbers


@pytest.mark.parametrize("name", CASES)
def test_single_capture_returns_one_whole_frame(bus, name):
    case = CASES[name]
    camera = bus.plug(**case.camera)
    opened(camera.capture, case)
    frame = camsnap.captureSingle()
    assert frame is not None and frame.shape == case.shape
    numbers_of_exact(case, [frame])


@pytest.mark.parametrize("count", [1, 5, 32, 40])
@pytest.mark.parametrize("name", ["ir16-bgr3", "ir16-y16", "rgb-yu12"])
def test_series_returns_consecutive_whole_frames(bus, name, count):
    # uvcvideo grants up to 32 buffers: a series of 40 gives slots back.
    case = CASES[name]
    camera = bus.plug(**case.camera)
    opened(camera.capture, case)
    frames = camsnap.captureSeries(count)
    assert frames is not None and frames.shape == (count,) + case.shape
    numbers = numbers_of_exact(case, frames)
    assert np.all(np.diff(numbers) == 1), "frame numbers %s" % numbers


def late_calls(numbers, returned, window=15):
    """Which calls returned their frame more than a frame period after the camera sent
    it. No call returns a frame before it was sent, and the camera sends one a period (at
    the rate the nearby returns show) after the other, so each nearby call bounds when
    frame n was sent; nearby only, as under emulation the camera's pace drifts."""
    late = []
    for i, (n, t) in enumerate(zip(numbers, returned)):
        lo, hi = max(0, i - window), min(len(numbers) - 1, i + window)
        period = (returned[hi] - returned[lo]) / (numbers[hi] - numbers[lo])
        sent = min(returned[j] + (n - numbers[j]) * period for j in range(lo, hi + 1))
        late.append(t - sent > period)
    return late


@pytest.mark.parametrize("name", ["ir16-bgr3", "ir16-y16", "rgb-yu12"])
def test_stream_of_300_calls_returns_every_frame_in_order(bus, name):
    # With its one buffer held by a caller that comes back late, uvcvideo drops the
    # frame that completes meanwhile: a gap is the module's fault only after a call
    # that returned in time.
    case = CASES[name]
    camera = bus.plug(**case.camera)
    opened(camera.capture, case)
    assert camsnap.startStream() is True
    frames, returned = [], []
    for _ in range(STREAM_CALLS):
        frame = camsnap.captureStream()
        returned.append(time.monotonic())
        assert frame is not None, "stream ended after %d frames" % len(frames)
        frames.append(frame)
    assert camsnap.stopStream() is True
    numbers = numbers_of_exact(case, frames)
    gaps = np.diff(numbers)
    assert np.all(gaps >= 1), "frames out of order: %s" % numbers
    late = late_calls(numbers, returned)
    # Lateness is judged against the calls around, so when a loaded host stalls the guest
    # the first call of the stall can look in time and the next one shows it (seen: frame
    # 322 lost after the call returning 321, the next call late, 37 of 300 late around it).
    late_around = [late[i] or late[i + 1] for i in range(len(gaps))]
    lost = [(numbers[i], int(gap) - 1, late_around[i]) for i, gap in enumerate(gaps) if gap > 1]
    bus.notes.append("stream %s: %d of %d calls late, gaps (after frame, frames lost, "
                     "call late before or after): %s" % (name, sum(late), len(late), lost))
    unexplained = [gap for gap in lost if not gap[2]]
    assert not unexplained, "lost frames between calls that returned in time: %s" % unexplained


def test_a_new_stream_after_stop_starts_with_fresh_frames(bus):
    case = CASES["ir16-bgr3"]
    camera = bus.plug(**case.camera)
    opened(camera.capture, case)
    last = []
    for _ in range(2):
        assert camsnap.startStream() is True
        frames = [camsnap.captureStream() for _ in range(3)]
        assert camsnap.stopStream() is True
        assert all(f is not None for f in frames)
        numbers = numbers_of_exact(case, frames)
        assert not last or numbers[0] > last[-1]
        last = numbers
