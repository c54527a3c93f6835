"""Fixtures for the module's tests on the virtual camera.

Run through scripts/test, which builds the module and the virtual camera and
starts pytest with the camera preloaded.
"""
import os
import re
import signal

import pytest

import camsnap

# The programs these tests start and interrupt must take Ctrl-C as from a terminal, also when the
# suite was started in the background by a shell, which ignores SIGINT: an ignored signal stays
# ignored across exec, and Python then installs no KeyboardInterrupt handler.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

LINE = re.compile(r"E:([A-Za-z_]\w*):(\d+):(.*)", re.S)


def diagnostics(err):
    """Splits captured standard error into (function, text) pairs, one per
    diagnostic line; text keeps its trailing newlines. Anything on standard
    error that is not a diagnostic fails the test."""
    reports = []
    starts = [m.start() for m in re.finditer(r"E:[A-Za-z_]\w*:\d+:", err)]
    assert not err or starts[:1] == [0], "not a diagnostic line: %r" % err
    for begin, end in zip(starts, starts[1:] + [len(err)]):
        chunk = err[begin:end]
        match = LINE.fullmatch(chunk)
        assert match, "not a diagnostic line: %r" % chunk
        reports.append((match.group(1), match.group(3)))
    return reports


@pytest.fixture
def reports(capfd):
    """reports() -> diagnostics written since the last call."""
    def read():
        return diagnostics(capfd.readouterr().err)
    read()
    return read


@pytest.fixture
def vcam():
    import camsnap_vcam as virtual
    virtual.reset()
    yield virtual
    # Leave nothing behind for the next test, whatever this one did.
    camsnap.stopStream()
    camsnap.close()
    virtual.reset()


def ir_camera(vcam, node=0, **config):
    config.setdefault("formats", [vcam.fmt("Y16 ", [(160, 120), (640, 480)])])
    vcam.add_node(node, **config)


def rgb_camera(vcam, node=0, **config):
    config.setdefault("formats", [vcam.fmt("YU12", [(160, 120), (640, 480)])])
    vcam.add_node(node, **config)


def fallback_camera(vcam, node=0, **config):
    config.setdefault("formats", [vcam.fmt("Y16 ", [(160, 120)]),
                                  vcam.fmt("BGR3", [(160, 172), (160, 342), (160, 100)]),
                                  vcam.fmt("YU12", [(160, 120)])])
    vcam.add_node(node, **config)


def opened(vcam, mode, w, h, node=0):
    """Opens node and inits it; the calls' own lines are not under test here."""
    assert camsnap.open(node) is True
    assert camsnap.init(mode, w, h) is True


NONUMPY_PYTHON = os.environ.get("CAMSNAP_NONUMPY_PYTHON")
