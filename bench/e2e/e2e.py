"""End-to-end capture cost, camsnap against OpenCV's V4L2 backend, on one virtual camera.

Both libraries capture from the same /dev/video node of the virtual camera (vcam/), which
delivers frames as fast as they are asked for (fps 0): camsnap through captureStream() and
captureSeries(), camsnap_camera through Camera.read(out=) into one array (a stream, and
series: start, k reads into out=, stop), OpenCV through
cv2.VideoCapture(n, cv2.CAP_V4L2).read(), "Y16 " as raw
16-bit (CAP_PROP_CONVERT_RGB 0) and "YU12" converted to 8-bit colour, at 640x480 and 1080p.

Per frame it reports wall time and CPU time of the whole process (all threads, so a library
that spreads its conversion over threads pays for each of them), and the part of that CPU
time the virtual camera itself spent writing frames into the buffers, which both sides pay
and which a real camera's DMA would not cost the process. Run through bench/e2e/run.
"""
import argparse
import collections
import os
import statistics
import sys
import time

import numpy as np

import camsnap
import camsnap_camera
import cv2
import camsnap_vcam as vcam
from frames import ir16_from_raw, rgb_from_raw, ycbcr_planes, ycbcr_to_rgb

NODE = 0
SIZES = [(640, 480), (1920, 1080)]
FORMATS = [("Y16 ", 0), ("YU12", 1)]  # code, camsnap mode
PRERENDERED = 4  # distinct frames the camera cycles through


def geometry(code, w, h):
    if code == "Y16 ":
        return 2 * w, 2 * w * h
    return w, w * h * 3 // 2


def camera(frames_per_format, pattern):
    vcam.reset()
    # 32 buffers at most, as uvcvideo grants
    vcam.add_node(NODE, card=b"e2e cam", fixed_fps=True, max_buffers=32,
                  formats=[vcam.fmt(code, SIZES) for code, _ in FORMATS])
    if not pattern:
        vcam.set_frames(NODE, frames_per_format)


def prerender(code, w, h):
    bpl, size = geometry(code, w, h)
    return [vcam.render(code, w, h, bpl, size, seq) for seq in range(PRERENDERED)]


class Meter(object):
    """Wall and process CPU time over a block, and what the camera spent filling buffers."""

    def __enter__(self):
        s = vcam.state(NODE)
        self.fill0, self.wall0, self.cpu0 = s["fill_ns"], time.perf_counter(), time.process_time()
        return self

    def __exit__(self, *exc):
        self.cpu = time.process_time() - self.cpu0
        self.wall = time.perf_counter() - self.wall0
        self.fill = (vcam.state(NODE)["fill_ns"] - self.fill0) * 1e-9
        return False

    def per_frame(self, n):
        return dict(wall=self.wall / n * 1e3, cpu=self.cpu / n * 1e3, fill=self.fill / n * 1e3)


def expected_frames(code, w, h, raw_frames):
    bpl, _ = geometry(code, w, h)
    if code == "Y16 ":
        return [ir16_from_raw(r, w, h, bpl, 2) for r in raw_frames]
    return [rgb_from_raw(r, w, h, bpl, 1) for r in raw_frames]


def check(name, frame, expected):
    if frame is None:
        sys.exit("%s: no frame" % name)
    if not any(frame.shape == e.shape and np.array_equal(frame, e) for e in expected):
        sys.exit("%s: frame %s %s matches none of the frames the camera delivered"
                 % (name, frame.shape, frame.dtype))


def camsnap_stream(code, mode, w, h, n, expected):
    if not (camsnap.open(NODE) and camsnap.init(mode, w, h) and camsnap.startStream()):
        sys.exit("camsnap could not start a stream")
    try:
        first = camsnap.captureStream()  # drops the frame a stream starts with
        if expected is not None:
            check("camsnap captureStream", first, expected)
        with Meter() as m:
            for _ in range(n):
                if camsnap.captureStream() is None:
                    sys.exit("camsnap captureStream failed")
        return m.per_frame(n)
    finally:
        camsnap.stopStream()
        camsnap.close()


