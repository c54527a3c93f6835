"""The command as a separate program: the console entry, --virtual re-running itself under
the virtual camera, and what happens without the virtual camera or without a camera."""
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

from camsnap_cli import common, main as main_module, virtual

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))


def plain_environment(**extra):
    """This environment without the preloaded virtual camera."""
    env = dict((k, v) for k, v in os.environ.items() if k not in ("LD_PRELOAD", "CAMSNAP_VCAM"))
    env["PYTHONPATH"] = os.pathsep.join([os.path.join(TOP, "build", "py3.11"), os.path.join(TOP, "python")])
    env.update(extra)
    return env


def camsnap(args, cwd, env=None):
    return subprocess.run([sys.executable, "-m", "camsnap_cli"] + [str(a) for a in args], cwd=str(cwd),
                          env=env or plain_environment(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)


def test_virtual_runs_itself_again_with_the_camera_preloaded(tmp_path):
    run = camsnap(["snap", "--virtual", "--width", 1280, "--height", 720, "-o", "frame.png"], tmp_path,
                  plain_environment(CAMSNAP_VCAM=os.environ["CAMSNAP_VCAM"]))
    assert run.returncode == 0, run.stderr
    with Image.open(str(tmp_path / "frame.png")) as picture:
        assert (picture.mode, picture.size) == ("I;16", (1280, 720))
    with Image.open(str(tmp_path / "frame-preview.png")) as picture:
        assert picture.mode == "RGB" and picture.size[1] == 720


def test_virtual_finds_the_camera_in_the_build_tree(tmp_path):
    run = camsnap(["list", "--virtual"], tmp_path)
    assert run.returncode == 0, run.stderr
    assert virtual.VIRTUAL_CARD in run.stdout


def test_virtual_without_the_camera_library_exits_8(tmp_path):
    # A copy of the package outside the source tree has no build tree to find the camera in.
    shutil.copytree(os.path.join(TOP, "python", "camsnap_cli"), str(tmp_path / "camsnap_cli"))
    env = plain_environment(PYTHONPATH=os.pathsep.join([str(tmp_path), os.path.join(TOP, "build", "py3.11")]))
    run = camsnap(["snap", "--virtual"], tmp_path, env)
    assert run.returncode == common.EXIT_NO_VIRTUAL
    assert "virtual camera is not built" in run.stderr


@pytest.mark.skipif(os.path.exists("/dev/video9"), reason="this machine has a /dev/video9")
def test_a_real_missing_node_exits_3(tmp_path):
    run = camsnap(["snap", "-d", 9, "-o", "x.png"], tmp_path)
    assert run.returncode == common.EXIT_NO_CAMERA
    assert run.stderr.splitlines()[-1].startswith("camsnap: no camera at /dev/video9")


def test_no_command_prints_help_and_exits_2(tmp_path):
    run = camsnap([], tmp_path)
    assert run.returncode == 2 and "list" in run.stderr and "snap" in run.stderr


def test_a_missing_subcommand_module_is_skipped_a_broken_one_is_not(tmp_path, monkeypatch):
    (tmp_path / "broken_cmd.py").write_text("import no_such_module_anywhere\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(main_module, "SUBCOMMANDS", ("list_cmd", "not_written_yet"))
    assert "list" in main_module.build_parser().format_help()
    import camsnap_cli
    monkeypatch.setattr(camsnap_cli, "__path__", list(camsnap_cli.__path__) + [str(tmp_path)])
    monkeypatch.setattr(main_module, "SUBCOMMANDS", ("list_cmd", "broken_cmd"))
    with pytest.raises(ImportError):
        main_module.build_parser()
