"""Malformed arguments from Python, for every method: the tuple parser's own
exception, raised before the device or the device state is touched; and the
calls the parser lets through (ignored arguments, masked unsigned sizes)
behave as their plain forms do."""
import pytest

import camsnap
from conftest import ir_camera, opened

HUGE = 2 ** 64
INT_MAX = 2 ** 31 - 1
INT_MIN = -2 ** 31

# (method, positional arguments, keyword arguments, exception)
REFUSED = [
    ("open", (), {}, TypeError),
    ("open", (None,), {}, TypeError),
    ("open", (0.0,), {}, TypeError),
    ("open", ("0",), {}, TypeError),
    ("open", (b"0",), {}, TypeError),
    ("open", ([0],), {}, TypeError),
    ("open", (0, 0), {}, TypeError),
    ("open", (INT_MAX + 1,), {}, OverflowError),
    ("open", (INT_MIN - 1,), {}, OverflowError),
    ("open", (HUGE,), {}, OverflowError),
    ("open", (-HUGE,), {}, OverflowError),
    ("captureSeries", (), {}, TypeError),
    ("captureSeries", (None,), {}, TypeError),
    ("captureSeries", (2.0,), {}, TypeError),
    ("captureSeries", ("2",), {}, TypeError),
    ("captureSeries", (b"2",), {}, TypeError),
    ("captureSeries", (2, 2), {}, TypeError),
    ("captureSeries", (INT_MAX + 1,), {}, OverflowError),
    ("captureSeries", (INT_MIN - 1,), {}, OverflowError),
    ("captureSeries", (HUGE,), {}, OverflowError),
    ("init", (), {}, TypeError),
    ("init", (0, 640), {}, TypeError),
    ("init", (0, 640, 480, 0), {}, TypeError),
    ("init", (None, 640, 480), {}, TypeError),
    ("init", (0, None, 480), {}, TypeError),
    ("init", (0, 640, None), {}, TypeError),
    ("init", (0.0, 640, 480), {}, TypeError),
    ("init", (0, 640.0, 480), {}, TypeError),
    ("init", (0, 640, 480.0), {}, TypeError),
    ("init", ("0", 640, 480), {}, TypeError),
    ("init", (0, "640", 480), {}, TypeError),
    ("init", (0, 640, b"480"), {}, TypeError),
    ("init", (INT_MAX + 1, 640, 480), {}, OverflowError),
    ("init", (INT_MIN - 1, 640, 480), {}, OverflowError),
    ("init", (HUGE, 640, 480), {}, OverflowError),
    # A valid first argument does not let a later bad one through half-parsed.
    ("init", (1, 640, "480"), {}, TypeError),
    # METH_VARARGS: no method takes keywords, not even those that ignore arguments.
    ("open", (), {"device_number": 0}, TypeError),
    ("close", (), {"x": 1}, TypeError),
    ("list", (), {"x": 1}, TypeError),
    ("init", (0, 640, 480), {"mode": 0}, TypeError),
    ("captureSingle", (), {"x": 1}, TypeError),
    ("captureSeries", (2,), {"n": 2}, TypeError),
    ("startStream", (), {"x": 1}, TypeError),
    ("captureStream", (), {"x": 1}, TypeError),
    ("stopStream", (), {"x": 1}, TypeError),
]


def call_id(row):
    method, args, kwargs = row[:3]
    shown = [repr(a) if not isinstance(a, int) or abs(a) < 2 ** 20 else hex(a) for a in args]
    shown += ["%s=%r" % item for item in sorted(kwargs.items())]
    return "%s(%s)" % (method, ",".join(shown))


@pytest.fixture
def ready(vcam):
    """An open IR camera initialised at 160x120 (the driver also has 640x480),
    with the virtual camera's request log read up to here."""
    ir_camera(vcam)
    opened(vcam, 0, 160, 120)
    return vcam


@pytest.mark.parametrize("method, args, kwargs, exception", REFUSED,
                         ids=[call_id(r) for r in REFUSED])
def test_malformed_arguments_raise_and_touch_nothing(ready, capfd, method, args, kwargs,
                                                     exception):
    before = len(ready.log(0))
    capfd.readouterr()
    with pytest.raises(exception):
        getattr(camsnap, method)(*args, **kwargs)
    # No diagnostic line: the parser's exception says it all.
    assert capfd.readouterr().err == ""
    assert ready.log(0)[before:] == []
    # Same descriptor, same geometry: a capture still sees the earlier init.
    assert ready.state(0)["open_fds"] == 1
    assert camsnap.captureSingle().shape == (120, 160)


def test_refused_arguments_leave_a_running_stream_running(ready):
    assert camsnap.startStream() is True
    first = camsnap.captureStream()
    for method, args, kwargs, exception in REFUSED:
        with pytest.raises(exception):
            getattr(camsnap, method)(*args, **kwargs)
    assert ready.state(0)["streaming"]
    following = camsnap.captureStream()
    # Frame number in pixel (0,0): nothing was dequeued in between.
    assert int(following[0, 0]) == int(first[0, 0]) + 1
    assert camsnap.stopStream() is True


JUNK = (None, 1.5, "x", b"y", -1, HUGE, -HUGE, [1], object())

# Methods without a format take any positional arguments and ignore them.
IGNORED = ["close", "list", "captureSingle", "startStream", "captureStream", "stopStream"]


@pytest.mark.parametrize("method", IGNORED)
def test_methods_without_a_format_ignore_junk_arguments(ready, method):
    if method in ("captureStream", "stopStream"):
        assert camsnap.startStream() is True
    plain = getattr(camsnap, method)
    junk = plain(*JUNK)
    if method == "close":
        assert junk is True and ready.state(0)["open_fds"] == 0
    elif method == "list":
        assert [cam["id"] for cam in junk] == [0]
    elif method in ("captureSingle", "captureStream"):
        assert junk.shape == (120, 160)
    elif method == "startStream":
        assert junk is True and ready.state(0)["streaming"]
    else:
        assert junk is True and not ready.state(0)["streaming"]


# init's sizes are "I": converted without an overflow check, the low 32 bits kept.
MASKED = [
    ((0, 2 ** 32 + 160, 120), (160, 120)),
    ((0, 160, 2 ** 64 + 120), (160, 120)),
    ((0, 160 - 2 ** 32, 120 - 2 ** 32), (160, 120)),
    ((0, -1, -1), (4294967295, 4294967295)),
    ((0, 2 ** 100 + 640, 480), (640, 480)),
]


@pytest.mark.parametrize("args, asked", MASKED, ids=[call_id(("init",) + r[:1] + ({},))
                                                     for r in MASKED])
def test_init_masks_its_sizes_to_32_bits(ready, args, asked):
    assert camsnap.init(*args) is True
    s_fmt = [fields for name, fields, _ in ready.log(0) if name == "S_FMT"]
    assert (s_fmt[-1]["width"], s_fmt[-1]["height"]) == asked
    s = ready.state(0)
    assert camsnap.captureSingle().shape == (s["height"], s["width"])
