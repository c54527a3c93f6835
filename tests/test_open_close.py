"""Binding the device state to a node and releasing it."""
import os

import camsnap


def test_open_missing_node_reports_its_path(vcam, reports):
    assert camsnap.open(3) is False
    assert reports() == [("cs_open", "Failed to open video device - /dev/video3\n")]
    # No device is open afterwards: close has nothing to close.
    assert camsnap.close() is False
    assert reports() == [("cs_close", "Failed to close the video device\n")]


def test_open_negative_number_tries_video_minus_one(vcam, reports):
    assert camsnap.open(-1) is False
    assert reports() == [("cs_open", "Failed to open video device - /dev/video-1\n")]


def test_open_refused_by_the_node(vcam, reports):
    import errno
    vcam.add_node(2, open_errno=errno.EBUSY)
    assert camsnap.open(2) is False
    assert reports() == [("cs_open", "Failed to open video device - /dev/video2\n")]


def test_open_is_non_blocking_read_write_and_close_releases(vcam, reports):
    vcam.add_node(0)
    assert camsnap.open(0) is True
    assert vcam.state(0)["open_fds"] == 1
    assert camsnap.close() is True
    assert vcam.state(0)["open_fds"] == 0
    assert reports() == []


def test_closing_twice_reports_the_second(vcam, reports):
    vcam.add_node(0)
    assert camsnap.open(0) is True
    assert camsnap.close() is True
    assert camsnap.close() is False
    assert reports() == [("cs_close", "Failed to close the video device\n")]


def test_close_without_device_leaves_standard_input_open(vcam, reports):
    assert camsnap.close() is False
    assert reports() == [("cs_close", "Failed to close the video device\n")]
    os.fstat(0)  # raises if descriptor 0 was closed


def test_open_again_releases_the_earlier_descriptor(vcam):
    vcam.add_node(0)
    vcam.add_node(1)
    assert camsnap.open(0) is True
    assert camsnap.open(1) is True
    assert vcam.state(0)["open_fds"] == 0
    assert vcam.state(1)["open_fds"] == 1


def test_open_over_a_running_stream_stops_holding_the_camera(vcam, reports):
    vcam.add_node(0, formats=[vcam.fmt("Y16 ", [(160, 120)])])
    assert camsnap.open(0) is True
    assert camsnap.init(0, 160, 120) is True
    assert camsnap.startStream() is True
    assert camsnap.open(0) is True
    state = vcam.state(0)
    assert state["open_fds"] == 1 and not state["streaming"] and state["allocated"] == 0
    # The new descriptor is a fresh start: a stream runs again.
    assert camsnap.init(0, 160, 120) is True
    assert camsnap.startStream() is True
    assert camsnap.captureStream().shape == (120, 160)
    assert reports() == []


def test_failed_calls_without_a_device_never_act_on_descriptor_zero(vcam, reports):
    assert camsnap.init(0, 640, 480) is False
    assert camsnap.captureSingle() is None
    assert camsnap.startStream() is False
    assert camsnap.stopStream() is False
    functions = [function for function, _ in reports()]
    assert functions == ["cs_init", "request_buffers", "request_buffers", "streamoff"]
    os.fstat(0)
