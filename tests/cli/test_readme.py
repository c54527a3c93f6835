"""The README's examples run as they stand on the virtual camera, and print exactly the
diagnostic lines their comments announce; its first command saves a frame."""
import argparse
import os
import re
import shlex
import subprocess

import pytest
from PIL import Image

from camsnap_cli import virtual
from camsnap_process import diagnostic_lines

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
with open(os.path.join(TOP, "README.md")) as readme:
    README = readme.read()
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README, re.M | re.S)
ANNOUNCED = re.compile(r"# (E:\w+:<line>:.*)$", re.M)


def heading_before(block):
    """The section an example belongs to, as the test's name."""
    before = README[:README.index(block)]
    return re.findall(r"^#+ (.*)$", before, re.M)[-1].split("(")[0].strip("` ").replace(" ", "_")


def test_every_method_has_an_example():
    names = set(heading_before(b) for b in BLOCKS)
    assert {"open", "close", "list", "init", "captureSingle", "captureSeries", "startStream",
            "captureStream", "stopStream"} <= names


@pytest.fixture
def virtual_camera(vcam):
    virtual.ensure_virtual(argparse.Namespace(virtual=True, device=0))


@pytest.mark.parametrize("block", BLOCKS, ids=[heading_before(b) for b in BLOCKS])
def test_example_runs(virtual_camera, block, capfd, tmp_path, monkeypatch):
    monkeypatch.chdir(str(tmp_path))
    capfd.readouterr()
    exec(compile(block, "README.md", "exec"), {"__name__": "__readme__"})
    err = capfd.readouterr().err
    printed = ["E:%s:<line>:%s" % (line.function, line.text) for line in diagnostic_lines(err)]
    assert printed == ANNOUNCED.findall(block)
    assert err == "" or diagnostic_lines(err), err


def test_first_command_saves_a_frame(tmp_path):
    commands = re.findall(r"^    (\S.*)$", README, re.M)
    assert commands[1] == "scripts/test"
    argv = shlex.split(commands[0])
    assert argv[0] == "scripts/camsnap" and "--virtual" in argv
    env = dict((k, v) for k, v in os.environ.items() if k not in ("LD_PRELOAD", "CAMSNAP_VCAM", "PYTHONPATH"))
    run = subprocess.run([os.path.join(TOP, argv[0])] + argv[1:], cwd=str(tmp_path), env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                         timeout=1800)
    assert run.returncode == 0, run.stderr[-2000:]
    output = argv[argv.index("-o") + 1]
    with Image.open(str(tmp_path / output)) as picture:
        assert picture.mode == "I;16" and picture.size == (640, 480)
    assert os.path.isfile(str(tmp_path / output.replace(".png", "-preview.png")))
