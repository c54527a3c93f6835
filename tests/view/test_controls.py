"""The live view's controls, worked as a person works them (keys, clicks, pointer moves and
drags over the DevTools pipe): each one changes what the screenshot shows as it should,
and a snapshot or a recording holds exactly the frames the page names."""
import errno
import json
import os
import re
import signal

import numpy as np
import pytest
from PIL import Image

from camsnap_cli.calibration import Calibration
from camsnap_cli import files
from camsnap_cli.colour_maps import COLOUR_MAPS, colour_bar, map_index
from test_view import BROWSER_FPS, ir_frame, message_starting, pause, point_at, rect, text_of

WIDTH, HEIGHT = 160, 120
CELSIUS = Calibration(0.01, -273.15, "°C")   # hundredths of a kelvin
HISTOGRAM_HEIGHT = 64
HISTOGRAM_BAR = (232, 234, 237)
NPY_HEADER = 128   # a recording's .npy header, room for any count


def paused_frame(browser):
    """(page frame number, the camera frame behind it) once paused: the top left pixel of the
    camera's pattern carries its sequence number, read with the cursor."""
    number = pause(browser)
    seq = int(point_at(browser, 0, 0).split()[0])
    return number, ir_frame(WIDTH, HEIGHT, seq)


def picture(browser, zoom=1):
    frame = rect(browser, "#frame")
    assert (frame["width"], frame["height"]) == (WIDTH * zoom, HEIGHT * zoom)
    return browser.screenshot(frame)


def mapped(frame, name, lo, hi):
    return COLOUR_MAPS[name][map_index(frame, lo, hi)]


def both(raw, extra=0):
    """The page's reading of a raw value: raw, then calibrated."""
    if extra:
        return "%.*f (%.*f °C)" % (extra, raw, CELSIUS.decimals + extra, CELSIUS.apply(raw))
    return "%d (%s)" % (raw, CELSIUS.text(raw))


@pytest.fixture
def page(start_view, browser):
    view = start_view("--width", str(WIDTH), "--height", str(HEIGHT),
                      "--scale", "0.01", "--offset", "-273.15", "--unit", "°C", fps=BROWSER_FPS)
    browser.navigate(view.page_url)
    browser.wait_for("Number(document.getElementById('number').textContent) > 2 && "
                     "document.querySelectorAll('[data-map]').length === %d" % len(COLOUR_MAPS))
    browser.key("1")
    yield view
    browser.navigate("about:blank")