def camsnap_series(code, mode, w, h, n, per_call, expected):
    if not (camsnap.open(NODE) and camsnap.init(mode, w, h)):
        sys.exit("camsnap could not open the camera")
    try:
        calls = max(1, n // per_call)
        with Meter() as m:
            for _ in range(calls):
                series = camsnap.captureSeries(per_call)
                if series is None:
                    sys.exit("camsnap captureSeries failed")
        if expected is not None:
            check("camsnap captureSeries", series[-1], expected)
        return m.per_frame(calls * per_call)
    finally:
        camsnap.close()


def camera_expected(code, w, h, raw_frames):
    """A Camera converts "YU12" in the range the driver answers: the virtual camera names
    none, which V4L2 defaults to limited-range BT.601."""
    if code == "Y16 ":
        return expected_frames(code, w, h, raw_frames)
    return [ycbcr_to_rgb(*ycbcr_planes(code, r, w, h, w), "bt601", "limited") for r in raw_frames]


def camera_read(code, w, h, n, expected):
    with camsnap_camera.Camera(NODE) as cam:
        cam.configure(code, w, h)
        cam.start(buffers=4)
        out = np.empty_like(cam.read(timeout=5).array)
        cam.read(timeout=5, out=out)
        if expected is not None:
            check("Camera.read", out, expected)
        with Meter() as m:
            for _ in range(n):
                cam.read(timeout=5, out=out)
        return m.per_frame(n)


def camera_series(code, w, h, n, per_call, expected):
    """Series of per_call frames: start, per_call reads into out=, stop, again and again."""
    with camsnap_camera.Camera(NODE) as cam:
        cam.configure(code, w, h)
        cam.start(buffers=4)
        out = np.empty_like(cam.read(timeout=5).array)
        cam.stop()
        calls = max(1, n // per_call)
        with Meter() as m:
            for _ in range(calls):
                cam.start(buffers=4)
                for _ in range(per_call):
                    cam.read(timeout=5, out=out)
                cam.stop()
        if expected is not None:
            check("Camera series", out, expected)
        return m.per_frame(calls * per_call)


def opencv_read(code, w, h, n, expected):
    cap = cv2.VideoCapture(NODE, cv2.CAP_V4L2)
    try:
        if not cap.isOpened():
            sys.exit("OpenCV could not open the camera")
        cap.set(cv2.CAP_PROP_FOURCC, cv2.VideoWriter_fourcc(*code))
        if code == "Y16 ":
            cap.set(cv2.CAP_PROP_CONVERT_RGB, 0)
        cap.set(cv2.CAP_PROP_FRAME_WIDTH, w)
        cap.set(cv2.CAP_PROP_FRAME_HEIGHT, h)
        got = (int(cap.get(cv2.CAP_PROP_FRAME_WIDTH)), int(cap.get(cv2.CAP_PROP_FRAME_HEIGHT)))
        if got != (w, h) or int(cap.get(cv2.CAP_PROP_FOURCC)) != vcam.fourcc(code):
            sys.exit("OpenCV did not set %r %dx%d" % (code, w, h))
        for _ in range(2):  # the stream starts with the first read
            ok, frame = cap.read()
        if not ok:
            sys.exit("OpenCV read failed")
        if expected is not None:
            check("OpenCV read", frame, expected)
        with Meter() as m:
            for _ in range(n):
                ok, frame = cap.read()
                if not ok:
                    sys.exit("OpenCV read failed")
        return m.per_frame(n)
    finally:
        cap.release()


def median_of(rounds, key):
    return statistics.median(r[key] for r in rounds)


def cpu_model():
    model, flags = "unknown", set()
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name") and model == "unknown":
                model = line.split(":", 1)[1].strip()
            elif line.startswith("flags") and not flags:
                flags = set(line.split(":", 1)[1].split())
    simd = [f for f in ("sse4_1", "avx2", "avx512bw", "avx512vbmi") if f in flags]
    return "%s, %d cores, %s" % (model, os.cpu_count(), " ".join(simd))


def render_cost(code, w, h, repeat=20):
    """What the camera's own pattern costs per frame, for runs with --pattern."""
    bpl, size = geometry(code, w, h)
    t0 = time.perf_counter()
    for seq in range(repeat):
        vcam.render(code, w, h, bpl, size, seq)
    return (time.perf_counter() - t0) / repeat * 1e3


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=5, help="rounds per case; the table gives medians")
    ap.add_argument("--frames", type=int, default=0,
                    help="frames per round and method (default: 400 at 640x480, 120 at 1080p)")
    ap.add_argument("--series", default="4,20",
                    help="frames per captureSeries call, one row per length (default 4,20)")
    ap.add_argument("--pattern", action="store_true",
                    help="have the camera draw its test pattern into every frame instead of "
                         "copying pre-rendered frames (a much dearer fill)")
    args = ap.parse_args()
    lengths = [int(k) for k in args.series.split(",")]

    print("CPU: %s" % cpu_model())
    print("OpenCV %s (opencv-python-headless), numpy %s, Python %s, OpenCV threads %d"
          % (cv2.__version__, np.__version__, sys.version.split()[0], cv2.getNumThreads()))
    print("camera: virtual node, fps 0 (a frame is taken when asked for), %s; best-effort "
          "medians of %d rounds" % ("test pattern drawn per frame" if args.pattern
                                    else "%d pre-rendered frames copied in" % PRERENDERED,
                                    args.rounds))
    print()
    header = ("%-5s %-9s %-33s %8s %8s %8s %9s %9s %9s"
              % ("fmt", "size", "method", "wall ms", "cpu ms", "fill ms", "cpu-fill",
                 "cpu/cv", "wall/cv"))
    print(header)
    print("-" * len(header))
    worst = {"captureStream": 0.0, "captureSeries": 0.0, "Camera.read": 0.0, "Camera": 0.0}
    fills = []
    for w, h in SIZES:
        for code, mode in FORMATS:
            raw = prerender(code, w, h)
            n = args.frames or (400 if w * h <= 640 * 480 else 120)
            expected = expected_frames(code, w, h, raw) if not args.pattern else None
            cv_expected = expected if code == "Y16 " else None  # OpenCV's colour differs
            results = collections.OrderedDict([("camsnap captureStream", [])])
            for k in lengths:
                results["camsnap captureSeries(%d)" % k] = []
            results["camsnap_camera Camera.read(out=)"] = []
            for k in lengths:
                results["camsnap_camera Camera series(%d)" % k] = []
            results["OpenCV read"] = []
            for rnd in range(args.rounds):
                camera(raw, args.pattern)
                first = rnd == 0
                results["camsnap captureStream"].append(
                    camsnap_stream(code, mode, w, h, n, expected if first else None))
                for k in lengths:
                    results["camsnap captureSeries(%d)" % k].append(
                        camsnap_series(code, mode, w, h, n, k, expected if first else None))
                camera_want = camera_expected(code, w, h, raw) if first and expected else None
                results["camsnap_camera Camera.read(out=)"].append(camera_read(code, w, h, n, camera_want))
                for k in lengths:
                    results["camsnap_camera Camera series(%d)" % k].append(
                        camera_series(code, w, h, n, k, camera_want))
                results["OpenCV read"].append(
                    opencv_read(code, w, h, n, cv_expected if first else None))
            med = collections.OrderedDict(
                (name, dict((k, median_of(r, k)) for k in ("wall", "cpu", "fill")))
                for name, r in results.items())
            cv = med["OpenCV read"]
            for name, m in med.items():
                ratio_cpu, ratio_wall = m["cpu"] / cv["cpu"], m["wall"] / cv["wall"]
                if name != "OpenCV read":
                    method = name.split()[1].split("(")[0]
                    worst[method] = max(worst[method], ratio_cpu)
                print("%-5s %-9s %-33s %8.3f %8.3f %8.3f %9.3f %9.2f %9.2f"
                      % (code.strip(), "%dx%d" % (w, h), name, m["wall"], m["cpu"], m["fill"],
                         m["cpu"] - m["fill"], ratio_cpu, ratio_wall))
            fills.append((code, w, h, render_cost(code, w, h), len(raw[0])))
    print()
    print("fill ms: CPU time the virtual camera spent writing frames into the buffers, per frame")
    print("kept; part of cpu ms and wall ms, paid alike by both libraries. In captureStream and")
    print("OpenCV it is the copy alone, into buffers used again and again. captureSeries")
    print("allocates its buffers afresh in every call, so its fill also carries the first-touch")
    print("page faults of that memory (a real driver takes them when it pins the pages at QBUF);")
    print("its copy alone costs what captureStream's fill shows. Whether a call gets fresh pages")
    print("(which the kernel must clear) or reused ones is up to the C library's allocator, so")
    print("captureSeries rows move with the series length and with what ran before.")
    print("the camera's own test pattern, drawn per frame (--pattern), would cost instead:")
    for code, w, h, ms, size in fills:
        print("  %-4s %dx%d: %.3f ms per frame (%d bytes)" % (code.strip(), w, h, ms, size))
    print()
    print("worst cpu ratio camsnap/OpenCV over formats and sizes (below 1: camsnap cheaper):")
    print("e2e_series_cpu_vs_opencv: %.2f" % worst["captureSeries"])
    print("e2e_stream_cpu_vs_opencv: %.2f" % worst["captureStream"])
    print("e2e_camera_read_cpu_vs_opencv: %.2f" % worst["Camera.read"])
    print("e2e_camera_series_cpu_vs_opencv: %.2f" % worst["Camera"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
