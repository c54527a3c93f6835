"""Programs that are not camsnap, on the virtual camera, run the way a user runs them: each
with nothing but the variables camsnap_vcam.environment() gives it (the camera `camsnap
virtual` offers), and every frame it writes checked byte for byte against the camera's
pattern, found by the sequence number each frame carries."""
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import camsnap_vcam as vcam

WIDTH, HEIGHT, FRAMES = 160, 120, 5
GEOMETRY = {  # fourcc: (bytesperline, sizeimage) at WIDTH x HEIGHT, as the camera answers
    "Y16 ": (2 * WIDTH, 2 * WIDTH * HEIGHT),
    "YU12": (WIDTH, WIDTH * HEIGHT * 3 // 2),
}


@pytest.fixture(scope="module")
def env():
    plain = {k: v for k, v in os.environ.items()
             if k not in ("LD_PRELOAD", vcam.CONFIG_VARIABLE)}
    plain.update(vcam.environment(vcam.standard_description()))
    return plain


def run(env, *command):
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=120)
    assert done.returncode == 0, "%s exited %d:\n%s" % (command[0], done.returncode, done.stdout[-3000:])
    return done.stdout


def sequence(code, frame):
    if code == "Y16 ":  # pixel (0,0) the low half of the number, (1,0) the high half
        return int.from_bytes(frame[0:2], "little") | int.from_bytes(frame[2:4], "little") << 16
    return int.from_bytes(frame[0:4], "little")  # the first four Y bytes


def check_frames(path, code, at_least=FRAMES):
    """The frames in the file at `path`, each exactly the pattern for its sequence number,
    in increasing order."""
    bpl, size = GEOMETRY[code]
    with open(path, "rb") as f:
        data = f.read()
    assert len(data) % size == 0 and len(data) // size >= at_least, \
        "%d bytes: not %d or more %r frames of %d bytes" % (len(data), at_least, code, size)
    seen = []
    for k in range(len(data) // size):
        frame = data[k * size:(k + 1) * size]
        seq = sequence(code, frame)
        assert frame == vcam.render(code, WIDTH, HEIGHT, bpl, size, seq), \
            "frame %d (sequence %d) is not the pattern" % (k, seq)
        seen.append(seq)
    assert seen == sorted(set(seen)), "sequence numbers out of order: %s" % seen
    return seen


CONTROLS = [vcam.control("Brightness", minimum=-64, maximum=64, step=4, default=8),
            vcam.control("White Balance, Automatic", "boolean", default=1),
            vcam.control("Power Line Frequency", "menu", menu=["Disabled", None, "60 Hz"]),
            vcam.control("Exposure Steps", "integer_menu", menu=[100, 200, 400], default=2, id=0x9a0990),
            vcam.control("Reset Statistics", "button", id=0x981901)]


# The camera as configured by default (no controls), and with controls of every type.
@pytest.mark.parametrize("controls", [[], CONTROLS], ids=["plain", "controls"])
def test_v4l2_compliance_streaming(env, controls):
    description = vcam.standard_description()
    description["nodes"][0]["controls"] = controls
    env = dict(env, **vcam.environment(description))
    out = run(env, "v4l2-compliance", "-d", "/dev/video0", "-s")
    total = re.search(r"Total for .*: (\d+), Succeeded: (\d+), Failed: (\d+), Warnings: (\d+)", out)
    assert total, out[-3000:]
    print("v4l2-compliance -s: %s tests, %s succeeded, %s failed, %s warnings" % total.groups())
    failures = [line.strip() for line in out.splitlines() if "fail:" in line]
    assert total.group(3) == "0", "\n".join(failures)


def test_v4l2_ctl_lists_the_camera(env):
    out = run(env, "v4l2-ctl", "--list-devices")
    assert "camsnap virtual camera" in out and "\t/dev/video0\n" in out, out


def v4l2_ctl(code, out, *options):
    return ["v4l2-ctl", "-d", "/dev/video0", *options,
            "--set-fmt-video=width=%d,height=%d,pixelformat=%s" % (WIDTH, HEIGHT, code),
            "--stream-count=%d" % FRAMES, "--stream-to=" + out]


def ffmpeg(code, out):
    return ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "v4l2",
            "-input_format", {"Y16 ": "gray16le", "YU12": "yuv420p"}[code],
            "-video_size", "%dx%d" % (WIDTH, HEIGHT), "-i", "/dev/video0", "-frames:v", str(FRAMES),
            "-fps_mode", "passthrough", "-f", "rawvideo", out]


def gstreamer(code, out, io_mode="mmap"):
    return ["gst-launch-1.0", "-q", "v4l2src", "device=/dev/video0", "num-buffers=%d" % FRAMES,
            "io-mode=" + io_mode, "!", "video/x-raw,format=%s,width=%d,height=%d" % (
                {"Y16 ": "GRAY16_LE", "YU12": "I420"}[code], WIDTH, HEIGHT),
            "!", "filesink", "location=" + out]


@pytest.mark.parametrize("code", ["Y16 ", "YU12"])
@pytest.mark.parametrize("options", [["--stream-mmap"], ["--stream-user"], ["-w", "--stream-mmap"]],
                         ids=["mmap", "user", "libv4l2"])