def test_colour_maps_range_and_readouts_on_a_paused_frame(page, browser):
    number, frame = paused_frame(browser)
    lo, hi = int(frame.min()), int(frame.max())

    # The cursor reads the raw value and the calibrated one.
    assert point_at(browser, 5, 7) == both(int(frame[7, 5]))
    # Auto range, the default map; the labels calibrated.
    np.testing.assert_array_equal(picture(browser), mapped(frame, "inferno", lo, hi))
    assert (text_of(browser, "min"), text_of(browser, "max")) == (CELSIUS.text(lo), CELSIUS.text(hi))

    # Colour maps: by a click, then by the key to the next one; the bar follows.
    browser.click("[data-map=iron]")
    np.testing.assert_array_equal(picture(browser), mapped(frame, "iron", lo, hi))
    browser.key("m")
    np.testing.assert_array_equal(picture(browser), mapped(frame, "grey", lo, hi))
    browser.wait_for("document.getElementById('colourBar').complete && "
                     "document.getElementById('colourBar').src.includes('map=grey')")
    np.testing.assert_array_equal(browser.screenshot(rect(browser, "#colourBar")),
                                  colour_bar(COLOUR_MAPS["grey"], HEIGHT))

    # A manual range, typed in °C: values outside it take the map's ends.
    low, high = lo + 300, lo + 600
    browser.fill("#rangeLo", "%.2f" % CELSIUS.apply(low))
    browser.fill("#rangeHi", "%.2f" % CELSIUS.apply(high))
    browser.key("Enter")
    browser.wait_for("document.getElementById('max').textContent === %s" % json.dumps(CELSIUS.text(high)))
    shown = picture(browser)
    np.testing.assert_array_equal(shown, mapped(frame, "grey", low, high))

    # A box dragged over the picture: its minimum, maximum and mean, raw and calibrated.
    at = rect(browser, "#frame")
    browser.drag((at["x"] + 10.5, at["y"] + 20.5), (at["x"] + 40.5, at["y"] + 50.5))
    region = frame[20:51, 10:41]
    readout = {name: text_of(browser, name) for name in ("boxSize", "boxMin", "boxMax", "boxMean")}
    assert readout == {"boxSize": "31x31 at 10,20", "boxMin": both(int(region.min())),
                       "boxMax": both(int(region.max())), "boxMean": both(float(region.mean()), 1)}
    browser.key("Escape")

    # The histogram: pixels per colour-map index over the range, tallest bar full height.
    counts = np.bincount(map_index(frame, low, high).ravel(), minlength=256)
    expected = np.floor(counts * HISTOGRAM_HEIGHT / counts.max() + 0.5).astype(int)
    bars = np.all(browser.screenshot(rect(browser, "#histogram")) == HISTOGRAM_BAR, axis=2).sum(axis=0)
    np.testing.assert_array_equal(bars, expected)

    # A snapshot of the frame the page stands on: the exact 16-bit frame, and the preview
    # as the page shows it.
    browser.key("s")
    saved = message_starting(browser, "saved frame %d: " % number)
    exact, preview = saved.split(": ", 1)[1].split(", ")
    assert os.path.dirname(exact) == str(page.save_dir)
    with Image.open(exact) as written:
        assert written.mode.startswith("I")
        np.testing.assert_array_equal(np.asarray(written).astype(np.uint16), frame)
    with Image.open(preview) as written:
        np.testing.assert_array_equal(np.asarray(written.convert("RGB"))[:HEIGHT, :WIDTH], shown)

    # Zoom: twice the size, pixel for pixel.
    browser.key("2")
    np.testing.assert_array_equal(picture(browser, 2), np.repeat(np.repeat(shown, 2, 0), 2, 1))


@pytest.mark.parametrize("width, height", [(160, 120), (1280, 720)])
def test_fit_makes_any_frame_as_large_as_the_window_allows(start_view, browser, width, height):
    view = start_view("--width", str(width), "--height", str(height))
    browser.navigate(view.page_url)
    browser.wait_for("Number(document.getElementById('number').textContent) > 1")
    browser.key("2")
    browser.click("[data-zoom=fit]")
    fitted, right = rect(browser, "#frame"), rect(browser, "#panel")
    window = browser.evaluate("[window.innerWidth, window.innerHeight]")
    # Within the window beside the colour bar and the panel, the frame's shape kept, and
    # filling the width or the height that is left.
    assert right["x"] + right["width"] <= window[0] and fitted["y"] + fitted["height"] <= window[1]
    assert abs(fitted["width"] * height - fitted["height"] * width) <= max(width, height)
    assert fitted["width"] > window[0] / 2 or fitted["y"] + fitted["height"] > window[1] - 40, fitted
    browser.navigate("about:blank")


def test_locked_range_stays_while_frames_change(page, browser):
    browser.key("l")
    locked = (text_of(browser, "min"), text_of(browser, "max"))
    lo, hi = (round((float(t.split()[0]) - CELSIUS.offset) / CELSIUS.scale) for t in locked)
    first = int(text_of(browser, "number"))
    browser.wait_for("Number(document.getElementById('number').textContent) > %d" % (first + 2))
    number, frame = paused_frame(browser)
    assert number > first + 2 and int(frame.max()) > hi  # the scene moved on, the range did not
    assert (text_of(browser, "min"), text_of(browser, "max")) == locked
    np.testing.assert_array_equal(picture(browser), mapped(frame, "inferno", lo, hi))
    browser.key("a")
    assert text_of(browser, "max") == CELSIUS.text(int(frame.max()))


