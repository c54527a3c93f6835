"""The command as a separate program: the console entry, --virtual re-running itself under
the virtual camera, and what happens without the virtual camera or without a camera."""
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from PIL import Image

import camsnap_cli
import camsnap_vcam
from camsnap_cli import common, main as main_module

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


def test_virtual_sees_the_preloaded_camera_where_the_maps_do_not_show_it(vcam, cli, tmp_path,
                                                                         monkeypatch):
    # Under qemu-user /proc/self/maps lists no preloaded library: here the maps show the
    # preloaded library under another name than the one the command finds.
    copy = str(tmp_path / "libcamsnap_vcam.so")
    shutil.copy(os.environ["CAMSNAP_VCAM"], copy)
    monkeypatch.setenv("CAMSNAP_VCAM", copy)
    monkeypatch.setenv("CAMSNAP_CLI_REEXECUTED", "1")   # no second try: it runs in this process
    assert cli("list", "--virtual")[0] == 0


def test_virtual_finds_the_camera_in_the_build_tree(tmp_path):
    run = camsnap(["list", "--virtual"], tmp_path)
    assert run.returncode == 0, run.stderr
    assert camsnap_vcam.standard_description()["nodes"][0]["card"] in run.stdout


def test_virtual_without_the_camera_library_exits_8(tmp_path):
    # A copy of the packages outside the source tree, without the library, has no camera to find.
    for package in ("camsnap_cli", "camsnap_process", "camsnap_vcam"):
        shutil.copytree(os.path.join(TOP, "python", package), str(tmp_path / package))
    env = plain_environment(PYTHONPATH=os.pathsep.join([str(tmp_path), os.path.join(TOP, "build", "py3.11")]))
    run = camsnap(["snap", "--virtual"], tmp_path, env)
    assert run.returncode == common.EXIT_NO_VIRTUAL
    assert "no virtual camera library (libcamsnap_vcam.so)" in run.stderr


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


def test_version(tmp_path):
    run = camsnap(["--version"], tmp_path)
    assert (run.returncode, run.stdout) == (0, "camsnap %s\n" % camsnap_cli.__version__)


def test_ctrl_c_keeps_the_frames_of_a_series(tmp_path):
    child = subprocess.Popen([sys.executable, "-m", "camsnap_cli", "series", "--virtual", "-n", "300",
                              "--width", "160", "--height", "120", "-o", "s.npy"], cwd=str(tmp_path),
                             env=plain_environment(CAMSNAP_VCAM=os.environ["CAMSNAP_VCAM"]),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             # Ctrl-C as in a terminal, also where this runs with it ignored.
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    # Ctrl-C once the progress bar shows a few frames (30 a second: 300 take ten seconds).
    seen, deadline = b"", time.monotonic() + 60
    while time.monotonic() < deadline and not re.search(rb" ([4-9]|\d\d+)/300 ", seen):
        chunk = os.read(child.stderr.fileno(), 4096)
        if not chunk:
            break
        seen += chunk
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    err = (seen + err).decode()
    assert child.returncode == 130, err
    kept = np.load(str(tmp_path / "s.npy"))
    assert 4 <= len(kept) < 300 and kept.shape[1:] == (120, 160), err
    assert "camsnap: interrupted: kept %d of 300 frames (160x120 uint16) in s.npy" % len(kept) in err


def test_a_long_series_goes_to_disk_as_it_comes(tmp_path):
    # 300 frames of 1280x720 are 553 MB; memory holds one run of them at a time.
    import camsnap_vcam as vcam
    description = vcam.standard_description()
    description["nodes"][0]["fps"] = 1000
    env = plain_environment(**vcam.environment(description))
    measure = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True); "
               "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    path = tmp_path / "s.npy"
    try:
        run = subprocess.run([sys.executable, "-c", measure, sys.executable, "-m", "camsnap_cli", "series",
                              "-n", "300", "--width", "1280", "--height", "720", "-o", str(path)],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, timeout=600)
        assert run.returncode == 0, run.stderr
        peak_mb = int(run.stdout.split()[-1]) / 1024
        assert np.load(str(path), mmap_mode="r").shape == (300, 720, 1280)
        assert peak_mb < 300, "peak resident %.0f MB" % peak_mb
    finally:
        if path.exists():
            path.unlink()
