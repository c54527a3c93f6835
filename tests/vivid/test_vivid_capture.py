"""Captures on vivid: shapes, and content held to vivid's static test pattern
as v4l2-ctl's own user-pointer streaming takes it; RGB through the independent
numpy conversion of the raw "YU12" frame."""
import numpy as np
import pytest

import camsnap
import videodev
from camsnap_process import CameraProcess, StreamFailed
from vividcam import CAMERA, SIZE, expected_frame, opened

MODES = {0: "ir16-bgr3", 1: "rgb"}


@pytest.mark.parametrize("mode", MODES, ids=MODES.values())
@pytest.mark.parametrize("count", [2, 3, 8])
def test_series_holds_vivids_pattern_in_every_frame(pattern, mode, count):
    expected = expected_frame(pattern, mode)
    opened(CAMERA, mode, *SIZE)
    frames = camsnap.captureSeries(count)
    assert frames is not None
    assert frames.shape == (count,) + expected.shape and frames.dtype == expected.dtype
    for i, frame in enumerate(frames):
        mismatched = np.count_nonzero(frame != expected)
        assert mismatched == 0, "frame %d of %d: %d values differ" % (i, count, mismatched)


SINGLE_FRAME_CALLS = {
    "captureSingle": (camsnap.captureSingle, None),
    "startStream": (camsnap.startStream, False),
}


@pytest.mark.parametrize("call", SINGLE_FRAME_CALLS)
def test_one_buffer_calls_fail_as_vivid_grants_two_and_the_device_stays_usable(
        pattern, call, reports):
    function, failed = SINGLE_FRAME_CALLS[call]
    opened(CAMERA, 1, *SIZE)
    reports()
    assert function() is failed
    assert reports() == [("request_buffers", "Too many buffers required\n\n")]
    frames = camsnap.captureSeries(2)
    assert frames is not None
    assert np.array_equal(frames[1], expected_frame(pattern, 1))


@pytest.mark.parametrize("mode", MODES, ids=MODES.values())
def test_camera_process_frames_hold_vivids_pattern_numbers_and_times(pattern, mode):
    """CameraProcess streams through a camera object: one buffer is refused in the module's
    words (the command then shows series), and a failed start leaves vb2's queue to the
    module's series; with four buffers the frames are the module's arrays, each with vivid's
    sequence number and timestamp, a frame period apart on average."""
    expected = expected_frame(pattern, mode)
    with CameraProcess(CAMERA, mode, *SIZE) as cam:
        with pytest.raises(StreamFailed) as caught:
            cam.start()
        assert caught.value.lines[0].text.startswith("Too many buffers required")
        assert np.array_equal(cam.series(2)[1], expected)
    with videodev.Node(CAMERA) as node:
        fps = node.frame_rate()
    with CameraProcess(CAMERA, mode, *SIZE, buffers=4) as cam:
        frames = [cam.read_frame(timeout=5) for _ in range(int(2 * fps))]
    for f in frames:
        assert np.count_nonzero(f.array != expected) == 0 and f.clock == "monotonic"
    for a, b in zip(frames, frames[1:]):
        # under emulation vivid may give two frames one number: no gap, not 2^32 - 1
        assert b.dropped + b.skipped == max(b.sequence - a.sequence - 1, 0)
        assert b.timestamp > a.timestamp
    # Two seconds of frames: a frame stamped late by the emulation moves this by under 1%.
    first, last = frames[0], frames[-1]
    period = (last.timestamp - first.timestamp) / (last.sequence - first.sequence)
    assert abs(period - 1e9 / fps) < 1e9 / fps / 50, "%.3f ms a frame at %g fps" % (period / 1e6, fps)
