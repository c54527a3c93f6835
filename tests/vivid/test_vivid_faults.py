"""Faults of a real driver: an unplug in the middle of a series, a device
without user-pointer streaming, and a camera another descriptor is streaming."""
import subprocess

import numpy as np
import pytest

import camsnap
import videodev
from vividcam import CAMERA, NO_USERPTR, SIZE, SPARE, driver_format, expected_frame, opened

CAPTURES = {
    "captureSingle": (camsnap.captureSingle, None),
    "captureSeries": (lambda: camsnap.captureSeries(2), None),
    "startStream": (camsnap.startStream, False),
}


@pytest.mark.parametrize("call", CAPTURES)
def test_device_without_user_pointers_fails_at_the_buffer_request(call, reports):
    function, failed = CAPTURES[call]
    opened(NO_USERPTR, 1, *SIZE)
    reports()
    assert function() is failed
    assert reports() == [("request_buffers", "Reqbuf failed.\n\n")]


def test_busy_camera_fails_cleanly_and_works_once_freed(pattern, reports):
    opened(CAMERA, 1, *SIZE)
    other = videodev.Node(CAMERA)
    try:
        other.start(2)
        reports()
        assert camsnap.init(0, *SIZE) is False
        assert reports() == [("cs_init", "Failed to set format (0x33524742)\n\n")]
        assert camsnap.captureSeries(2) is None
        assert reports() == [("request_buffers", "Reqbuf failed.\n\n")]
        assert camsnap.startStream() is False
        assert reports() == [("request_buffers", "Reqbuf failed.\n\n")]
        # The other descriptor's stream went on regardless.
        index, frame = other.dequeue()
        assert len(frame) == driver_format()["sizeimage"]
    finally:
        other.stop()
        other.close()
    assert camsnap.init(1, *SIZE) is True
    frames = camsnap.captureSeries(2)
    assert frames is not None
    assert np.array_equal(frames[0], expected_frame(pattern, 1))


def test_unplug_during_a_series_ends_it_with_diagnostics_and_later_calls_fail(reports):
    # vivid's "Disconnect" control unregisters the device's nodes for good;
    # it is pressed from another process while the series waits for frames.
    opened(SPARE, 1, *SIZE)
    reports()
    unplug = subprocess.Popen(["sh", "-c", "sleep 1.5; v4l2-ctl -d%d -c disconnect=1" % SPARE])
    try:
        # At vivid's 5 fps after loading this series needs about 8 s.
        assert camsnap.captureSeries(40) is None
    finally:
        assert unplug.wait(timeout=30) == 0
    lines = reports()
    print(lines)
    assert lines, "the failed series wrote no diagnostic"
    assert lines[-1] == ("streamoff", "Failed to streamof\n\n")
    assert camsnap.captureSeries(2) is None
    assert reports() == [("request_buffers", "Reqbuf failed.\n\n")]
    assert camsnap.init(1, *SIZE) is False
    assert reports() == [("cs_init", "Failed to query device capabilities\n")]
