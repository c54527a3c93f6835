"""camsnap virtual --replay: a recording served as live cameras. Recorded here from the virtual
camera (with frames lost on the bus), replayed, and read back by camsnap record (the round
trip), the camsnap module, Camera and CameraProcess, each in a program of its own as a user
runs it; frames compared byte for byte, sequence numbers and timestamp spacing where the
reader gives them."""
import errno
import os
import subprocess
import sys

import numpy as np
import pytest

import camsnap_record
from frames import rgb_from_raw, ycbcr_planes, ycbcr_to_rgb
from test_programs import plain_environment

W, H = 160, 120
SKIP = [3, 4, 9]       # lost on the bus: the recording keeps the gaps
COUNT = 12             # frames recorded
# One exact frame per sequence number recorded, so that every frame tells which it is.
SIZES = {"Y16 ": 2 * W * H, "GREY": W * H, "YU12": W * H * 3 // 2, "BGR3": 3 * W * H}


def frames_for(fourcc, seed=7):
    rng = np.random.default_rng(seed)
    if fourcc == "MJPG":  # compressed: each frame its own length
        return [b"\xff\xd8" + rng.integers(0, 256, int(n), np.uint8).tobytes()
                for n in rng.integers(500, 4000, 20)]
    return [rng.integers(0, 256, SIZES[fourcc], np.uint8).tobytes() for _ in range(20)]


def recorded(vcam, cli, path, fourcc, options):
    vcam.add_node(0, formats=[vcam.fmt(fourcc, [(W, H)])], fps=30, skip=SKIP,
                  frames=frames_for(fourcc), card=b"lab camera")
    code, _, err = cli("record", "-o", path, "--frames", COUNT, "--width", W, "--height", H, *options)
    assert code == 0, err
    return camsnap_record.open(str(path))["video0"]


def replay(recording, *program, options=()):
    return subprocess.run(
        [sys.executable, "-m", "camsnap_cli", "virtual", "--replay", str(recording)]
        + [str(o) for o in options] + ["--"] + [str(p) for p in program],
        env=plain_environment(CAMSNAP_VCAM=os.environ["CAMSNAP_VCAM"]), stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, universal_newlines=True, timeout=120)


def spaced_alike(times, recorded_times):
    """Timestamp spacing equal to the recording's, to the microsecond of a timeval."""
    return np.abs(np.diff(times) - np.diff(recorded_times)).max() <= 1000


def run_of(got, frames):
    """Where `got` (frames a reader returned) starts in `frames` as a consecutive run."""
    start = next((i for i, f in enumerate(frames) if np.array_equal(f, got[0])), None)
    assert start is not None, "the first frame read is no recorded frame"
    assert all(np.array_equal(g, frames[start + i]) for i, g in enumerate(got)), \
        "the frames read are not the recorded frames in order"
    return start


# (recorded as, recorded again from the replay as): the node serves 16-bit frames as "Y16 "
# (thermal "BGR3" frames as the 3H/2 rows stored), RGB as "RGB3", --raw as the original fourcc.
@pytest.mark.parametrize("fourcc, first, again", [
    ("Y16 ", [], []),
    ("BGR3", ["--format", "BGR3"], ["--height", H * 3 // 2]),
    ("GREY", ["--format", "GREY"], ["--format", "GREY"]),
    ("YU12", ["--mode", "rgb"], ["--format", "RGB3"]),
    ("YU12", ["--mode", "rgb", "--raw"], ["--format", "YU12", "--raw"]),
    ("MJPG", ["--format", "MJPG", "--raw"], ["--format", "MJPG", "--raw"]),
], ids=["Y16", "BGR3", "GREY", "RGB", "YU12-raw", "MJPG-raw"])
def test_a_recording_recorded_again_from_its_replay_is_the_same(vcam, cli, tmp_path, fourcc, first, again):
    a = recorded(vcam, cli, tmp_path / "a.h5", fourcc, first)
    assert list(a.sequence) == [s for s in range(COUNT + len(SKIP)) if s not in SKIP]
    done = replay(tmp_path / "a.h5", sys.executable, "-m", "camsnap_cli", "record", "-o", tmp_path / "b.h5",
                  "--frames", 8, "--width", W, "--height", H, *again)   # the last --height counts
    assert done.returncode == 0, done.stderr
    with camsnap_record.open(str(tmp_path / "b.h5")) as replayed:
        b = replayed["video0"]
        # record reads a frame to learn the array's shape (not with --raw): B starts at A's second.
        start = list(a.sequence).index(b.sequence[0])
        assert start == (0 if "--raw" in again else 1)
        span = slice(start, start + len(b))
        assert (b.sequence == a.sequence[span]).all() and (b.dropped[1:] == np.diff(a.sequence[span]) - 1).all()
        if "--raw" in first:  # the bytes delivered, to the last
            assert (b.bytesused == a.bytesused[span]).all()
        assert all(np.array_equal(b[i][:b.bytesused[i]], a[start + i][:b.bytesused[i]]) for i in range(len(b)))
        assert spaced_alike(b.timestamp, a.timestamp[span])
        assert (b.attrs["fps"], b.attrs["width"], b.attrs["card"]) == (30.0, W, "lab camera")


READ = """
import sys, numpy as np
reader, fourcc, out = sys.argv[1], sys.argv[2], sys.argv[3]
frames, sequence, timestamp, end = [], [], [], 0
if reader == "camsnap":
    import camsnap
    assert camsnap.open(0) and camsnap.init(int(fourcc != "Y16 "), %(W)d, %(H)d) and camsnap.startStream()
    frames = [camsnap.captureStream() for _ in range(4)]
elif reader == "Camera":
    import camsnap_camera
    with camsnap_camera.Camera(0) as camera:
        camera.configure(fourcc, %(W)d, %(H)d)
        camera.start()
        try:
            while True:
                frame = camera.read(timeout=5)
                frames.append(frame.array); sequence.append(frame.sequence); timestamp.append(frame.timestamp)
        except camsnap_camera.CameraError as error:   # the recording's end: the camera is unplugged
            end = error.errno
else:
    import camsnap_process
    with camsnap_process.CameraProcess(0, int(fourcc != "Y16 "), %(W)d, %(H)d) as camera:
        camera.start()
        for frame in [camera.read_frame(timeout=5) for _ in range(6)]:
            frames.append(frame.array); sequence.append(frame.sequence); timestamp.append(frame.timestamp)
np.savez(out, frames=np.stack(frames), sequence=sequence, timestamp=timestamp, end=end)
""" % {"W": W, "H": H}


@pytest.mark.parametrize("reader, fourcc, options", [
    ("camsnap", "Y16 ", []), ("camsnap", "YU12", ["--mode", "rgb", "--raw"]),
    ("Camera", "Y16 ", []), ("Camera", "YU12", ["--mode", "rgb", "--raw"]),
    ("CameraProcess", "Y16 ", []),
], ids=["camsnap-ir16", "camsnap-rgb", "Camera-Y16", "Camera-YU12", "CameraProcess"])
def test_readers_get_the_recorded_frames_numbers_and_spacing(vcam, cli, tmp_path, reader, fourcc, options):
    a = recorded(vcam, cli, tmp_path / "a.h5", fourcc, options)
    done = replay(tmp_path / "a.h5", sys.executable, "-c", READ, reader, fourcc, tmp_path / "got.npz")
    assert done.returncode == 0, done.stderr
    got = np.load(str(tmp_path / "got.npz"))
    expected = list(a)
    if fourcc == "YU12":  # the bytes as delivered, converted as the reader converts the camera's
        expected = [rgb_from_raw(f.tobytes(), W, H, W, 1) if reader == "camsnap" else
                    ycbcr_to_rgb(*ycbcr_planes("YU12", f.tobytes(), W, H, W), "bt601", a.attrs["quantization"])
                    for f in expected]
    start = run_of(got["frames"], expected)
    if reader == "Camera":  # the whole recording, from its first frame, then the unplug
        assert start == 0 and len(got["frames"]) == COUNT and got["end"] == errno.ENODEV
    if reader != "camsnap":
        span = slice(start, start + len(got["sequence"]))
        assert (got["sequence"] == a.sequence[span]).all()
        assert spaced_alike(got["timestamp"], a.timestamp[span])


LOOPED = """
import sys, numpy as np, camsnap_camera
with camsnap_camera.Camera(0) as camera:
    camera.configure("Y16 ", %d, %d)
    camera.start()
    frames = [camera.read(timeout=5) for _ in range(%d)]
np.savez(sys.argv[1], frames=np.stack([f.array for f in frames]), sequence=[f.sequence for f in frames],
         timestamp=[f.timestamp for f in frames])
sys.exit(3)
""" % (W, H, 2 * COUNT + 3)


def test_loop_goes_on_forward_at_the_speed_asked_and_the_exit_code_is_the_programs(vcam, cli, tmp_path):
    a = recorded(vcam, cli, tmp_path / "a.h5", "Y16 ", [])
    done = replay(tmp_path / "a.h5", sys.executable, "-c", LOOPED, tmp_path / "got.npz",
                  options=["--loop", "--speed", 2])
    assert done.returncode == 3, done.stderr
    got = np.load(str(tmp_path / "got.npz"))
    period = int(a.sequence[-1] - a.sequence[0]) + 1
    passes = np.arange(len(got["sequence"])) // COUNT
    assert (got["sequence"] == np.tile(a.sequence, 3)[:len(passes)] + passes * period).all()
    assert all(np.array_equal(f, a[i % COUNT]) for i, f in enumerate(got["frames"]))
    # Each pass's spacing halved, and one frame interval (halved) from a pass's end to the next.
    recorded_times = np.concatenate([a.timestamp, a.timestamp + (a.timestamp[-1] - a.timestamp[0] + 33333333)])
    assert np.abs(np.diff(got["timestamp"][:2 * COUNT]) - np.diff(recorded_times) / 2).max() <= 1000


@pytest.mark.parametrize("options, message", [
    (["--camera", "video3"], "holds no camera video3"),
    (["--fps", 5], "leave out --config and --fps"),
    (["--speed", 0], "--speed must be above 0"),
])
def test_replay_refuses_what_it_cannot_serve(vcam, cli, tmp_path, options, message):
    recorded(vcam, cli, tmp_path / "a.h5", "Y16 ", [])
    code, _, err = cli("virtual", "--replay", tmp_path / "a.h5", *options, "--", "true")
    assert code == 2 and message in err, err


TWO_STREAMS = """
import camsnap_camera
with camsnap_camera.Camera(0) as camera:
    camera.configure("Y16 ", %d, %d)
    for _ in range(2):
        camera.start()
        print(*[camera.read(timeout=5).sequence for _ in range(2)])
        camera.stop()
""" % (W, H)


def test_each_process_gets_the_recording_from_its_start_and_a_second_stream_goes_on(vcam, cli, tmp_path):
    a = recorded(vcam, cli, tmp_path / "a.h5", "Y16 ", [])
    done = replay(tmp_path / "a.h5", "sh", "-c", '"$0" -c "$1" && "$0" -c "$1"', sys.executable, TWO_STREAMS)
    assert done.returncode == 0, done.stderr
    streams = [[int(n) for n in line.split()] for line in done.stdout.splitlines()]
    sequence = list(a.sequence)
    assert streams[0] == streams[2] == sequence[:2]   # each process from the first frame
    later = sequence.index(streams[1][0])           # its own stream: on from where the first stopped
    assert later >= 2 and streams[1] == sequence[later:later + 2] and streams[3][0] > streams[2][1]
