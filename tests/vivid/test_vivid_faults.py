"""Faults of a real driver: a device without user-pointer streaming, a camera
another descriptor or another process is streaming, an unplug and a fatal queue error in the middle
of a series, vivid's one-shot request failures, and a camera that delivers
nothing. Each leaves the module able to capture again.

No unplug during a stream here: vivid grants at least two user-pointer buffers,
so startStream() (which asks for one) fails with "Too many buffers required" on
it; the uvcvideo tier unplugs its camera during a stream."""
import os
import re
import select
import subprocess
import time

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
        _, frame = other.dequeue()
        assert len(frame) == driver_format()["sizeimage"]
    finally:
        other.stop()
        other.close()
    assert camsnap.init(1, *SIZE) is True
    frames = camsnap.captureSeries(2)
    assert frames is not None
    assert np.array_equal(frames[0], expected_frame(pattern, 1))


def wait_for_output(process, text, timeout_s):
    """Whether `text` shows up in the process's output within the time."""
    seen, deadline = b"", time.monotonic() + timeout_s
    while text not in seen and time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], 0.5)
        if ready:
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
    return text in seen


def test_camera_streamed_by_another_process_fails_cleanly_and_works_once_it_exits(pattern, reports):
    opened(CAMERA, 1, *SIZE)
    # v4l2-ctl streams user-pointer buffers and prints "<" for each frame it dequeues.
    other = subprocess.Popen(["v4l2-ctl", "-d%d" % CAMERA, "--stream-user=2", "--stream-count=100000"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        assert wait_for_output(other, b"<", 30), "the other process streamed nothing"
        reports()
        assert camsnap.init(1, *SIZE) is False
        assert reports() == [("cs_init", "Failed to set format (0x32315559)\n\n")]
        assert camsnap.captureSingle() is None
        assert reports() == [("request_buffers", "Reqbuf failed.\n\n")]
        assert camsnap.startStream() is False
        assert reports() == [("request_buffers", "Reqbuf failed.\n\n")]
        assert other.poll() is None  # its stream went on regardless
    finally:
        other.terminate()
        other.wait(timeout=30)
    # The driver freed the queue with the other process's last descriptor.
    assert camsnap.close() is True
    opened(CAMERA, 1, *SIZE)
    frames = camsnap.captureSeries(2)
    assert frames is not None
    assert np.array_equal(frames[1], expected_frame(pattern, 1))


def failed_transfer(report):
    """The fault strikes either the wait for a frame or the hand-back of a slot,
    whichever the capture loop is doing at that moment."""
    return report == ("dequeue_buffer", "Failed to DQBUF\n\n") or (
        report[0] == "queue_buffer" and re.fullmatch(r"Failed to queue buffer: \d+\n\n", report[1]))


def press_later(number, control, delay_s=1.0):
    """Presses one of vivid's buttons from another process while the module
    waits for frames with the interpreter lock held."""
    script = "sleep %s; v4l2-ctl -d%d -c %s=1" % (delay_s, number, control)
    return subprocess.Popen(["sh", "-c", script])


def test_unplug_during_a_series_fails_cleanly_until_reopened(pattern, reports):
    # vivid's "Disconnect" unregisters the device's nodes; every request on a
    # descriptor opened before fails with ENODEV until the last one is closed,
    # when vivid registers them again.
    opened(SPARE, 1, *SIZE)
    reports()
    unplug = press_later(SPARE, "disconnect")
    try:
        # At vivid's 5 fps after loading this series needs about 8 s.
        assert camsnap.captureSeries(40) is None
    finally:
        assert unplug.wait(timeout=30) == 0
    lines = reports()
    assert len(lines) == 2 and failed_transfer(lines[0]), lines
    assert lines[1] == ("streamoff", "Failed to streamof\n\n")
    assert camsnap.captureSeries(2) is None
    assert reports() == [("request_buffers", "Reqbuf failed.\n\n")]
    assert camsnap.startStream() is False
    assert reports() == [("request_buffers", "Reqbuf failed.\n\n")]
    assert camsnap.init(1, *SIZE) is False
    assert reports() == [("cs_init", "Failed to query device capabilities\n")]
    assert camsnap.close() is True
    opened(SPARE, 1, *SIZE)
    frames = camsnap.captureSeries(2)
    assert frames is not None
    assert np.array_equal(frames[1], expected_frame(pattern, 1))


def test_fatal_streaming_error_during_a_series_fails_it_and_the_next_one_works(
        pattern, reports):
    # vivid's "Inject Fatal Streaming Error" marks the queue as failed: the
    # waiting dequeue wakes and DQBUF fails (or QBUF, if that comes first);
    # stream-off still succeeds.
    opened(CAMERA, 1, *SIZE)
    reports()
    fault = press_later(CAMERA, "inject_fatal_streaming_error")
    try:
        # About 4 s at 25 fps.
        assert camsnap.captureSeries(100) is None
    finally:
        assert fault.wait(timeout=30) == 0
    lines = reports()
    assert len(lines) == 1 and failed_transfer(lines[0]), lines
    frames = camsnap.captureSeries(3)
    assert frames is not None
    assert all(np.array_equal(frame, expected_frame(pattern, 1)) for frame in frames)


def press(number, control, value=1):
    subprocess.run(["v4l2-ctl", "-d%d" % number, "-c", "%s=%d" % (control, value)],
                   check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)


# vivid's error injection: the next request of that kind fails once.
INJECTED = {
    "inject_vidioc_reqbufs_error": [("request_buffers", "Reqbuf failed.\n\n")],
    "inject_vidioc_qbuf_error": [("queue_buffer", "Failed to queue buffer: 0\n\n")],
    "inject_vidioc_streamon_error": [("streamon", "Failed to streamon\n\n")],
}


@pytest.mark.parametrize("control", INJECTED)
def test_injected_request_failure_fails_the_series_and_the_next_one_works(
        pattern, control, reports):
    opened(CAMERA, 1, *SIZE)
    press(CAMERA, control)
    reports()
    assert camsnap.captureSeries(2) is None
    assert reports() == INJECTED[control]
    frames = camsnap.captureSeries(2)
    assert frames is not None
    assert np.array_equal(frames[1], expected_frame(pattern, 1))


def test_camera_that_delivers_nothing_times_out_after_500_ms(pattern, reports):
    # With every buffer dropped vivid keeps them and never completes one.
    opened(CAMERA, 1, *SIZE)
    press(CAMERA, "percentage_of_dropped_buffers", 100)
    try:
        reports()
        start = time.monotonic()
        assert camsnap.captureSeries(2) is None
        took = time.monotonic() - start
    finally:
        press(CAMERA, "percentage_of_dropped_buffers", 0)
    assert reports() == [("dequeue_buffer", "Poll timeout ret=0\n\n")]
    assert took >= 0.5
    frames = camsnap.captureSeries(2)
    assert frames is not None
    assert np.array_equal(frames[1], expected_frame(pattern, 1))
