"""Discovery: the cameras on /dev/video0 to /dev/video9 and what they deliver."""
import errno

import camsnap
from conftest import ir_camera, opened


def fourcc(code):
    return int.from_bytes(code.encode("latin-1"), "little")


def test_no_cameras_is_an_empty_list(vcam, reports):
    assert camsnap.list() == []
    assert reports() == []


def test_capture_node_and_metadata_node(vcam, reports):
    vcam.add_node(0, card=b"Thermal Cam",
                  formats=[vcam.fmt("Y16 ", [(160, 120), (640, 480)]),
                           vcam.fmt("BGR3", [(160, 172)])])
    vcam.add_node(1, card=b"Thermal Cam", capabilities=0x84a00000, formats=[])
    cameras = camsnap.list()
    assert cameras == [
        {"id": 0, "card": "Thermal Cam", "fmts": [
            {"fmt": fourcc("Y16 "), "res": [{"width": 160, "height": 120},
                                            {"width": 640, "height": 480}]},
            {"fmt": fourcc("BGR3"), "res": [{"width": 160, "height": 172}]}]},
        {"id": 1, "card": "Thermal Cam", "fmts": []},
    ]
    # Keys in the documented order, ints and strs only.
    assert list(cameras[0]) == ["id", "card", "fmts"]
    assert list(cameras[0]["fmts"][0]) == ["fmt", "res"]
    assert list(cameras[0]["fmts"][0]["res"][0]) == ["width", "height"]
    assert reports() == []


def test_only_discrete_sizes_are_listed(vcam):
    vcam.add_node(0, formats=[
        vcam.fmt("YU12", [vcam.stepwise(16, 640, 16, 16, 480, 16)]),
        vcam.fmt("Y16 ", [vcam.continuous(1, 100, 1, 100)]),
        vcam.fmt("BGR3", [(320, 240)]),
    ])
    fmts = camsnap.list()[0]["fmts"]
    assert [(f["fmt"], f["res"]) for f in fmts] == [
        (fourcc("YU12"), []), (fourcc("Y16 "), []),
        (fourcc("BGR3"), [{"width": 320, "height": 240}])]


def test_only_video0_to_video9_and_nodes_that_answer(vcam, reports):
    for node in (2, 9, 10, 11, 63):
        vcam.add_node(node)
    vcam.add_node(4, querycap_errno=errno.ENOTTY)
    vcam.add_node(5, open_errno=errno.EACCES)
    assert [cam["id"] for cam in camsnap.list()] == [2, 9]
    assert reports() == []
    # Every descriptor it opened is closed again.
    assert all(vcam.state(n)["open_fds"] == 0 for n in (2, 4, 9))


def test_a_node_held_by_the_device_state_is_listed_and_stays_usable(vcam, reports):
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    assert camsnap.startStream() is True
    assert [cam["id"] for cam in camsnap.list()] == [0]
    assert vcam.state(0)["open_fds"] == 1
    assert camsnap.captureStream().shape == (120, 160)
    assert camsnap.stopStream() is True
    assert camsnap.captureSingle().shape == (120, 160)
    assert reports() == []


def test_codes_and_sizes_with_the_high_bit_are_positive(vcam):
    code = 0x9f4d4a4d  # fourth character above 0x7f
    vcam.add_node(0, formats=[vcam.fmt(code, [(2 ** 32 - 1, 2 ** 31)])])
    fmt = camsnap.list()[0]["fmts"][0]
    assert fmt["fmt"] == code
    assert fmt["res"] == [{"width": 2 ** 32 - 1, "height": 2 ** 31}]


def test_card_names_that_are_not_utf8_are_decoded_with_replacements(vcam):
    vcam.add_node(0, card=b"IR \xff\xfe cam \xc3\xa9")
    vcam.add_node(1, card=b"")
    cards = [cam["card"] for cam in camsnap.list()]
    assert cards == ["IR \ufffd\ufffd cam \u00e9", ""]


def test_out_of_memory_raises_and_returns_nothing_partial(vcam):
    import pytest
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("this interpreter cannot simulate allocation failures")
    vcam.add_node(0, formats=[vcam.fmt("Y16 ", [(160, 120), (640, 480)]),
                              vcam.fmt("YU12", [(320, 240)])])
    vcam.add_node(3, card=b"second")
    expected = camsnap.list()
    outcomes = set()
    # Let the first `start` allocations succeed and every later one fail, for
    # each point at which list() allocates.
    for start in range(0, 80):
        testcapi.set_nomemory(start)
        try:
            result = camsnap.list()
        except MemoryError:
            result = MemoryError
        finally:
            testcapi.remove_mem_hooks()
        assert result is MemoryError or result == expected
        outcomes.add(result is MemoryError)
    assert outcomes == {True, False}
    assert all(vcam.state(n)["open_fds"] == 0 for n in (0, 3))
