"""camsnap record and camsnap_record: what the file holds, what survives a kill, a full disk and
Ctrl-C, and sets matched across cameras."""
import os
import random
import re
import signal
import subprocess
import sys
import time

import h5py
import numpy as np
import pytest

import camsnap_record
from camsnap_cli import record
from camsnap_record.writer import Writer, compress_chunk

from test_programs import plain_environment

H, W = 120, 160
with open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")) as readme:
    README = readme.read()


def noise(count, shape=(H, W), seed=3):
    rng = np.random.default_rng(seed)
    return [rng.integers(0, 65536, size=shape, dtype=np.uint16) for _ in range(count)]


def rows_agree(camera):
    """Every frame number accounted for: a gap between frames is what the driver dropped plus
    what the writer lost."""
    gaps = np.diff(camera.sequence) - 1
    return (gaps == camera.dropped[1:] + camera.lost[1:]).all()


def test_two_cameras_keep_every_frame_exactly_with_times_and_attributes(camera, cli, vcam, tmp_path, monkeypatch):
    given = noise(5)
    camera(0, fps=30, frames=[f.tobytes() for f in given])
    camera(2, fps=9)
    path = tmp_path / "run.h5"
    code, out, err = cli("record", "-o", path, "--frames", 12, "--attr", "site=\"lab 2\"",
                         "-d", 0, "--width", W, "--height", H, "--attr", "scale=0.01", "--attr", "offset=-273.15",
                         "-d", 2, "--mode", "rgb", "--width", 640, "--height", 480, "--fps", 9)
    assert code == 0, err
    assert "wrote %s: video0 12 frames (160x120 uint16), video2 12 frames (640x480 RGB uint8)" % path in out
    started = time.time_ns()
    with camsnap_record.open(str(path)) as recording:
        assert recording.cameras == ["video0", "video2"]
        thermal, colour = recording["video0"], recording["video2"]
        assert (len(thermal), len(colour)) == (12, 12)
        assert all((thermal[i] == given[s % 5]).all() for i, s in enumerate(thermal.sequence))
        assert colour[0].shape == (480, 640, 3) and colour[0].dtype == np.uint8
        assert rows_agree(thermal) and rows_agree(colour)
        assert (np.diff(thermal.timestamp) > 0).all()
        assert abs(int(thermal.arrival[-1]) - started) < 10e9
        assert thermal.attrs["scale"] == 0.01 and thermal.attrs["site"] == "lab 2"
        assert "scale" not in colour.attrs and colour.attrs["site"] == "lab 2"
        assert (thermal.attrs["format"], thermal.attrs["fps"], colour.attrs["fps"]) == ("Y16 ", 30.0, 9.0)
        assert colour.attrs["quantization"] == "limited" and thermal.attrs["device"] == "/dev/video0"
        frames = recording.file["video0/frames"]
        assert (frames.compression, frames.shuffle, frames.chunks) == ("gzip", True, (1, H, W))
    # The README's reading example, on this recording.
    section = README.split("\n### Recording\n")[1].split("\n## ")[0]
    block, = re.findall(r"^```py\n(.*?)^```$", section, re.M | re.S)
    monkeypatch.chdir(tmp_path)
    exec(compile(block, "README.md", "exec"), {"__name__": "__readme__"})


def test_raw_keeps_the_bytes_as_delivered(camera, cli, vcam, tmp_path):
    given = [f.tobytes() for f in noise(3)]
    camera(0, fps=30, frames=given)
    code, _, err = cli("record", "-o", tmp_path / "raw.h5", "--frames", 4, "--raw", "--width", W, "--height", H)
    assert code == 0, err
    with camsnap_record.open(str(tmp_path / "raw.h5")) as recording:
        raw = recording["video0"]
        assert raw.attrs["raw"] == 1
        assert [bytes(raw[i][:raw.bytesused[i]]) for i in range(4)] == [given[s % 3] for s in raw.sequence]


@pytest.mark.parametrize("args, says", [
    (["-d", 0, "-d", 0], "a camera can be recorded once"),
    (["--attr", "scale"], "write NAME=VALUE"),
    (["--attr", "fps=3"], "writes that attribute itself"),
    (["--fps", 0], "0 is not above 0"),
    (["--format", "TOOLONG"], "not a four-character format"),
])
def test_bad_arguments_exit_2(camera, cli, tmp_path, args, says):
    camera()
    code, _, err = cli("record", "-o", tmp_path / "r.h5", *args)
    assert code == 2 and says in err
    assert not (tmp_path / "r.h5").exists()


def test_without_h5py_it_says_what_to_install(camera, cli, tmp_path, monkeypatch):
    camera()
    monkeypatch.setitem(sys.modules, "h5py", None)
    code, _, err = cli("record", "-o", tmp_path / "r.h5")
    assert code == 1 and "pip install 'camsnap[record]'" in err and not (tmp_path / "r.h5").exists()


def test_an_existing_file_is_never_replaced(camera, cli, tmp_path):
    camera()
    (tmp_path / "r.h5").write_bytes(b"keep")
    code, _, err = cli("record", "-o", tmp_path / "r.h5", "--frames", 2)
    assert code == 1 and "never replaces" in err
    assert (tmp_path / "r.h5").read_bytes() == b"keep"