def recorded(view, message):
    match = re.match(r"recorded (\d+) frames to (\S+\.npy)$", message)
    assert match, message
    frames = np.load(match.group(2))
    with open(match.group(2), "rb") as npy:  # nothing after the frames the header counts
        assert np.lib.format.read_magic(npy) == (1, 0)
        np.lib.format.read_array_header_1_0(npy)
        assert npy.tell() + frames.nbytes == os.path.getsize(match.group(2))
    assert frames.shape == (int(match.group(1)), HEIGHT, WIDTH) and frames.dtype == np.uint16
    assert os.path.dirname(match.group(2)) == str(view.save_dir)
    # Every frame exact, in order, none twice; no temporary file left beside it.
    seqs = [int(f[0, 0]) for f in frames]
    for seq, f in zip(seqs, frames):
        np.testing.assert_array_equal(f, ir_frame(WIDTH, HEIGHT, seq))
    assert seqs == sorted(set(seqs))
    assert [name for name in os.listdir(str(view.save_dir)) if name.startswith(".")] == []
    return seqs


def test_record_starts_and_stops_with_the_button(page, browser):
    browser.click("#record")
    browser.wait_for("/^recording: ([5-9]|\\d\\d+) frames/.test(document.getElementById('message').textContent)")
    browser.click("#record")
    assert len(recorded(page, message_starting(browser, "recorded"))) >= 5


def test_a_recording_running_at_ctrl_c_is_kept(start_view):
    view = start_view("--width", str(WIDTH), "--height", str(HEIGHT))
    headers = {"Host": "127.0.0.1", "Content-Type": "application/json"}
    path = "/record?token=" + view.token
    first = int(view.get("/frame")[1]["X-Camsnap-Frame"])
    assert view.request("POST", path, headers, b'{"action": "start"}')[0] == 200
    view.get("/frame?after=%d" % (first + 6))
    assert view.stop(signal.SIGINT) == 0
    line = [l for l in view.stdout().splitlines() if "recorded" in l]
    assert len(line) == 1 and len(recorded(view, line[0].split("camsnap view: ")[1])) >= 5


def test_a_recording_on_a_full_disk_keeps_the_frames_that_fit(start_view):
    fit = 5
    view = start_view("--width", str(WIDTH), "--height", str(HEIGHT),
                      file_limit=NPY_HEADER + fit * WIDTH * HEIGHT * 2 + 1000)
    view.get("/frame")
    headers = {"Host": "127.0.0.1", "Content-Type": "application/json"}
    path = "/record?token=" + view.token
    assert view.request("POST", path, headers, b'{"action": "start"}')[0] == 200
    for _ in range(100):
        status = json.loads(view.get("/stats.json")[2])["record"]
        if status["error"]:
            break
        view.get("/frame?after=%d" % int(view.get("/frame")[1]["X-Camsnap-Frame"]))
    assert "File too large" in (status["error"] or ""), status
    status = json.loads(view.request("POST", path, headers, b'{"action": "stop"}')[2])
    assert len(recorded(view, "recorded %d frames to %s" % (status["frames"], status["path"]))) == fit


def no_hard_links(*args):
    raise PermissionError(errno.EPERM, "Operation not permitted")  # as on FAT


@pytest.mark.parametrize("hard_links", [True, False])
def test_saved_files_never_replace_one_and_are_not_private(tmp_path, monkeypatch, hard_links):
    if not hard_links:
        monkeypatch.setattr(os, "link", no_hard_links)
    (tmp_path / "a.png").write_bytes(b"old")
    paths = [files.write_new(str(tmp_path / "a.png"), b"new %d" % n) for n in range(2)]
    assert paths == [str(tmp_path / "a-2.png"), str(tmp_path / "a-3.png")]
    assert [open(p, "rb").read() for p in [str(tmp_path / "a.png")] + paths] == [b"old", b"new 0", b"new 1"]
    assert sorted(os.listdir(str(tmp_path))) == ["a-2.png", "a-3.png", "a.png"]
    umask = os.umask(0)
    os.umask(umask)
    assert os.stat(paths[0]).st_mode & 0o777 == 0o666 & ~umask
