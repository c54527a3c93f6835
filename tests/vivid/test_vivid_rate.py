"""A series of 100 frames at 25 fps follows the driver's frame rate. The time is
reported; the bound only tells a capture paced by the driver from one paced by
the 500 ms dequeue wait."""
import time

import pytest

import camsnap
import videodev
from vividcam import CAMERA, FRAME_RATE, SIZE, opened

COUNT = 100
DISCARDED = 2


def driver_pace(code, count):
    """Seconds vivid takes to fill count buffers for a reader that does nothing
    else: under emulation it may be slower than its nominal rate."""
    with videodev.Node(CAMERA) as node:
        node.set_format(code, *SIZE)
        assert node.set_frame_rate(FRAME_RATE) == FRAME_RATE
        node.start(8)
        try:
            node.queue(node.dequeue()[0])
            start = time.monotonic()
            for _ in range(count):
                node.queue(node.dequeue()[0])
            return time.monotonic() - start
        finally:
            node.stop()


@pytest.mark.parametrize("mode,code", [(1, "YU12"), (0, "BGR3")], ids=["rgb", "ir16-bgr3"])
def test_series_of_100_frames_follows_the_frame_rate(mode, code, capsys):
    pace = driver_pace(code, COUNT + DISCARDED)
    opened(CAMERA, mode, *SIZE)
    start = time.monotonic()
    frames = camsnap.captureSeries(COUNT)
    took = time.monotonic() - start
    assert frames is not None and len(frames) == COUNT
    with capsys.disabled():
        print("\n%s: %d frames at %d fps: module %.2f s, driver alone %.2f s (nominal %.2f s)"
              % (code, COUNT, FRAME_RATE, took, pace, (COUNT + DISCARDED) / FRAME_RATE))
    # Paced by the 500 ms wait the series would take over 50 s.
    assert took < 2 * pace + 2