def test_a_camera_that_stops_delivering_ends_the_recording_with_its_frames_kept(camera, cli, tmp_path, monkeypatch):
    camera(0, fps=30, stop_after=5)
    monkeypatch.setattr(record, "READ_TIMEOUT", 0.3)
    code, _, err = cli("record", "-o", tmp_path / "r.h5", "--width", W, "--height", H)
    assert code == 1 and "/dev/video0: " in err and "kept video0 5 frames" in err, err
    with camsnap_record.open(str(tmp_path / "r.h5")) as recording:
        assert len(recording["video0"]) == 5


def test_a_missing_camera_exits_3_and_writes_nothing(camera, cli, tmp_path):
    camera()
    code, _, err = cli("record", "-o", tmp_path / "r.h5", "-d", 0, "-d", 5)
    assert code == 3 and "no camera at /dev/video5" in err
    assert os.listdir(str(tmp_path)) == []


def test_a_writer_that_falls_behind_loses_frames_and_counts_them(camera, cli, vcam, tmp_path, monkeypatch):
    camera(0, fps=0)                            # a frame whenever one is asked for
    monkeypatch.setattr(record, "QUEUE_BYTES", 1)
    slow = record._chunk
    monkeypatch.setattr(record, "_chunk", lambda *a: (time.sleep(0.01), slow(*a))[1])
    code, _, err = cli("record", "-o", tmp_path / "r.h5", "--seconds", 1, "--width", W, "--height", H)
    assert code == 0, err
    assert "the disk is not keeping up" in err
    with camsnap_record.open(str(tmp_path / "r.h5")) as recording:
        video = recording["video0"]
        assert video.lost.sum() > 0 and rows_agree(video)


def test_a_full_disk_ends_the_recording_with_a_readable_file(camera, cli, tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.call(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", str(disk)],
                       stderr=subprocess.DEVNULL) != 0:
        pytest.skip("mounting a small tmpfs needs root")
    try:
        camera(0, fps=30, frames=[f.tobytes() for f in noise(4, (480, 640))])
        code, _, err = cli("record", "-o", disk / "r.h5", "--seconds", 30)
        assert code == 1 and "the disk is full" in err, err
        with camsnap_record.open(str(disk / "r.h5")) as recording:
            video = recording["video0"]
            assert len(video) > 0 and video.frames.shape[0] == len(video) and rows_agree(video)
    finally:
        subprocess.call(["umount", str(disk)])


def start_recording(path, *args):
    child = subprocess.Popen(
        [sys.executable, "-m", "camsnap_cli", "record", "--virtual", "-o", str(path)] + [str(a) for a in args],
        env=plain_environment(CAMSNAP_VCAM=os.environ["CAMSNAP_VCAM"]), stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert child.stdout.readline().startswith(b"recording to"), child.communicate()
    return child, time.time_ns()


def test_ctrl_c_exits_130_with_a_complete_file(tmp_path):
    child, _ = start_recording(tmp_path / "r.h5", "-d", 0, "-d", 1, "--mode", "rgb")
    time.sleep(1)
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=30)
    assert child.returncode == 130 and b"camsnap: interrupted: kept video0" in err, err
    with h5py.File(str(tmp_path / "r.h5"), "r") as f:
        for name in ("video0", "video1"):
            assert f[name + "/frames"].shape[0] == f[name + "/timestamp"].shape[0] > 10


def test_sigkill_keeps_every_frame_up_to_a_second_before(tmp_path):
    rng = random.Random(11)
    for round in range(20):
        path = tmp_path / ("kill%d.h5" % round)
        child, started = start_recording(path)
        time.sleep(rng.uniform(0.05, 1.5))
        killed = time.time_ns()
        child.kill()
        child.wait()
        with h5py.File(str(path), "r") as f:   # plain h5py, no recovery step, whenever killed
            arrival, sequence = f["video0/arrival"][:], f["video0/sequence"][:]
            frames = f["video0/frames"]
            assert frames.shape[0] >= len(arrival)
            # The virtual camera writes each frame's number into its first pixel.
            assert (frames[:len(arrival), 0, 0] == sequence & 0xFFFF).all(), round
            if killed - started > 1.1e9:
                assert arrival[-1] >= killed - 1e9, (round, (killed - arrival[-1]) / 1e9)
        path.unlink()


def test_matched_sets_pair_frames_within_half_the_faster_interval(tmp_path):
    path = str(tmp_path / "m.h5")
    writer = Writer(path, {})
    second = 10 ** 9
    thermal = [i * second // 9 for i in range(9)]
    colour = [i * second // 30 + 2000000 for i in range(30) if i != 10]   # frame 10 never came
    indices = [writer.add_camera(name, (2, 2), np.uint16, {}, {}) for name in ("thermal", "colour")]
    writer.publish()
    for index, times in zip(indices, (thermal, colour)):
        for n, stamp in enumerate(times):
            writer.add(index, compress_chunk(np.full((2, 2), n, np.uint16)), (n, stamp, 0, 0, 0, 0, 8))
    writer.close()
    with camsnap_record.open(path) as recording:
        assert recording.tolerance() == pytest.approx(1 / 60, rel=1e-3)
        pairs = recording.match("thermal", "colour")
        # Thermal frame 3 (333 ms) would pair with colour frame 10 (335 ms), which is missing.
        assert [t for t, _ in pairs] == [0, 1, 2, 4, 5, 6, 7, 8]
        assert all(abs(thermal[t] - recording["colour"].timestamp[c]) <= second / 60 for t, c in pairs)
        first = next(recording.matched("colour", "thermal"))
        assert (first[0][0, 0], first[1][0, 0]) == (0, 0)
