"""Faults the hostile-driver runs (tests/hostile) found, each pinned down on the plain virtual
camera so that it runs everywhere, without a sanitizer."""
import camsnap
from conftest import opened, rgb_camera


# An init refused while a stream runs (the driver answers S_FMT with EBUSY then) used to leave
# the new mode beside the stream's geometry; the next captureStream converted the frame in the
# new mode and read past the end of the driver's frame. Here a "YU12" answer of 3 bytes a luma
# pixel in a frame 2 bytes short of 3 x 640 x 480: the 16-bit copy of that geometry reads one
# byte past it.
def test_capture_stream_after_an_init_refused_during_the_stream(vcam, reports):
    rgb_camera(vcam, fmt_answer={"bytesperline": 3 * 640, "sizeimage": 3 * 640 * 480 - 2})
    opened(vcam, 1, 640, 480)
    assert camsnap.startStream() is True
    assert camsnap.captureStream().shape == (480, 640, 3)
    reports()
    assert camsnap.init(0, 640, 480) is False
    assert [f for f, _ in reports()] == ["cs_init"]
    assert camsnap.captureStream() is None
    assert [f for f, _ in reports()] == ["frame_geometry_fits"]
    # The failed capture ended the stream and gave the driver's buffers back.
    st = vcam.state(0)
    assert not st["streaming"] and st["queued"] == 0
    # A good init makes the camera usable again.
    vcam.set_fmt_answer(0, None)
    assert camsnap.init(1, 640, 480) is True
    assert camsnap.captureSingle().shape == (480, 640, 3)
