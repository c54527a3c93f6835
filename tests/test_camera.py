"""camsnap_camera on the virtual camera: formats, exact frames, the driver's
metadata, out=, errors as exceptions, and reads that leave the interpreter free."""
import errno
import os
import pathlib
import re
import threading
import time

import numpy as np
import pytest

import camsnap_camera as cc
from frames import ycbcr_planes, ycbcr_to_rgb

W, H = 38, 10  # even-sized frames of every format; odd chroma handling is tests/cpp's


@pytest.fixture
def vcam(capfd):
    import camsnap_vcam as virtual
    virtual.reset()
    yield virtual
    virtual.reset()
    # A camera object never writes to standard error.
    assert capfd.readouterr().err == ""


def monotonic_ns():  # time.monotonic_ns() from 3.7 on
    return int(time.clock_gettime(time.CLOCK_MONOTONIC) * 1e9)


def frame_bytes(size, seed):
    return (np.arange(size, dtype=np.uint32) * 2654435761 + seed * 97).astype(np.uint8).tobytes()


def expected(fourcc, raw):
    a = np.frombuffer(raw, np.uint8)
    if fourcc == "GREY":
        return a[:W * H].reshape(H, W)
    if fourcc == "Y16 ":
        return a[:2 * W * H].view("<u2").reshape(H, W)
    if fourcc == "BGR3":  # 16-bit pixels, 3/2 of the driver's rows
        return a[:3 * W * H].view("<u2").reshape(3 * H // 2, W)
    # The virtual camera answers colour space sRGB and no encoding or range: BT.601,
    # limited range, as V4L2 defaults them.
    return ycbcr_to_rgb(*ycbcr_planes(fourcc, raw, W, H, W if fourcc != "YUYV" else 2 * W),
                        "bt601", "limited")


SIZES = {"GREY": W * H, "Y16 ": 2 * W * H, "BGR3": 3 * W * H, "YU12": W * H * 3 // 2,
         "NV12": W * H * 3 // 2, "YUYV": 2 * W * H}


def camera(vcam, fourcc, frames=None, node=0, **config):
    vcam.add_node(node, formats=[vcam.fmt(fourcc, [(W, H)])], frames=frames, **config)
    cam = cc.Camera(node)
    cam.configure(fourcc, W, H)
    return cam


def served_dqbufs(vcam, node=0):
    return [args for name, args, result in vcam.log(node) if name == "DQBUF" and result == 0]


@pytest.mark.parametrize("fourcc", sorted(SIZES))
def test_every_format_reads_exact(vcam, fourcc):
    frames = [frame_bytes(SIZES[fourcc], k) for k in range(3)]
    with camera(vcam, fourcc, frames) as cam:
        cam.start()
        for k in range(3):
            frame = cam.read(timeout=5)
            assert frame.sequence == k and frame.format == fourcc
            np.testing.assert_array_equal(frame.array, expected(fourcc, frames[k]))
            assert np.asarray(frame) is frame.array


# What the node answers of its colours decides the conversion; V4L2's defaults fill what it leaves open.
@pytest.mark.parametrize("answer, encoding, quantization", [
    ({"ycbcr_enc": "709", "quantization": "lim_range", "xfer_func": "709"}, "bt709", "limited"),
    ({"colorspace": "rec709"}, "bt709", "limited"),
    ({"colorspace": "jpeg"}, "bt601", "full"),
    ({"fmt_answer": {"ycbcr_enc": "709", "quantization": "full_range"}}, "bt709", "full"),
])
def test_frames_follow_the_colours_the_driver_answers(vcam, answer, encoding, quantization):
    raw = frame_bytes(SIZES["YUYV"], 3)
    with camera(vcam, "YUYV", [raw], **answer) as cam:
        assert cam.configure("YUYV", W, H)["encoding"] == encoding
        assert cam.configure("YUYV", W, H)["quantization"] == quantization
        cam.start()
        np.testing.assert_array_equal(cam.read(timeout=5).array,
                                      ycbcr_to_rgb(*ycbcr_planes("YUYV", raw, W, H, 2 * W), encoding, quantization))


@pytest.mark.parametrize("fourcc, size", [("MJPG", 567), ("Y16 ", 2 * W * H)])
def test_raw_gives_the_bytes_delivered(vcam, fourcc, size):
    data = frame_bytes(size, 5)
    with camera(vcam, fourcc, [data]) as cam:
        cam.start()
        frame = cam.read(timeout=5, raw=True)
        assert frame.bytesused == size and frame.array.tobytes() == data


def test_a_format_without_conversion_asks_for_raw(vcam):
    with camera(vcam, "MJPG") as cam:
        cam.start()
        with pytest.raises(cc.CameraError, match="raw=True"):
            cam.read(timeout=5)


def test_formats_list_sizes_and_rates(vcam):
    vcam.add_node(0, formats=[vcam.fmt("YUYV", [(W, H), (64, 48)]), vcam.fmt("MJPG", [(W, H)])],
                  fps=30, rates=[30, 15])
    with cc.Camera("/dev/video0") as cam:
        assert [(f["format"], f["compressed"]) for f in cam.formats()] == [("YUYV", False), ("MJPG", True)]
        assert cam.formats()[0]["sizes"] == [{"width": W, "height": H, "fps": [30.0, 15.0]},
                                             {"width": 64, "height": 48, "fps": [30.0, 15.0]}]


def test_configure_answers_what_the_driver_set(vcam):
    vcam.add_node(0, formats=[vcam.fmt("YUYV", [(W, H)])], fps=30, rates=[30, 15])
    with cc.Camera(pathlib.Path("/dev/video0")) as cam:
        assert cam.configure("YUYV", 640, 480, fps=14) == {
            "format": "YUYV", "width": W, "height": H, "bytesperline": 2 * W, "sizeimage": 2 * W * H,
            "fps": 15.0, "quantization": "limited", "encoding": "bt601"}


@pytest.mark.parametrize("quantization, encoding", [("full", None), (None, "bt709"), ("full", "bt709")])
def test_the_callers_range_and_encoding_override_the_drivers(vcam, quantization, encoding):
    data = frame_bytes(SIZES["YUYV"], 3)
    with camera(vcam, "YUYV", [data]) as cam:
        chosen = cam.configure("YUYV", W, H, quantization=quantization, encoding=encoding)
        # the driver's word (limited, BT.601) where the caller left one open
        want = (encoding or "bt601", quantization or "limited")
        assert (chosen["encoding"], chosen["quantization"]) == want
        cam.start()
        np.testing.assert_array_equal(cam.read(timeout=5).array,
                                      ycbcr_to_rgb(*ycbcr_planes("YUYV", data, W, H, 2 * W), *want))
        cam.stop()
        with pytest.raises(ValueError, match="quantization"):
            cam.configure("YUYV", W, H, quantization="jpeg")


@pytest.mark.parametrize("call, err, text", [
    (lambda cam: cam.configure("NV12", W, H), errno.EINVAL, "instead of NV12"),
    (lambda cam: cam.read(), errno.EINVAL, "not streaming"),
    (lambda cam: cam.set_control("brightness", 1), errno.EINVAL, "brightness"),
    (lambda cam: (cam.close(), cam.formats()), errno.EBADF, "closed"),
])
def test_failures_raise_with_errno_and_path(vcam, call, err, text):
    with camera(vcam, "YUYV") as cam:
        with pytest.raises(cc.CameraError, match=text) as caught:
            call(cam)
    assert caught.value.errno == err and caught.value.filename == "/dev/video0"
    assert isinstance(caught.value, OSError)


def test_a_failed_start_gives_the_buffers_back(vcam):
    # A driver that grants more buffers than asked refuses the start; a queue left allocated
    # would be refused to every other descriptor of the camera.
    with camera(vcam, "Y16 ", min_buffers=2) as cam, cc.Camera(0) as other:
        cam.formats()  # its enumeration ends in EINVAL, which no later failure may carry
        for attempt in range(2):
            with pytest.raises(cc.CameraError) as caught:
                cam.start(buffers=1)
            assert (caught.value.errno, caught.value.strerror) == (0, "Too many buffers required")
        assert vcam.state(0)["allocated"] == 0
        other.configure("Y16 ", W, H)
        other.start(buffers=2)
        assert other.read(timeout=5).sequence == 0


def test_opening_a_missing_device_raises(vcam):
    with pytest.raises(cc.CameraError) as caught:
        cc.Camera(7)
    assert caught.value.errno == errno.ENOENT and caught.value.filename == "/dev/video7"


def test_a_stream_failure_raises_with_the_drivers_errno(vcam):
    with camera(vcam, "Y16 ") as cam:
        cam.start()
        vcam.fault(0, "DQBUF", nth=1, errno=errno.ENODEV)
        with pytest.raises(cc.CameraError) as caught:
            cam.read(timeout=5)
        assert caught.value.errno == errno.ENODEV


def test_a_read_times_out(vcam):
    with camera(vcam, "Y16 ", stop_after=1, fps=100) as cam:
        cam.start()
        cam.read(timeout=5)
        with pytest.raises(cc.CameraError) as caught:
            cam.read(timeout=0.05)
        assert caught.value.errno == errno.ETIMEDOUT


def test_the_error_flag_and_bytesused_reach_the_frame(vcam):
    with camera(vcam, "Y16 ") as cam:
        vcam.dqbuf_override(0, nth=1, flags=0x2040, bytesused=100)  # ERROR | TIMESTAMP_MONOTONIC
        cam.start()
        frame = cam.read(timeout=5)
        assert (frame.error, frame.bytesused) == (True, 100)
        assert cam.read(timeout=5).error is False


def test_sequence_timestamps_and_dropped_frames_are_the_drivers(vcam):
    fps = 200.0
    with camera(vcam, "Y16 ", fps=fps, min_buffers=1) as cam:
        before = monotonic_ns()
        cam.start(buffers=1)
        frames = []
        for pause in (0, 0.03, 0, 0.05, 0):
            time.sleep(pause)  # the one buffer stays with us: the camera's frames meanwhile are lost
            frames.append(cam.read(timeout=5))
        after = monotonic_ns()
    assert [f.sequence for f in frames] == [a["sequence"] for a in served_dqbufs(vcam)]
    assert [f.dropped for f in frames] == [0] + [b.sequence - a.sequence - 1 for a, b in zip(frames, frames[1:])]
    assert sum(f.dropped for f in frames) > 0, "the pauses should have lost frames"
    assert all(f.clock == "monotonic" for f in frames)
    # Frame k is due at stream-on + k / fps: the timestamps are the camera's schedule, microseconds apart.
    first = frames[0]
    for f in frames[1:]:
        assert abs(f.timestamp - first.timestamp - (f.sequence - first.sequence) * 1e9 / fps) <= 2000
    assert before - 1000 <= first.timestamp <= frames[-1].timestamp <= after + 1000


# fps 0 makes each frame when it is asked for; at 100 fps the skipped frames' slots pass unused.
@pytest.mark.parametrize("fps, skip", [(0, [2, 3, 7]), (0, [0, 1]), (100, [1, 4, 5, 6, 9])])
def test_frames_carry_what_the_driver_served_and_the_gaps_it_made(vcam, fps, skip):
    with camera(vcam, "Y16 ", fps=fps, skip=skip) as cam:
        cam.start(buffers=16)
        frames = [cam.read(timeout=5) for _ in range(6)]
    delivered = [k for k in range(20) if k not in skip][:6]
    served = served_dqbufs(vcam)
    assert [(f.sequence, f.timestamp) for f in frames] == [(a["sequence"], a["timestamp"]) for a in served]
    assert [f.sequence for f in frames] == delivered
    assert [f.dropped for f in frames] == [0] + [b - a - 1 for a, b in zip(delivered, delivered[1:])]
    if fps:  # the skipped frames keep their slots on the camera's schedule
        assert all(abs(f.timestamp - frames[0].timestamp - (f.sequence - delivered[0]) * 1e9 / fps) <= 2000
                   for f in frames)


# Timestamps carry microseconds (a timeval): a difference is the fed one within 1 us.
@pytest.mark.parametrize("kind", ["fifo", "socket"])
def test_fed_frames_arrive_with_the_fed_numbers_and_spacing_then_the_camera_is_gone(vcam, tmp_path, kind):
    path = str(tmp_path / "feed")
    fed = [(3, 10 ** 9, 0), (4, 10 ** 9 + 20000000, 0), (7, 10 ** 9 + 25000123, vcam.Feed.ERROR),
           (8, 10 ** 9 + 70000000, 0), (12, 10 ** 9 + 71000999, 0)]
    frames = [frame_bytes(SIZES["Y16 "], k) for k in range(len(fed))]
    with vcam.Feed(path, socket=kind == "socket") as feed:
        cam = camera(vcam, "Y16 ", feed=path)
        cam.start(buffers=8)
        for frame, (sequence, stamp, flags) in zip(frames, fed):
            feed.send(frame, sequence, stamp, flags)
        feed.close()
        got = [cam.read(timeout=5) for _ in fed]
        with pytest.raises(cc.CameraError) as caught:
            cam.read(timeout=5)
        assert caught.value.errno == errno.ENODEV
        cam.close()
    assert [f.array.tobytes() for f in got] == frames
    assert [(f.sequence, f.dropped, f.error) for f in got] == [
        (3, 0, False), (4, 0, False), (7, 2, True), (8, 0, False), (12, 3, False)]
    assert all(abs((f.timestamp - got[0].timestamp) - (stamp - fed[0][1])) < 1000 for f, (_, stamp, _) in zip(got, fed))


def test_a_feed_that_is_not_there_fails_stream_on(vcam, tmp_path):
    with camera(vcam, "Y16 ", feed=str(tmp_path / "absent")) as cam:
        with pytest.raises(cc.CameraError) as caught:
            cam.start()
    assert caught.value.errno == errno.ENOENT


def test_out_is_filled_in_place(vcam):
    frames = [frame_bytes(SIZES["YUYV"], k) for k in range(2)]
    with camera(vcam, "YUYV", frames) as cam:
        cam.start()
        out = np.zeros((H, W, 3), np.uint8)
        for k in range(2):
            frame = cam.read(timeout=5, out=out)
            assert frame.array is out
            np.testing.assert_array_equal(out, expected("YUYV", frames[k]))
        with pytest.raises(ValueError, match="uint8"):
            cam.read(timeout=5, out=np.zeros((H, W), np.uint8))


def test_latest_passes_over_waiting_frames(vcam):
    with camera(vcam, "Y16 ", fps=100) as cam:
        cam.start(buffers=4)
        time.sleep(0.1)  # all four buffers filled meanwhile
        frame = cam.latest(timeout=5)
        served = served_dqbufs(vcam)
        assert len(served) >= 4 and frame.sequence == served[-1]["sequence"]


def test_iteration_reads_until_the_stream_stops(vcam):
    with camera(vcam, "Y16 ") as cam:
        cam.start()
        seen = []
        for frame in cam:
            seen.append(frame.sequence)
            if len(seen) == 3:
                cam.stop()
        assert seen == [0, 1, 2]


def test_a_waiting_read_leaves_the_interpreter_to_other_threads(vcam):
    """Camera 0 never delivers; while a thread waits on it, camera 1 is read and the
    main thread runs."""
    vcam.add_node(0, formats=[vcam.fmt("Y16 ", [(W, H)])], fps=100, stop_after=0)
    vcam.add_node(1, formats=[vcam.fmt("Y16 ", [(W, H)])], fps=100)
    stalled, live = cc.Camera(0), cc.Camera(1)
    for cam in (stalled, live):
        cam.configure("Y16 ", W, H)
        cam.start()
    failures = []

    def wait_on_stalled():
        try:
            stalled.read(timeout=1.0)
        except cc.CameraError as e:
            failures.append(e.errno)

    waiter = threading.Thread(target=wait_on_stalled)
    waiter.start()
    sequences = []
    while waiter.is_alive() and len(sequences) < 5:
        sequences.append(live.read(timeout=5).sequence)
    waiter.join()
    assert sequences == [0, 1, 2, 3, 4], "camera 1 was not read while camera 0 waited"
    assert failures == [errno.ETIMEDOUT]
    stalled.close()
    live.close()


def test_calls_on_one_camera_from_threads_run_one_after_another(vcam):
    with camera(vcam, "Y16 ") as cam:
        cam.start()
        seen = []

        def reader():
            for _ in range(50):
                seen.append(cam.read(timeout=5).sequence)

        threads = [threading.Thread(target=reader) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert sorted(seen) == list(range(150))


def test_a_camera_without_controls_lists_none(vcam):
    with camera(vcam, "Y16 ") as cam:
        assert cam.controls == []


def controls(vcam):
    return [vcam.control("Brightness", minimum=-64, maximum=64, step=4, default=8),
            vcam.control("White Balance, Automatic", "boolean", default=1),
            vcam.control("Power Line Frequency", "menu", menu=["Disabled", None, "60 Hz"]),
            vcam.control("Exposure Steps", "integer_menu", menu=[100, 200, 400], default=2, id=0x9a0990),
            vcam.control("Reset Statistics", "button", id=0x981901)]


def test_configured_controls_are_listed_with_their_values(vcam):
    with camera(vcam, "Y16 ", controls=controls(vcam)) as cam:
        listed = [(c["key"], c["type"], c["minimum"], c["maximum"], c["step"], c["default"], c["menu"], c["value"])
                  for c in cam.controls]
    assert listed == [
        ("brightness", "integer", -64, 64, 4, 8, {}, 8),
        ("white_balance_automatic", "boolean", 0, 1, 1, 1, {}, 1),
        ("power_line_frequency", "menu", 0, 2, 1, 0, {0: "Disabled", 2: "60 Hz"}, 0),
        ("reset_statistics", "button", 0, 0, 0, 0, {}, None),
        ("exposure_steps", "integer_menu", 0, 2, 1, 2, {0: "100", 1: "200", 2: "400"}, 2),
    ]


# What the kernel's control framework does with a value: clamp and round to the step,
# 0/1 for a boolean, ERANGE outside a menu, EINVAL for an item it leaves out.
@pytest.mark.parametrize("key, value, result, err", [
    ("brightness", 9, 8, 0), ("brightness", 10, 12, 0), ("brightness", 100, 64, 0), ("brightness", -100, -64, 0),
    ("white_balance_automatic", 5, 1, 0), ("power_line_frequency", 2, 2, 0), ("exposure_steps", 0, 0, 0),
    ("power_line_frequency", 1, 0, errno.EINVAL), ("power_line_frequency", 3, 0, errno.ERANGE),
    ("exposure_steps", -1, 2, errno.ERANGE),
])
def test_set_control_follows_the_drivers_rules(vcam, key, value, result, err):
    with camera(vcam, "Y16 ", controls=controls(vcam)) as cam:
        if err:
            with pytest.raises(cc.CameraError, match=key.split("_")[0].capitalize()) as caught:
                cam.set_control(key, value)
            assert caught.value.errno == err
        else:
            cam.set_control(key, value)
        assert cam.get_control(key) == result
    sets = [args for name, args, r in vcam.log(0) if name == "S_EXT_CTRLS"]
    assert sets[-1].get("value0") == (None if err else result)


def test_a_button_is_pressed_and_has_no_value(vcam):
    with camera(vcam, "Y16 ", controls=controls(vcam)) as cam:
        cam.set_control("reset_statistics", 1)
        with pytest.raises(cc.CameraError) as caught:
            cam.get_control("reset_statistics")
    assert caught.value.errno == errno.EACCES


def test_closing_releases_the_device(vcam):
    with camera(vcam, "Y16 ") as cam:
        cam.start()
        cam.read(timeout=5)
    assert cam.closed and vcam.state(0)["streaming"] is False
    # The node can be opened and streamed again at once.
    with camera(vcam, "Y16 ", node=1) as again:
        again.start()
        again.read(timeout=5)


README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
# The wheels and Debian-root tiers run a copy of the tests without the tree around it.
EXAMPLES = []
if os.path.exists(README):
    with open(README) as readme:
        SECTION = readme.read().split("\n## Camera objects\n")[1].split("\n## ")[0]
        EXAMPLES = re.findall(r"^```py\n(.*?)^```$", SECTION, re.M | re.S)


@pytest.mark.parametrize("block", EXAMPLES)
def test_readme_example_runs(vcam, block):
    vcam.add_node(0, formats=[vcam.fmt("Y16 ", [(160, 120)])], fps=30, rates=[30, 9],
                  controls=[vcam.control("Brightness", maximum=255, default=128)])
    vcam.add_node(1, formats=[vcam.fmt("YUYV", [(640, 480)])], fps=30)
    exec(compile(block, "README.md", "exec"), {"__name__": "__readme__"})


@pytest.mark.skipif(not os.path.exists(README), reason="no source tree around the tests")
def test_the_readme_has_the_examples():
    assert len(EXAMPLES) >= 4 and any("timestamp" in b and "Camera(1)" in b for b in EXAMPLES)
