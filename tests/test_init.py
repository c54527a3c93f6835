"""Format negotiation: capability check, format choice, the driver's answer,
and the geometry every capture reads."""
import errno

import pytest

import camsnap
from conftest import fallback_camera, ir_camera, rgb_camera

Y16, YU12, BGR3 = 0x20363159, 0x32315559, 0x33524742


def requested_formats(vcam):
    return [(a["pixelformat"], a["width"], a["height"])
            for name, a, _ in vcam.log(0) if name == "S_FMT"]


@pytest.mark.parametrize("mode, asked, shape", [
    (0, BGR3, (256, 160)),      # the fallback replaces Y16 when BGR3 is listed
    (1, YU12, (120, 160, 3)),   # RGB ignores BGR3
    (2, Y16, None),             # mode 2 asks for Y16 (it is not RGB)
])
def test_format_chosen_by_mode_on_a_camera_listing_bgr3(vcam, reports, mode, asked, shape):
    fallback_camera(vcam)
    assert camsnap.open(0) is True
    w, h = (160, 172) if mode == 0 else (160, 120)
    result = camsnap.init(mode, w, h)
    assert requested_formats(vcam)[-1] == (asked, w, h)
    if shape is None:
        # Y16 holds 2 bytes a pixel: the fallback's 1.5 times the rows would
        # read past the frame, so init refuses the geometry.
        assert result is False
        assert [f for f, _ in reports()] == ["cs_init"]
    else:
        assert result is True
        assert camsnap.captureSingle().shape == shape
        assert reports() == []


@pytest.mark.parametrize("driver_height, rows", [(172, 256), (342, 512), (100, 150), (101, 151)])
def test_fallback_height_table(vcam, driver_height, rows):
    vcam.add_node(0, formats=[vcam.fmt("BGR3", [(160, driver_height)])])
    assert camsnap.open(0) is True
    assert camsnap.init(0, 160, driver_height) is True
    frame = camsnap.captureSingle()
    assert frame.shape == (rows, 160) and frame.dtype.name == "uint16"


@pytest.mark.parametrize("mode", [0, 1])
def test_other_modes_keep_the_driver_height(vcam, mode):
    vcam.add_node(0, formats=[vcam.fmt("Y16 ", [(160, 172)]), vcam.fmt("YU12", [(160, 172)])])
    assert camsnap.open(0) is True
    assert camsnap.init(mode, 160, 172) is True
    assert camsnap.captureSingle().shape[:2] == (172, 160)


def test_the_drivers_size_answer_wins(vcam):
    ir_camera(vcam)
    assert camsnap.open(0) is True
    assert camsnap.init(0, 641, 481) is True
    assert requested_formats(vcam)[-1] == (Y16, 641, 481)
    assert camsnap.captureSingle().shape == (480, 640)


@pytest.mark.parametrize("capabilities", [0x00000001, 0x04000000, 0x00000000, 0x84200000])
def test_missing_capability_bits(vcam, reports, capabilities):
    ir_camera(vcam, capabilities=capabilities)
    assert camsnap.open(0) is True
    assert camsnap.init(0, 160, 120) is False
    assert reports() == [("cs_init", "Insufficient device capabilities\n")]
    assert requested_formats(vcam) == []


def test_querycap_failure(vcam, reports):
    ir_camera(vcam, querycap_errno=errno.EIO)
    assert camsnap.open(0) is True
    assert camsnap.init(0, 160, 120) is False
    assert reports() == [("cs_init", "Failed to query device capabilities\n")]


@pytest.mark.parametrize("mode, code", [(0, "0x20363159"), (1, "0x32315559"), (2, "0x20363159")])
def test_set_format_failure_prints_the_code_in_eight_hex_digits(vcam, reports, mode, code):
    ir_camera(vcam)
    vcam.fault(0, "S_FMT", nth=1, errno=errno.EINVAL)
    assert camsnap.open(0) is True
    assert camsnap.init(mode, 160, 120) is False
    assert reports() == [("cs_init", "Failed to set format (%s)\n\n" % code)]


def test_failed_set_format_rewrites_the_mode_but_keeps_the_geometry(vcam):
    ir_camera(vcam, formats=[vcam.fmt("Y16 ", [(160, 120)]), vcam.fmt("YU12", [(320, 240)])])
    assert camsnap.open(0) is True
    assert camsnap.init(0, 160, 120) is True
    vcam.fault(0, "S_FMT", nth=1, errno=errno.EINVAL)
    assert camsnap.init(1, 320, 240) is False
    # RGB arrays now, of the earlier size.
    frame = camsnap.captureSingle()
    assert frame.shape == (120, 160, 3) and frame.dtype.name == "uint8"


@pytest.mark.parametrize("answer", [dict(width=0), dict(width=0, bytesperline=0)])
def test_a_zero_width_answer_fails_without_dividing_by_zero(vcam, reports, answer):
    ir_camera(vcam)
    assert camsnap.open(0) is True
    assert camsnap.init(0, 160, 120) is True
    vcam.add_node(1, formats=[vcam.fmt("Y16 ", [(160, 120)])], fmt_answer=answer)
    assert camsnap.open(1) is True
    assert camsnap.init(0, 320, 240) is False
    assert [f for f, _ in reports()] == ["cs_init"]
    # Back on the first camera, the geometry of the last good init still holds.
    assert camsnap.open(0) is True
    assert camsnap.captureSingle().shape == (120, 160)


