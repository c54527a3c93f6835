"""init() on uvcvideo: the format the driver ends up holding, read on a
descriptor of the tier's own, and the array shape captures then have."""
import pytest

import camsnap
from cases import CASES, opened
from usbcam import FOURCC, YUYV_CAMERA, driver_format, driver_view

# (code, width, height, bytesperline, sizeimage) as uvcvideo answers.
DRIVER_FORMAT = {
    "ir16-bgr3": ("BGR3", 160, 172, 480, 82560),
    "ir16-y16": ("Y16 ", 160, 120, 320, 38400),
    "rgb-yu12": ("YU12", 160, 120, 160, 28800),
    "rgb-yu12-640": ("YU12", 640, 480, 640, 460800),
    "ir16-yuyv": ("YUYV", 160, 120, 320, 38400),
}


@pytest.mark.parametrize("name", CASES)
def test_init_sets_the_driver_format_and_capture_shape(bus, name):
    case = CASES[name]
    camera = bus.plug(**case.camera)
    opened(camera.capture, case)
    assert driver_view(camera.capture, driver_format) == DRIVER_FORMAT[name]
    assert DRIVER_FORMAT[name][0] == FOURCC[case.code]
    frame = camsnap.captureSingle()
    assert frame is not None and frame.shape == case.shape


def test_ir_mode_on_a_camera_without_bgr3_asks_for_y16_and_stays_ir16(bus):
    case = CASES["ir16-y16"]
    camera = bus.plug(**case.camera)
    opened(camera.capture, case)
    # Mode 2 would double the rows; IR16 keeps the driver's 120.
    assert camsnap.captureSeries(1).shape == (1, 120, 160)


def test_rgb_mode_on_a_yuyv_camera_is_refused_naming_both_formats(bus, reports):
    camera = bus.plug(**YUYV_CAMERA)
    assert camsnap.open(camera.capture) is True
    assert camsnap.init(1, 160, 120) is False
    assert reports() == [("cs_init", "Driver set format YUYV instead of YU12\n")]
