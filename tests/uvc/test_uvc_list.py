"""list() on uvcvideo: the capture node with the camera's name and formats as
the camera describes them, and the metadata node uvcvideo adds, without any."""
import pytest

import camsnap
from usbcam import COLOUR_CAMERA, FOURCC, IR_CAMERA, Y16_CAMERA, driver_view
import v4l2

CAMERAS = {"ir": IR_CAMERA, "y16": Y16_CAMERA, "colour": COLOUR_CAMERA}


def fourcc(code):
    return int.from_bytes(FOURCC[code].encode(), "little")


@pytest.mark.parametrize("config", CAMERAS.values(), ids=CAMERAS.keys())
def test_list_shows_the_cameras_formats_and_its_metadata_node(bus, config):
    camera = bus.plug(**config)
    listed = {entry["id"]: entry for entry in camsnap.list()}
    assert set(listed) == {camera.capture, camera.metadata}
    assert listed[camera.capture] == {
        "id": camera.capture, "card": config["name"],
        "fmts": [{"fmt": fourcc(code), "res": [{"width": w, "height": h} for w, h in sizes]}
                 for code, sizes in config["formats"]]}
    assert listed[camera.metadata] == {"id": camera.metadata, "card": config["name"], "fmts": []}


def test_metadata_node_is_listed_though_it_cannot_capture(bus):
    camera = bus.plug(**IR_CAMERA)
    caps = driver_view(camera.metadata, lambda fd: v4l2.querycap(fd).device_caps)
    assert not caps & v4l2.V4L2_CAP_VIDEO_CAPTURE
    assert camera.metadata in [entry["id"] for entry in camsnap.list()]
