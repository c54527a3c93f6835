"""list() on vivid: the entry of a real driver, held to the driver's own
enumeration made on a descriptor of the tier's."""
import pytest

import camsnap
import videodev
from vividcam import CAMERA

VIVID_SIZES = [(320, 180), (640, 360), (640, 480), (1280, 720), (1920, 1080), (3840, 2160)]


def enumerated(number):
    with videodev.Node(number) as node:
        return [{"fmt": code, "res": [{"width": w, "height": h} for w, h in sizes]}
                for code, sizes in node.formats()]


def entry(number):
    found = [e for e in camsnap.list() if e["id"] == number]
    assert len(found) == 1, "video%d listed %d times" % (number, len(found))
    return found[0]


@pytest.mark.parametrize("held_open", [False, True], ids=["free", "held-by-open"])
def test_list_reports_video0_as_vivid_enumerates_it(held_open):
    if held_open:
        assert camsnap.open(CAMERA) is True
    listed = entry(CAMERA)
    assert list(listed) == ["id", "card", "fmts"]
    assert listed["card"] == "vivid"
    assert listed["fmts"] == enumerated(CAMERA)


@pytest.mark.parametrize("code", ["Y16 ", "YU12", "BGR3"])
def test_list_carries_the_formats_the_module_uses_with_vivids_sizes(code):
    formats = {f["fmt"]: f["res"] for f in entry(CAMERA)["fmts"]}
    assert [(s["width"], s["height"]) for s in formats[videodev.fourcc(code)]] == VIVID_SIZES


def answering_nodes():
    found = []
    for number in range(10):
        try:
            with videodev.Node(number) as node:
                node.querycap()
        except OSError:
            continue
        found.append(number)
    return found


def test_list_has_one_entry_per_answering_node_in_node_order():
    assert [e["id"] for e in camsnap.list()] == answering_nodes()