def test_v4l2_ctl(env, tmp_path, code, options):
    out = str(tmp_path / "frames")
    run(env, *v4l2_ctl(code, out, *options))
    check_frames(out, code)


@pytest.mark.parametrize("code", ["Y16 ", "YU12"])
def test_ffmpeg(env, tmp_path, code):
    out = str(tmp_path / "frames")
    run(env, *ffmpeg(code, out))
    check_frames(out, code)


@pytest.mark.parametrize("code", ["Y16 ", "YU12"])
@pytest.mark.parametrize("io_mode, libv4l2", [("mmap", "0"), ("auto", "0"), ("auto", "1")],
                         ids=["mmap", "auto", "libv4l2"])
def test_gstreamer_v4l2src(env, tmp_path, code, io_mode, libv4l2):
    out = str(tmp_path / "frames")
    run(dict(env, GST_V4L2_USE_LIBV4L2=libv4l2), *gstreamer(code, out, io_mode))
    check_frames(out, code)


OPENCV = """
import sys, cv2
cap = cv2.VideoCapture(0, cv2.CAP_V4L2)
assert cap.isOpened(), "OpenCV could not open the camera"
cap.set(cv2.CAP_PROP_FOURCC, cv2.VideoWriter_fourcc(*"Y16 "))
cap.set(cv2.CAP_PROP_CONVERT_RGB, 0)
cap.set(cv2.CAP_PROP_FRAME_WIDTH, %d)
cap.set(cv2.CAP_PROP_FRAME_HEIGHT, %d)
with open(sys.argv[1], "wb") as out:
    for _ in range(%d):
        ok, frame = cap.read()
        assert ok, "OpenCV read failed"
        out.write(frame.tobytes())
cap.release()
""" % (WIDTH, HEIGHT, FRAMES)


def test_opencv_video_capture(env, tmp_path):
    out = str(tmp_path / "frames")
    run(env, sys.executable, "-c", OPENCV, out)
    check_frames(out, "Y16 ")


# camsnap virtual --replay: a recording of the camera (frames 3, 4 and 9 lost on the bus) served
# back; each client gets a run of the recorded frames, in order, with the recorded numbers.
TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CAMSNAP = [os.path.join(TOP, ".venv", "py3.11", "bin", "python"), "-m", "camsnap_cli"]
SKIPPED = {"nodes": [dict(vcam.standard_description()["nodes"][0], skip=[3, 4, 9])]}


@pytest.fixture(scope="module")
def recordings(env, tmp_path_factory):
    """Each format's recording: (path, sequence numbers, timestamps), and the environment the
    camsnap command runs in."""
    command_env = dict(env, PYTHONPATH=os.pathsep.join([os.path.join(TOP, "build", "py3.11"),
                                                         os.path.join(TOP, "python")]))
    made = {}
    for code, options in (("Y16 ", []), ("YU12", ["--mode", "rgb", "--raw"])):
        path = str(tmp_path_factory.mktemp("replay") / "recording.h5")
        run(command_env, *CAMSNAP, "virtual", "--config", json.dumps(SKIPPED), "--", *CAMSNAP,
            "record", "-o", path, "--frames", "12", "--width", str(WIDTH), "--height", str(HEIGHT), *options)
        rows = run(command_env, CAMSNAP[0], "-c", "import camsnap_record, json, sys\n"
                   "camera = camsnap_record.open(sys.argv[1])['video0']\n"
                   "print(json.dumps([camera.sequence.tolist(), camera.timestamp.tolist()]))", path)
        made[code] = (path,) + tuple(json.loads(rows))
    return made, command_env


def replayed(client, code, out):
    return {"v4l2-ctl": v4l2_ctl(code, out, "--stream-mmap", "--verbose"), "ffmpeg": ffmpeg(code, out),
            "GStreamer": gstreamer(code, out), "OpenCV": [sys.executable, "-c", OPENCV, out]}[client]


@pytest.mark.parametrize("client, code", [("v4l2-ctl", "Y16 "), ("v4l2-ctl", "YU12"), ("ffmpeg", "Y16 "),
                                          ("GStreamer", "YU12"), ("OpenCV", "Y16 ")])
def test_clients_get_a_replayed_recording(recordings, tmp_path, client, code):
    made, command_env = recordings
    path, sequence, timestamp = made[code]
    out = str(tmp_path / "frames")
    printed = run(command_env, *CAMSNAP, "virtual", "--replay", path, "--", *replayed(client, code, out))
    seen = check_frames(out, code)
    start = sequence.index(seen[0])
    assert seen == sequence[start:start + len(seen)], "%s: not the recorded run %s" % (seen, sequence)
    print("%s: recorded frames %d to %d" % (client, start, start + len(seen) - 1))
    if client == "v4l2-ctl":  # the driver's numbers and times as it prints them
        dequeued = [(int(n), float(t)) for n, t in re.findall(r"seq:\s*(\d+).*? ts: ([\d.]+)", printed)]
        assert [n for n, _ in dequeued][:len(seen)] == seen
        spacing = np.diff([t for _, t in dequeued][:len(seen)]) * 1e9
        assert np.abs(spacing - np.diff(timestamp[start:start + len(seen)])).max() <= 1000
