"""Faults the hostile-driver runs (tests/hostile) found, each pinned down on the plain virtual
camera so that it runs everywhere, without a sanitizer."""
import camsnap
from conftest import ir_camera, opened


# An init refused while a stream runs (the driver answers S_FMT with EBUSY then) used to leave
# the new mode beside the stream's geometry; the next captureStream converted the 16-bit frame
# as YU12 and read past the end of the driver's frame. The driver here packs one byte a pixel
# into a frame just long enough for the 16-bit copy (307201 bytes); YU12 reads 460800.
def test_capture_stream_after_an_rgb_init_refused_during_the_stream(vcam, reports):
    ir_camera(vcam, fmt_answer={"bytesperline": 640, "sizeimage": 640 * 480 + 1})
    opened(vcam, 0, 640, 480)
    assert camsnap.startStream() is True
    assert camsnap.captureStream().shape == (480, 640)
    reports()
    assert camsnap.init(1, 640, 480) is False
    assert [f for f, _ in reports()] == ["cs_init"]
    assert camsnap.captureStream() is None
    assert [f for f, _ in reports()] == ["frame_geometry_fits"]
    # The failed capture ended the stream and gave the driver's buffers back.
    st = vcam.state(0)
    assert not st["streaming"] and st["queued"] == 0
    # A good init makes the camera usable again.
    vcam.set_fmt_answer(0, None)
    assert camsnap.init(0, 640, 480) is True
    assert camsnap.captureSingle().shape == (480, 640)
