"""camsnap virtual --replay of a vivid recording: vivid's frames (its counters drawn in, half
its buffers dropped) recorded, served back through the virtual camera and recorded again
come back with the same bytes, sequence numbers and timestamp spacing."""
import sys

import numpy as np

import camsnap_camera as cc
import camsnap_record
import videodev
from camsnap_cli.main import main
from vividcam import CAMERA, OSD_NONE

OSD_ALL = 0
RECORD = ["--format", "YUYV", "--width", "320", "--height", "180", "--raw"]


def test_a_vivid_recording_recorded_again_from_its_replay_is_the_same(tmp_path):
    with videodev.Node(CAMERA) as node:
        node.set_control(videodev.CID_VIVID_OSD_TEXT_MODE, OSD_ALL)   # every frame differs
    with cc.Camera(CAMERA) as camera:
        camera.set_control("Percentage of Dropped Buffers", 50)
    try:
        # In this process, as the replay below: under emulation each interpreter costs seconds.
        assert main(["record", "-o", str(tmp_path / "a.h5"), "-d", str(CAMERA), "--fps", "25",
                     "--frames", "10"] + RECORD) == 0
    finally:
        with cc.Camera(CAMERA) as camera:
            camera.set_control("Percentage of Dropped Buffers", 0)
        with videodev.Node(CAMERA) as node:
            node.set_control(videodev.CID_VIVID_OSD_TEXT_MODE, OSD_NONE)
    # Node 7, not 0: what the second recording reads is the virtual camera, never vivid.
    assert main(["virtual", "--replay", str(tmp_path / "a.h5"), "-d", "7", "--", sys.executable, "-m",
                 "camsnap_cli", "record", "-o", str(tmp_path / "b.h5"), "-d", "7", "--frames", "6"] + RECORD) == 0
    with camsnap_record.open(str(tmp_path / "a.h5")) as first, camsnap_record.open(str(tmp_path / "b.h5")) as again:
        a, b = first["video0"], again["video7"]
        assert (np.diff(a.sequence) > 1).any(), "vivid dropped nothing: %s" % a.sequence
        n = len(b)
        assert (b.sequence == a.sequence[:n]).all() and (b.dropped[1:] == a.dropped[1:n]).all()
        assert (b.bytesused == a.bytesused[:n]).all() and all(np.array_equal(b[i], a[i]) for i in range(n))
        assert len(set(a[i].tobytes() for i in range(n))) == n, "vivid repeated a frame"
        assert np.abs(np.diff(b.timestamp) - np.diff(a.timestamp[:n])).max() <= 1000
