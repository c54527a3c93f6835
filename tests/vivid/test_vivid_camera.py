"""camsnap_camera on vivid: every format exact in each Y'CbCr encoding and range vivid
can be set to, frame rates set and measured from the driver's timestamps, lost frames
counted with vivid's "Percentage of Dropped Buffers", two vivid cameras at once, and
controls by name."""
import errno
import os
import re
import threading

import numpy as np
import pytest

import camsnap_camera as cc
import frames as reference
from vividcam import CAMERA, SIZE, SPARE, raw_frames

W, H = SIZE
TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.fixture
def camera():
    with cc.Camera(CAMERA) as cam:
        yield cam
    # The next test finds vivid's controls as they were loaded.
    with cc.Camera(CAMERA) as cam:
        for name in ("Y'CbCr Encoding", "Quantization", "Percentage of Dropped Buffers", "Brightness"):
            cam.set_control(name, default_of(cam, name))


def default_of(cam, name):
    return next(c["default"] for c in cam.controls if c["name"] == name)


def menu_index(cam, name, entry):
    control = next(c for c in cam.controls if c["name"] == name)
    return next(k for k, text in control["menu"].items() if text == entry)


def expected(code, raw, configured):
    stride = configured["bytesperline"]
    a = np.frombuffer(raw, np.uint8)
    if code == "GREY":
        return a.reshape(H, stride)[:, :W]
    if code == "Y16 ":
        return a.view("<u2").reshape(H, stride // 2)[:, :W]
    if code == "BGR3":
        return a[:3 * W * H].view("<u2").reshape(3 * H // 2, W)
    return reference.ycbcr_to_rgb(*reference.ycbcr_planes(code, raw, W, H, stride),
                                  configured["encoding"], configured["quantization"])


# vivid's menu entries for the encoding and the range it writes and reports.
VARIANTS = [("ITU-R 601", "Full Range", "bt601", "full"), ("ITU-R 601", "Limited Range", "bt601", "limited"),
            ("Rec. 709", "Full Range", "bt709", "full"), ("Rec. 709", "Limited Range", "bt709", "limited")]
COLOUR = [(code,) + v for code in ("YUYV", "YU12", "NV12") for v in VARIANTS]
GREYSCALE = [(code, None, None, None, None) for code in ("GREY", "Y16 ", "BGR3")]


@pytest.mark.parametrize("code, encoding, quantization, want_encoding, want_range", COLOUR + GREYSCALE)
def test_every_format_is_exact(camera, tmp_path, code, encoding, quantization, want_encoding, want_range):
    if encoding:
        camera.set_control("Y'CbCr Encoding", menu_index(camera, "Y'CbCr Encoding", encoding))
        camera.set_control("Quantization", menu_index(camera, "Quantization", quantization))
    configured = camera.configure(code, W, H)
    assert (configured["encoding"], configured["quantization"]) == (want_encoding, want_range)
    camera.close()
    # The frame as the driver wrote it, taken by v4l2-ctl (vivid repeats its still picture).
    raw = raw_frames(tmp_path, code, SIZE, 1)[0]
    with cc.Camera(CAMERA) as again:
        again.configure(code, W, H)
        again.start()
        frame = again.read(timeout=10)
        np.testing.assert_array_equal(frame.array, expected(code, raw, configured))
        assert again.read(timeout=10, raw=True).array.tobytes() == raw


# A small size, so that the emulated machine keeps vivid at its rate.
SMALL = (320, 180)


@pytest.mark.parametrize("fps", [5, 10, 25])
def test_the_frame_rate_is_set_and_kept_by_the_timestamps(camera, fps):
    assert camera.configure("YUYV", *SMALL, fps=fps)["fps"] == fps
    camera.start(buffers=8)
    frames = [camera.read(timeout=10) for _ in range(2 * fps)]
    first, last = frames[0], frames[-1]
    period = (last.timestamp - first.timestamp) / (last.sequence - first.sequence)
    assert all(f.clock == "monotonic" for f in frames)
    # Two seconds of frames: a frame stamped late by the emulation moves this by under 1%.
    assert abs(period - 1e9 / fps) < 1e9 / fps / 50, "measured %.3f ms a frame at %d fps" % (period / 1e6, fps)


def test_dropped_frames_are_counted_exactly(camera):
    camera.configure("YUYV", *SMALL, fps=10)
    camera.set_control("Percentage of Dropped Buffers", 50)
    camera.start(buffers=8)
    frames = [camera.read(timeout=10) for _ in range(20)]
    # Each gap in the numbers is the frame periods between the timestamps, less one.
    gaps = [round((b.timestamp - a.timestamp) * 10 / 1e9) - 1 for a, b in zip(frames, frames[1:])]
    assert [f.dropped for f in frames[1:]] == gaps
    assert [f.dropped for f in frames[1:]] == [b.sequence - a.sequence - 1 for a, b in zip(frames, frames[1:])]
    assert sum(gaps) > 5, "half the buffers should have been dropped: %r" % gaps


def test_two_vivid_cameras_read_at_once():
    results = {}

    def read(number):
        with cc.Camera(number) as cam:
            cam.configure("YUYV", *SMALL, fps=5)
            cam.start(buffers=8)
            results[number] = [cam.read(timeout=10) for _ in range(10)]

    threads = [threading.Thread(target=read, args=(n,)) for n in (CAMERA, SPARE)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for number in (CAMERA, SPARE):
        frames = results[number]
        assert [f.dropped for f in frames] == [0] * 10, number
        assert frames[-1].sequence - frames[0].sequence == 9
    # They ran at the same time: each camera's frames span the other's.
    a, b = results[CAMERA], results[SPARE]
    assert a[0].timestamp < b[-1].timestamp and b[0].timestamp < a[-1].timestamp


def test_controls_are_listed_read_and_set_by_name(camera):
    brightness = next(c for c in camera.controls if c["key"] == "brightness")
    assert (brightness["type"], brightness["minimum"], brightness["maximum"]) == ("integer", 0, 255)
    camera.set_control("brightness", 64)
    assert camera.get_control("Brightness") == 64
    # Integers out of range are clamped by V4L2; a menu entry beyond the menu is refused.
    with pytest.raises(cc.CameraError, match="7 for control 'Quantization'") as caught:
        camera.set_control("quantization", 7)
    assert caught.value.errno == errno.ERANGE


with open(os.path.join(TOP, "README.md")) as readme:
    CAMERA_OBJECTS = readme.read().split("\n## Camera objects\n")[1].split("\n## ")[0]
    CONTROL_EXAMPLES = [b for b in re.findall(r"^```py\n(.*?)^```$", CAMERA_OBJECTS, re.M | re.S)
                        if "control" in b]


@pytest.mark.parametrize("block", CONTROL_EXAMPLES)
def test_readme_control_example_runs(camera, block):
    camera.close()
    exec(compile(block, "README.md", "exec"), {"__name__": "__readme__"})
