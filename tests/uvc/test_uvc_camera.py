"""camsnap_camera on uvcvideo: the YUYV webcam gives exact RGB, the frames' numbers
and timestamps follow the camera's, and an unplug raises ENODEV."""
import errno

import numpy as np
import pytest

import camsnap_camera as cc
import frames
from usbcam import YUYV_CAMERA, raw_frame

W, H = 160, 120


def camera_number(frame):
    """The number the camera stamped into a raw frame's first four bytes."""
    return int.from_bytes(frame.array[:4].tobytes(), "little")


def test_the_yuyv_webcam_gives_exact_rgb_numbered_and_timed_by_the_camera(bus, capsys):
    camera = bus.plug(**YUYV_CAMERA)
    with cc.Camera(camera.capture) as cam:
        configured = cam.configure("YUYV", W, H)
        cam.start()
        first = cam.read(timeout=10, raw=True)
        number, sequence = camera_number(first), first.sequence
        read = [cam.read(timeout=10) for _ in range(30)]
    for frame in read:
        # uvcvideo numbers every frame the camera sends, taken or not.
        raw = raw_frame("YUYV", W, H, number + frame.sequence - sequence)
        want = frames.ycbcr_to_rgb(*frames.ycbcr_planes("YUYV", raw, W, H, 2 * W),
                                   configured["encoding"], configured["quantization"])
        np.testing.assert_array_equal(frame.array, want)
    stamps = [first.timestamp] + [f.timestamp for f in read]
    assert all(b > a for a, b in zip(stamps, stamps[1:])), "timestamps go back"
    assert all(f.clock == "monotonic" for f in read)
    period = (read[-1].timestamp - first.timestamp) / (read[-1].sequence - first.sequence)
    with capsys.disabled():
        print("\nYUYV webcam at %d fps: %.2f ms between frames by their timestamps, %s"
              % (camera.fps, period / 1e6, {k: configured[k] for k in ("encoding", "quantization")}))
    # The emulated camera's pace drifts with the machine's load; a quarter of a period is
    # far from any other frame rate the camera could have.
    assert abs(period - 1e9 / camera.fps) < 0.25e9 / camera.fps


def test_an_unplug_raises_enodev(bus):
    camera = bus.plug(fresh=True, unplug_after=20, **YUYV_CAMERA)
    with cc.Camera(camera.capture) as cam:
        cam.configure("YUYV", W, H)
        cam.start()
        read = []
        with pytest.raises(cc.CameraError) as caught:
            while len(read) < 200:
                read.append(cam.read(timeout=10))
    camera.wait_gone()
    assert caught.value.errno == errno.ENODEV and caught.value.filename == "/dev/video%d" % camera.capture
    # Frames up to the unplug came whole; uvcvideo may hand back the buffer it was filling,
    # flagged as failed.
    assert len(read) < 200 and not any(f.error for f in read[:-1])
