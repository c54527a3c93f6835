"""Fixtures for the camsnap command's tests: the command runs in this process (with the
virtual camera preloaded, as in the module's tests) so that each test sets the camera up
with the faults it needs; a few tests run it as a separate program."""
import os
import sys

import pytest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if os.path.join(TOP, "python") not in sys.path:
    sys.path.insert(0, os.path.join(TOP, "python"))

from camsnap_cli import common  # noqa: E402
from camsnap_cli.main import main  # noqa: E402

SIZES = [(160, 120), (640, 480)]


@pytest.fixture
def cli(capsys):
    """cli("snap", "-o", path) -> (exit code, standard output, standard error)."""
    def run(*argv):
        capsys.readouterr()
        try:
            code = main([str(a) for a in argv])
        except SystemExit as exit:      # argparse ends this way on bad arguments
            code = exit.code
        out, err = capsys.readouterr()
        return code, out, err
    return run


@pytest.fixture
def camera(vcam):
    """camera(**config): /dev/video0 with "Y16 " and "YU12" at 160x120 and 640x480."""
    def add(node=0, **config):
        config.setdefault("formats", [vcam.fmt("Y16 ", SIZES), vcam.fmt("YU12", SIZES)])
        config.setdefault("card", b"test camera")
        vcam.add_node(node, **config)
    return add
