"""Every subcommand on the virtual camera: the files it writes, what it prints and the exit
code of each failure a user can act on."""
import errno
import os
import re
import subprocess

import numpy as np
import pytest
from PIL import Image

from camsnap_cli import colour_maps, common, images, list_cmd, series, stream
from camsnap_process import diagnostic_lines

H, W = 120, 160


def ir_frames(count, seed=1):
    rng = np.random.default_rng(seed)
    return [rng.integers(0, 65536, size=(H, W), dtype=np.uint16) for _ in range(count)]


def yu12_frames(count, seed=2):
    rng = np.random.default_rng(seed)
    return [rng.integers(0, 256, size=H * W * 3 // 2, dtype=np.uint8) for _ in range(count)]


def read_back(path):
    if path.endswith(".npy"):
        return np.load(path)
    with Image.open(path) as picture:
        return picture.mode, np.array(picture)


# ---------------------------------------------------------------------------
# list

def test_list_shows_each_format_as_text_with_its_sizes(camera, cli, vcam):
    camera()
    vcam.add_node(1, card=b"metadata", formats=[])
    vcam.add_node(2, card=b"stepwise", formats=[vcam.fmt("BGR3", [vcam.stepwise(16, 640, 16, 16, 480, 16)])])
    vcam.add_node(3, card=b"webcam", formats=[vcam.fmt("YUYV", [(160, 120)]), vcam.fmt("YU12", [(160, 120)])])
    vcam.add_node(4, card=b"yuyv only", formats=[vcam.fmt("YUYV", [(160, 120)])])
    code, out, _ = cli("list")
    assert code == 0
    rows = [re.split(r"\s{2,}", line.strip()) for line in out.splitlines()]
    assert rows == [
        ["NODE", "CARD", "MODES", "FORMAT", "SIZES"],
        ["/dev/video0", "test camera", "ir16 rgb", "'Y16 '", "160x120 640x480"],
        ["'YU12'", "160x120 640x480"],
        ["/dev/video1", "metadata", "none", "-", "(no capture formats)"],
        ["/dev/video2", "stepwise", "ir16", "'BGR3'", "(no fixed sizes)"],
        ["/dev/video3", "webcam", "rgb", "'YUYV'", "160x120"],
        ["'YU12'", "160x120"],
        ["/dev/video4", "yuyv only", "none", "'YUYV'", "160x120"],
    ]


def test_list_without_cameras_says_so_and_exits_3(vcam, cli):
    code, out, err = cli("list")
    assert (code, out) == (common.EXIT_NO_CAMERA, "")
    assert err.startswith("camsnap: no cameras found")


def test_list_virtual_offers_both_modes_at_three_sizes(vcam, cli):
    code, out, _ = cli("list", "--virtual")
    assert code == 0
    card = vcam.standard_description()["nodes"][0]["card"]
    assert list_cmd.table([{"id": 0, "card": card, "fmts": []}])[0][1] in out
    for code_text in ("'Y16 '", "'YU12'"):
        line = next(l for l in out.splitlines() if code_text in l)
        assert line.split(code_text)[1].split() == ["160x120", "640x480", "1280x720"]


# ---------------------------------------------------------------------------
# snap

@pytest.mark.parametrize("name", ["frame.png", "frame.tif", "frame.TIFF", "frame.npy", "sub/dir/f.png"])
def test_snap_ir16_keeps_every_16_bit_value(camera, cli, tmp_path, name):
    frame, = ir_frames(1)
    camera(frames=[frame.tobytes()])
    path = str(tmp_path / name)
    code, out, _ = cli("snap", "--width", W, "--height", H, "-o", path)
    assert code == 0
    written = read_back(path)
    if name.endswith(".npy"):
        assert written.dtype == np.uint16 and np.array_equal(written, frame)
    else:
        mode, values = written
        assert mode.startswith("I;16") and np.array_equal(values, frame)
    assert "wrote %s (160x120 uint16)" % path in out


@pytest.mark.parametrize("name", ["frame.png", "frame.tiff"])
def test_snap_rgb_picture_holds_the_captured_array(camera, cli, tmp_path, name):
    camera(frames=[yu12_frames(1)[0].tobytes()])
    args = ["snap", "--mode", "rgb", "--width", W, "--height", H]
    assert cli(*args + ["-o", tmp_path / "frame.npy"])[0] == 0
    assert cli(*args + ["-o", tmp_path / name])[0] == 0
    array = np.load(str(tmp_path / "frame.npy"))
    mode, values = read_back(str(tmp_path / name))
    assert array.shape == (H, W, 3) and mode == "RGB" and np.array_equal(values, array)
    assert not os.path.exists(images.preview_path(str(tmp_path / name)))


def test_snap_ir16_preview_is_the_colour_map_with_bar_and_range(camera, cli, tmp_path):
    frame = ir_frames(1)[0] // 4 + 1000
    camera(frames=[frame.tobytes()])
    path = str(tmp_path / "frame.png")
    code, out, _ = cli("snap", "--width", W, "--height", H, "-o", path)
    lo, hi = int(frame.min()), int(frame.max())
    assert code == 0 and "colour map from %d to %d" % (lo, hi) in out
    with Image.open(images.preview_path(path)) as picture:
        assert picture.mode == "RGB"
        shown = np.array(picture)
    assert np.array_equal(shown[:H, :W], colour_maps.colourise(frame)[0])
    bar = shown[:H, W + 6:W + 6 + 16]
    assert np.array_equal(bar, colour_maps.colour_bar(colour_maps.INFERNO, H, 16))
    # The maximum is written beside the top of the bar, the minimum beside its foot.
    labels = shown[:, W + 6 + 16:].max(axis=2)
    assert labels[:H // 3].max() > 200 and labels[-H // 3:].max() > 200
    assert labels[H // 3:-H // 3].max() == 0


def test_snap_virtual_delivers_the_virtual_pattern(vcam, cli, tmp_path):
    path = str(tmp_path / "frame.npy")
    assert cli("snap", "--virtual", "--width", W, "--height", H, "-o", path)[0] == 0
    frame = np.load(path)
    patterns = [np.frombuffer(vcam.render("Y16 ", W, H, 2 * W, 2 * W * H, seq), np.uint16).reshape(H, W)
                for seq in range(8)]
    assert any(np.array_equal(frame, p) for p in patterns)


# ---------------------------------------------------------------------------
# colour map

@pytest.mark.parametrize("frame,index", [
    (np.array([[0, 65535]], np.uint16), [[0, 255]]),
    (np.array([[100, 150, 200]], np.uint16), [[0, 127, 255]]),
    (np.array([[7, 7]], np.uint16), [[0, 0]]),          # no range: no division by zero
    (np.array([[65535, 0, 1]], np.uint16), [[255, 0, 0]]),
])
def test_colourise_stretches_between_minimum_and_maximum(frame, index):
    rgb, lo, hi = colour_maps.colourise(frame)
    assert (lo, hi) == (int(frame.min()), int(frame.max()))
    assert rgb.dtype == np.uint8 and np.array_equal(rgb, colour_maps.INFERNO[np.array(index)])


def test_colour_map_brightens_from_minimum_to_maximum():
    luminance = colour_maps.INFERNO.astype(float) @ [0.299, 0.587, 0.114]
    assert (np.diff(luminance) > 0).all()
    bar = colour_maps.colour_bar(colour_maps.INFERNO, 50, 3)
    assert bar.shape == (50, 3, 3)
    assert np.array_equal(bar[0, 0], colour_maps.INFERNO[255]) and np.array_equal(bar[-1, 0], colour_maps.INFERNO[0])


# ---------------------------------------------------------------------------
# series

@pytest.mark.parametrize("total,batch,expected", [
    (1, 16, [1]),
    (16, 16, [16]),
    (40, 16, [14, 13, 13]),
    (5, 2, [3, 2]),
    (3, 2, [3]),
    (7, 1, [3, 2, 2]),
])
def test_series_runs_cover_the_count_without_single_buffer_requests(total, batch, expected):
    assert series.runs(total, batch) == expected


def test_series_to_npy_holds_every_frame_in_order(camera, cli, tmp_path, vcam):
    frames = ir_frames(5, seed=3)
    camera(frames=[f.tobytes() for f in frames])
    path = str(tmp_path / "s.npy")
    code, out, err = cli("series", "-n", 7, "--batch", 3, "--width", W, "--height", H, "-o", path)
    assert code == 0 and "wrote %s (7 frames of 160x120 uint16)" % path in out
    stack = np.load(path)
    assert stack.shape == (7, H, W)
    # Each run restarts the camera's sequence; a run's frames follow each other.
    sequences = [next(k for k, f in enumerate(frames) if np.array_equal(f, got)) for got in stack]
    assert [b - a for a, b in zip(sequences, sequences[1:])].count(1) >= 4
    assert "7/7" in err


@pytest.mark.parametrize("mode,name", [("ir16", "f.png"), ("ir16", "f.tif"), ("rgb", "f.png")])
def test_series_to_pictures_numbers_the_files(camera, cli, tmp_path, mode, name):
    camera()
    common_args = ["--mode", mode, "--width", W, "--height", H, "--batch", 2]
    assert cli("series", "-n", 3, "-o", tmp_path / name, *common_args)[0] == 0
    stem, ext = os.path.splitext(name)
    assert sorted(os.listdir(str(tmp_path))) == ["%s-%04d%s" % (stem, i, ext) for i in range(3)]
    for i in range(3):
        mode_read, values = read_back(str(tmp_path / ("%s-%04d%s" % (stem, i, ext))))
        assert values.shape == ((H, W) if mode == "ir16" else (H, W, 3))


def test_a_size_the_driver_chose_is_noted_and_written_width_first(camera, cli, tmp_path):
    camera()
    code, out, err = cli("snap", "--width", 800, "--height", 600, "-o", tmp_path / "f.npy")
    assert code == 0 and np.load(str(tmp_path / "f.npy")).shape == (480, 640)
    assert "camsnap: note: the camera chose 640x480 instead of the 800x600 asked" in err
    assert "(640x480 uint16)" in out


def test_snap_preview_labels_are_calibrated(camera, cli, tmp_path):
    frame = np.full((H, W), 30000, np.uint16)
    frame[0, 0] = 29315                                 # 20.00 °C; 30000 is 26.85 °C
    camera(frames=[frame.tobytes()])
    path = tmp_path / "f.png"
    code, out, _ = cli("snap", "--width", W, "--height", H, "-o", path,
                       "--scale", 0.01, "--offset", -273.15, "--unit", "K")
    assert code == 0 and "colour map from 20.00 K to 26.85 K" in out
    with Image.open(str(path)) as raw:
        assert np.array_equal(np.array(raw), frame)   # the data stay raw
    with Image.open(images.preview_path(str(path))) as shown:
        # "26.85 K" takes more room beside the bar than "30000".
        assert shown.size[0] > images.preview(frame)[0].size[0]


def test_series_works_where_single_capture_needs_more_buffers(camera, cli, tmp_path):
    camera(min_buffers=2)
    path = str(tmp_path / "s.npy")
    assert cli("series", "-n", 3, "--batch", 2, "--width", W, "--height", H, "-o", path)[0] == 0
    assert np.load(path).shape == (3, H, W)


# ---------------------------------------------------------------------------
# writing

@pytest.fixture
def small_disk(tmp_path):
    """small_disk(options) -> a fresh tmpfs directory mounted with these options."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small tmpfs needs root")
    mounted = []

    def mount(options):
        where = tmp_path / ("disk%d" % len(mounted))
        where.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(where)], check=True)
        mounted.append(where)
        return where
    yield mount
    for where in mounted:
        subprocess.run(["umount", str(where)], check=True)


def smooth_frames(count):
    """Frames that compress well, so that many PNGs fit a small disk."""
    ramp = np.arange(W, dtype=np.uint16)[np.newaxis, :].repeat(H, axis=0)
    return [ramp + 1000 * k for k in range(count)]


@pytest.mark.parametrize("where,argv,name,reason", [
    ("read-only", ["snap"], "x.png", "Read-only file system"),
    ("below a file", ["series", "-n", 2], "x.npy", "Not a directory"),
    ("/proc", ["series", "-n", 2], "x.png", "No such file or directory"),
    ("a folder", ["snap"], "x.npy", "Is a directory"),
])
def test_an_unwritable_output_is_refused_before_capturing(camera, vcam, cli, tmp_path, small_disk,
                                                          where, argv, name, reason):
    camera()
    if where == "read-only":
        path = str(small_disk("size=64k,ro") / name)
    elif where == "below a file":
        (tmp_path / "file").write_text("")
        path = str(tmp_path / "file" / name)
    elif where == "a folder":
        path = str(tmp_path / name)
        os.mkdir(path)
    else:
        path = "/proc/" + name
    code, out, err = cli(*argv + ["-o", path])
    shown = series.numbered(path, 0) if argv[0] == "series" and name.endswith(".png") else path
    assert (code, err) == (common.EXIT_FAILURE, "camsnap: cannot write %s: %s\n" % (shown, reason))
    assert vcam.log(0) == []


@pytest.mark.parametrize("argv,name", [
    (["series", "-n", 3], "f.npy"),         # a frame is 38,400 bytes: one fits
    (["series", "-n", 40], "f.png"),        # a picture is about 1 KiB: some fit
    (["snap", "--width", 640, "--height", 480, "--no-preview"], "f.png"),   # none fits
])
def test_a_full_disk_keeps_whole_files_and_says_how_many(camera, cli, small_disk, argv, name):
    if argv[0] == "snap":
        frames = [np.random.default_rng(4).integers(0, 65536, size=(480, 640), dtype=np.uint16)]
    else:
        frames = smooth_frames(8) if name == "f.png" else ir_frames(3)
        argv = argv + ["--width", W, "--height", H]
    camera(frames=[f.tobytes() for f in frames])
    disk = small_disk("size=64k")
    code, _, err = cli(*argv + ["-o", disk / name])
    written = sorted(os.listdir(str(disk)))
    assert code == common.EXIT_FAILURE and "No space left on device" in err
    if argv[0] == "snap":
        assert written == []
        return
    if name == "f.npy":
        assert written == ["f.npy"] and "(1 of 3 frames kept in %s)" % (disk / name) in err
        kept = np.load(str(disk / name))
    else:
        assert written == ["f-%04d.png" % i for i in range(len(written))] and 8 < len(written) < 40
        assert "(%d of 40 frames kept in %s to %s)" % (len(written), disk / written[0], disk / written[-1]) in err
        kept = [read_back(str(disk / picture))[1] for picture in written]
    assert len(kept) and all(any(np.array_equal(k, f) for f in frames) for k in kept)


def test_a_failed_capture_mid_series_keeps_the_frames_before_it(camera, vcam, cli, tmp_path):
    frames = ir_frames(4, seed=5)
    camera(frames=[f.tobytes() for f in frames])
    vcam.fault(0, "DQBUF", nth=12, errno=errno.EIO)
    path = str(tmp_path / "s.npy")
    code, _, err = cli("series", "-n", 8, "--batch", 2, "--width", W, "--height", H, "-o", path)
    kept = np.load(path)
    assert code == common.EXIT_FAILURE and 2 <= len(kept) < 8
    assert "(%d of 8 frames kept in %s)" % (len(kept), path) in err
    assert all(any(np.array_equal(k, f) for f in frames) for k in kept)


# ---------------------------------------------------------------------------
# stream

def test_stream_counts_the_frames_it_took(camera, cli, vcam):
    camera(fps=200)
    code, out, _ = cli("stream", "--seconds", 0.3, "--width", W, "--height", H)
    assert code == 0
    count = int(re.search(r"^(\d+) frames in [\d.]+ s: [\d.]+ frames per second$", out, re.M).group(1))
    dequeued = [e for e in vcam.log(0) if e[0] == "DQBUF" and e[2] == 0]
    # The first frame of a stream is discarded by the module.
    assert count > 0 and count == len(dequeued) - 1


def test_stream_meter_rate_over_the_last_second():
    class Out(object):
        def __init__(self):
            self.text = ""

        def write(self, text):
            self.text += text

        def flush(self):
            pass

    now = [0.0]
    meter = stream.Meter(Out(), clock=lambda: now[0])
    for _ in range(50):
        now[0] += 0.04          # 25 frames per second for two seconds
        meter.frame()
    assert meter.rate(now[0]) == pytest.approx(25, abs=1)
    meter.close()
    assert meter.out.text.splitlines()[-1] == "50 frames in 2.00 s: 25.0 frames per second"
    assert "frames 25  fps 25.0" in meter.out.text


# ---------------------------------------------------------------------------
# failures a user can act on

def no_node(camera, vcam):
    pass


def node_with(**config):
    def make(camera, vcam):
        camera(**config)
    return make


def s_fmt_fault(code):
    def make(camera, vcam):
        camera()
        vcam.fault(0, "S_FMT", errno=code)
    return make


@pytest.mark.parametrize("setup,argv,exit_code,words", [
    (no_node, ["snap"], common.EXIT_NO_CAMERA, "no camera at /dev/video0"),
    (no_node, ["stream", "-d", 3], common.EXIT_NO_CAMERA, "no camera at /dev/video3"),
    (node_with(open_errno=errno.EBUSY), ["snap"], common.EXIT_BUSY, "busy"),
    (s_fmt_fault(errno.EBUSY), ["snap"], common.EXIT_BUSY, "another program"),
    (node_with(open_errno=errno.EACCES), ["snap"], common.EXIT_PERMISSION, "video group"),
    (node_with(open_errno=errno.EPERM), ["series", "-n", 2], common.EXIT_PERMISSION, "video group"),
    (node_with(min_buffers=2), ["snap"], common.EXIT_BUFFERS, "camsnap series -n 2"),
    (node_with(min_buffers=2), ["stream", "--seconds", 1], common.EXIT_BUFFERS, "camsnap series"),
    (node_with(capabilities=0x80000001), ["snap"], common.EXIT_INIT_REFUSED, "Y16 160x120 640x480"),
    (node_with(fmt_answer={"width": 0}), ["snap", "--mode", "rgb"], common.EXIT_INIT_REFUSED,
     "refused rgb at 640x480"),
    (s_fmt_fault(errno.EINVAL), ["snap", "--width", 800, "--height", 600], common.EXIT_INIT_REFUSED,
     "refused ir16 at 800x600"),
    (node_with(open_errno=errno.EIO), ["snap"], common.EXIT_FAILURE, "Input/output error"),
])
def test_failures_have_their_own_exit_codes(camera, vcam, cli, tmp_path, setup, argv, exit_code, words):
    setup(camera, vcam)
    # A folder still to be made is not left behind, empty, when the capture fails.
    code, out, err = cli(*argv + ["-o", tmp_path / "new" / "x.npy"] if argv[0] != "stream" else argv)
    assert code == exit_code
    message = [line for line in err.splitlines() if line.startswith("camsnap: ")]
    assert len(message) == 1 and words in message[0]
    assert os.listdir(str(tmp_path)) == []


def test_failed_capture_exits_1_and_keeps_the_module_lines(camera, vcam, cli, tmp_path):
    camera()
    vcam.fault(0, "DQBUF", errno=errno.EIO)
    code, _, err = cli("snap", "-o", tmp_path / "x.png")
    assert code == common.EXIT_FAILURE
    assert re.search(r"^E:dequeue_buffer:\d+:Failed to DQBUF$", err, re.M)
    assert err.rstrip().splitlines()[-1] == "camsnap: the capture failed (see the E: lines above)"


@pytest.mark.parametrize("argv", [
    ["snap", "-o", "frame.jpg"],
    ["series", "-n", 2, "-o", "frames"],
    ["series", "-n", 0],
    ["stream", "--seconds", 0],
    ["snap", "--width", 0],
    ["snap", "--width", -640],
    ["series", "-n", 2, "--height", 0],
    ["snap", "--virtual", "-d", -1],
    ["series", "-n", 2, "--no-preview"],
    ["snap", "--scale", 0],
])
def test_bad_arguments_exit_2_with_the_subcommand_usage(camera, vcam, cli, argv):
    camera()
    code, _, err = cli(*argv)
    assert code == common.EXIT_USAGE and vcam.log(0) == []
    assert err.startswith("usage: camsnap %s " % argv[0]), err


def test_camera_is_closed_after_each_command(camera, vcam, cli, tmp_path):
    camera(fps=200)
    cli("snap", "-o", tmp_path / "a.npy")
    cli("stream", "--seconds", 0.1)
    vcam.fault(0, "DQBUF", errno=errno.EIO)
    cli("series", "-n", 2, "-o", tmp_path / "b.npy")
    opens = [e for e in vcam.log(0) if e[0] == "OPEN" and e[2] >= 0]
    closes = [e for e in vcam.log(0) if e[0] == "CLOSE"]
    assert len(opens) == len(closes) and not vcam.state(0)["streaming"]


@pytest.mark.parametrize("text,lines", [
    ("", []),
    ("E:cs_open:100:Failed to open video device - /dev/video0\n",
     [("cs_open", 100, "Failed to open video device - /dev/video0")]),
    ("E:request_buffers:47:Too many buffers required\n\nE:cs_captureSingle:35:Failed to allocate buffers\n",
     [("request_buffers", 47, "Too many buffers required"),
      ("cs_captureSingle", 35, "Failed to allocate buffers")]),
])
def test_module_lines_are_parsed(text, lines):
    assert [(l.function, l.line, l.text) for l in diagnostic_lines(text)] == lines