GIANT = 1100000000   # pixels a row: 2 or 3 bytes each overflow a 32-bit stride


@pytest.mark.parametrize("mode, answer, line", [
    # Another layout read as planar YU12 would give a wrong picture.
    (1, dict(pixelformat="YUYV"), "Driver set format YUYV instead of YU12\n"),
    (1, dict(pixelformat="YV12"), "Driver set format YV12 instead of YU12\n"),
    (1, dict(pixelformat="NV12"), "Driver set format NV12 instead of YU12\n"),
    (1, dict(pixelformat="GREY", bytesperline=160, sizeimage=160 * 120),
     "Driver set format GREY instead of YU12\n"),
    (1, dict(pixelformat=0x0a4d5900), "Driver set format ?YM? instead of YU12\n"),
    # Rows shorter than the pixels read from them.
    (0, dict(bytesperline=160 * 2 - 1), "Driver rows of 319 bytes are shorter than the 320 bytes of 160 pixels\n"),
    (0, dict(bytesperline=0), "Driver rows of 0 bytes are shorter than the 320 bytes of 160 pixels\n"),
    (1, dict(bytesperline=159), "Driver rows of 159 bytes are shorter than the 160 bytes of 160 pixels\n"),
    (0, dict(width=GIANT, height=2, bytesperline=0, sizeimage=4096),
     "Driver rows of 0 bytes are shorter than the 2200000000 bytes of 1100000000 pixels\n"),
    # Arrays whose rows or frames overflow the copy's 32-bit strides.
    (1, dict(width=GIANT, height=1, bytesperline=GIANT, sizeimage=2 ** 31 - 1),
     "Frame of 1100000000x1 is too large for 32-bit array strides\n"),
    (0, dict(width=2 ** 15, height=2 ** 15 + 1, bytesperline=2 ** 16, sizeimage=2 ** 31 - 1),
     "Frame of 32768x32769 is too large for 32-bit array strides\n"),
    # Reads past the frame.
    (1, dict(sizeimage=160 * 120 * 3 // 2 - 1), None),                     # one byte short
    (0, dict(sizeimage=160 * 120 * 2 - 1), None),
    (0, dict(bytesperline=2 ** 31), None),                                 # not a signed int
])
def test_an_unusable_answer_is_refused_and_the_last_geometry_stays(vcam, reports, mode, answer, line):
    formats = [vcam.fmt("Y16 ", [(160, 120)]), vcam.fmt("YU12", [(160, 120)])]
    vcam.add_node(0, formats=formats)
    assert camsnap.open(0) is True
    assert camsnap.init(0, 160, 120) is True   # the geometry that must stay
    vcam.add_node(1, formats=formats, fmt_answer=answer)
    assert camsnap.open(1) is True
    assert camsnap.init(mode, 160, 120) is False
    lines = reports()
    assert [f for f, _ in lines] == ["cs_init"]
    if line is not None:
        assert lines[0][1] == line
    # Back on the first camera, the last good geometry still holds.
    assert camsnap.open(0) is True
    assert camsnap.captureSingle().shape[:2] == (120, 160)


@pytest.mark.parametrize("answer", ["YUYV", "NV12"])
def test_ir_mode_reads_any_answered_format_as_16_bit(vcam, answer):
    # Thermal cameras carry raw 16-bit data in a YUYV frame.
    vcam.add_node(0, formats=[vcam.fmt(answer, [(160, 120)])], fmt_answer=dict(
        pixelformat=answer, bytesperline=320, sizeimage=320 * 120))
    assert camsnap.open(0) is True
    assert camsnap.init(0, 160, 120) is True
    assert camsnap.captureSingle().shape == (120, 160)


@pytest.mark.parametrize("mode", [3, -1, 5, 2 ** 31 - 1])
def test_a_mode_outside_the_three_is_refused(vcam, reports, mode):
    ir_camera(vcam)
    assert camsnap.open(0) is True
    assert camsnap.init(mode, 160, 120) is False
    assert [f for f, _ in reports()] == ["cs_init"]
    assert requested_formats(vcam) == []


def test_init_after_captures_releases_the_drivers_buffers(vcam, reports):
    rgb_camera(vcam)
    assert camsnap.open(0) is True
    assert camsnap.init(1, 160, 120) is True
    assert camsnap.captureSeries(3).shape == (3, 120, 160, 3)
    assert vcam.state(0)["allocated"] > 0
    assert camsnap.init(1, 640, 480) is True
    assert camsnap.captureSingle().shape == (480, 640, 3)
    assert reports() == []


def test_init_while_streaming_fails_and_the_stream_goes_on(vcam, reports):
    ir_camera(vcam)
    assert camsnap.open(0) is True
    assert camsnap.init(0, 160, 120) is True
    assert camsnap.startStream() is True
    assert camsnap.init(0, 640, 480) is False
    assert reports() == [("cs_init", "Failed to set format (0x20363159)\n\n")]
    assert camsnap.captureStream().shape == (120, 160)
    assert camsnap.stopStream() is True
