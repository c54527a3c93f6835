"""Fixtures of the real-driver tier: the kernel's vivid driver as vm/run loads it
(vm/modules/vivid), three instances with one webcam input each:
    /dev/video0  the camera most tests use
    /dev/video1  unplugged by a test (it comes back once all its descriptors close)
    /dev/video2  built with dma-contig buffers only, so no user pointers
Run through vm/test-vivid. Outside such a VM every test errors: this tier
must never pass by finding nothing to test."""
import pytest

import camsnap
import videodev
from vividcam import CAMERA, FRAME_RATE, OSD_NONE, SIZE, SPARE, still_frame, vivid_problem


@pytest.fixture(scope="session", autouse=True)
def vivid():
    problem = vivid_problem()
    if problem:
        pytest.fail("no vivid camera: %s; run this tier with vm/test-vivid" % problem,
                    pytrace=False)
    # Without the moving text overlay vivid repeats one frame exactly, so any
    # frame of a capture can be held to a frame taken by other means.
    for number in (CAMERA, SPARE):
        with videodev.Node(number) as node:
            node.set_control(videodev.CID_VIVID_OSD_TEXT_MODE, OSD_NONE)
    # The frame rate is the device's (5 fps after loading); at 640x480 vivid
    # offers up to 25.
    with videodev.Node(CAMERA) as node:
        node.set_format("YU12", *SIZE)
        node.set_frame_rate(FRAME_RATE)


@pytest.fixture(autouse=True)
def released():
    """Whatever a test leaves open or streaming is given back to the driver, so
    that the next test (or v4l2-ctl) finds the camera free."""
    yield
    camsnap.stopStream()
    camsnap.close()


@pytest.fixture(scope="session")
def pattern(tmp_path_factory):
    """vivid's 640x480 test pattern in both formats the module asks for here,
    before the module touches the camera."""
    tmp = tmp_path_factory.mktemp("pattern")
    return {code: still_frame(tmp, code, SIZE) for code in ("YU12", "BGR3")}


