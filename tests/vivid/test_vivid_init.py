"""init() on vivid: which format the module asks for, and that the geometry it
records is the driver's answer (seen in the shape of what it captures)."""
import pytest

import camsnap
from vividcam import CAMERA, FALLBACK_ROWS, driver_format, opened

# mode, requested size -> format vivid then holds (code, width, height,
# bytesperline, sizeimage), and the shape of captureSeries(2). vivid lists
# "BGR3", so mode 0 falls back to it; 641x479 is snapped to 640x480.
CASES = [
    (0, (640, 480), ("BGR3", 640, 480, 1920, 921600), (2, FALLBACK_ROWS, 640)),
    (1, (640, 480), ("YU12", 640, 480, 640, 460800), (2, 480, 640, 3)),
    (0, (641, 479), ("BGR3", 640, 480, 1920, 921600), (2, FALLBACK_ROWS, 640)),
    (1, (641, 479), ("YU12", 640, 480, 640, 460800), (2, 480, 640, 3)),
    (0, (320, 180), ("BGR3", 320, 180, 960, 172800), (2, 270, 320)),
    (1, (320, 180), ("YU12", 320, 180, 320, 86400), (2, 180, 320, 3)),
]


@pytest.mark.parametrize("mode,size,held,shape", CASES,
                         ids=["%d-%dx%d" % (c[0], *c[1]) for c in CASES])
def test_init_sets_the_format_and_records_vivids_answer(mode, size, held, shape):
    opened(CAMERA, mode, *size)
    fmt = driver_format()
    assert tuple(fmt.values()) == held
    frames = camsnap.captureSeries(2)
    assert frames is not None
    assert frames.shape == shape
    assert frames.dtype == ("uint8" if mode == 1 else "uint16")


@pytest.mark.parametrize("first,second", [(1, 0), (0, 1)])
def test_init_after_a_capture_switches_the_format(first, second, reports):
    # The capture leaves vivid's buffers allocated, and vivid refuses a new
    # format while any exist: init must give them back first.
    opened(CAMERA, first, 640, 480)
    assert camsnap.captureSeries(3) is not None
    reports()
    assert camsnap.init(second, 640, 480) is True
    assert reports() == []
    assert driver_format()["code"] == ("YU12" if second == 1 else "BGR3")
    frames = camsnap.captureSeries(2)
    assert frames is not None and frames.ndim == (4 if second == 1 else 3)


def test_init_in_mode_2_asks_for_y16_whose_frame_is_too_small_for_the_fallback(reports):
    # vivid accepts "Y16 " (1280 bytes a row, 614400 bytes a frame); read as the
    # fallback's 720 rows of 1280 bytes the frame would be 921600 bytes.
    assert camsnap.open(CAMERA) is True
    reports()
    assert camsnap.init(2, 640, 480) is False
    assert [f for f, _ in reports()] == ["cs_init"]
    fmt = driver_format()
    assert (fmt["code"], fmt["bytesperline"], fmt["sizeimage"]) == ("Y16 ", 1280, 614400)
