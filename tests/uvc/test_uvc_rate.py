"""The rate the module streams at against the rate the camera sends, both
measured from the frame numbers: the camera numbers every frame it sends, the
module returns some of them. Reported; the bound only tells a stream paced by
the camera from one paced by the 500 ms dequeue wait or losing most frames."""
import time

import pytest

import camsnap
from cases import Case, opened
from usbcam import number_of

CALLS = 150


@pytest.mark.parametrize("size", [(160, 120), (640, 480)], ids=["160x120", "640x480"])
@pytest.mark.parametrize("fps", [30, 60])
def test_streaming_rate_against_the_cameras_rate(bus, fps, size, capsys):
    config = dict(name="Rate cam", formats=[("Y16", [size])], fps=fps)
    case = Case(config, 0, size, "Y16", size[::-1])
    camera = bus.plug(**config)
    opened(camera.capture, case)
    assert camsnap.startStream() is True
    first = number_of(camsnap.captureStream())
    start = time.monotonic()
    for _ in range(CALLS):
        frame = camsnap.captureStream()
        assert frame is not None
    took = time.monotonic() - start
    last = number_of(frame)
    assert camsnap.stopStream() is True
    module_rate = CALLS / took
    camera_rate = (last - first) / took
    with capsys.disabled():
        print("\nY16 %dx%d at %d fps: camera sent %.1f fps, module returned %.1f fps "
              "(%d of %d frames)" % (size[0], size[1], fps, camera_rate, module_rate,
                                     CALLS, last - first))
    assert module_rate > camera_rate / 3
