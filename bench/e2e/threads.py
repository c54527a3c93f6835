"""What capturing costs the rest of the program: a thread takes frames from the virtual camera
while the main thread runs a plain Python loop, against the same loop running alone.

Four ways to take the frames, each in a reader thread of this process: camsnap's
captureStream() (it keeps the interpreter lock while it waits for a frame), a
camsnap_camera.Camera read into one array with out= (no lock while it waits and converts),
CameraProcess
(camsnap_process: the camera in a child process, the thread waits in select() without the
lock and copies each frame out of shared memory) and OpenCV's VideoCapture.read() (it lets go
of the lock while it waits). At 9, 30 and 60 frames a second, 640x480 "Y16 " and 1080p "YU12"
converted to RGB. Per case: the main loop's iterations against running alone (the mean of the
alone windows just before and after that method's), its longest stall (the longest gap between
two iterations), the frames the reader got against those the camera delivered, and whether
they are exact. Then four cameras (four virtual nodes) read by four threads of one process,
each a Camera into its own out= array: every frame delivered (sequence numbers without a gap,
dropped 0) and the main loop's share. Run through bench/e2e/run --threads.
"""
import argparse
import threading
import time

import numpy as np

import camsnap
import camsnap_camera
import camsnap_vcam as vcam
import cv2
from camsnap_process import CameraProcess
from frames import ir16_from_raw, rgb_from_raw, ycbcr_planes, ycbcr_to_rgb

NODE = 0
RATES = (9, 30, 60)
CASES = [("640x480 Y16", "Y16 ", 0, 640, 480), ("1080p YU12->RGB", "YU12", 1, 1920, 1080)]
DISTINCT = 4      # the camera cycles through this many pre-rendered frames
ROW_STEP = 37     # the reader keeps every 37th row of each frame, checked after the window


def geometry(code, w, h):
    return (2 * w, 2 * w * h) if code == "Y16 " else (w, w * h * 3 // 2)


def frames_of(code, w, h):
    """DISTINCT raw frames of the camera, and the arrays the module (and, for colour, a
    Camera, which follows the driver's range) must make of them."""
    bpl, size = geometry(code, w, h)
    raw = [vcam.render(code, w, h, bpl, size, seq) for seq in range(DISTINCT)]
    if code == "Y16 ":
        return raw, [ir16_from_raw(r, w, h, bpl, 2) for r in raw]
    return raw, {"module": [rgb_from_raw(r, w, h, bpl, 1) for r in raw],
                 "camera": [ycbcr_to_rgb(*ycbcr_planes(code, r, w, h, bpl), "bt601", "limited") for r in raw]}


def set_up_camera(code, w, h, fps, raw):
    """Node 0 afresh at this rate, delivering the raw frames in turn."""
    vcam.reset()
    vcam.add_node(NODE, card=b"threads bench", fixed_fps=True, fps=fps,
                  formats=[vcam.fmt(code, [(w, h)])])
    vcam.set_frames(NODE, raw)


def main_loop(seconds):
    """The main thread's work: (iterations, longest gap in seconds)."""
    now = time.perf_counter()
    end, count, longest = now + seconds, 0, 0.0
    while now < end:
        sum(range(20))
        count += 1
        later = time.perf_counter()
        longest = max(longest, later - now)
        now = later
    return count, longest


class Reader(object):
    """A thread that takes frames with `take` until stopped; keeps a row sample of each."""

    def __init__(self, take):
        self.take, self.samples, self.error = take, [], None
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        try:
            while not self.stopping.is_set():
                frame = self.take()
                self.samples.append(frame[::ROW_STEP].copy())
        except Exception as error:  # reported in the table
            self.error = error

    def measure(self, seconds):
        self.thread.start()
        try:
            return main_loop(seconds)
        finally:
            self.stopping.set()
            self.thread.join(5)


def camsnap_thread(code, mode, w, h, seconds):
    if not (camsnap.open(NODE) and camsnap.init(mode, w, h) and camsnap.startStream()):
        raise SystemExit("camsnap could not start a stream")
    try:
        first = camsnap.captureStream()   # the stream's first frame, discarded within
        if first is None:
            raise SystemExit("camsnap captureStream failed")

        def take():
            frame = camsnap.captureStream()
            if frame is None:
                raise RuntimeError("captureStream failed")
            return frame
        reader = Reader(take)
        result = reader.measure(seconds)
        return result, reader, 0
    finally:
        camsnap.stopStream()
        camsnap.close()


def camera_thread(code, mode, w, h, seconds):
    with camsnap_camera.Camera(NODE) as cam:
        cam.configure(code, w, h)
        cam.start(buffers=4)
        out = np.empty_like(cam.read(timeout=5).array)
        dropped = []

        def take():
            dropped.append(cam.read(timeout=2, out=out).dropped)
            return out
        reader = Reader(take)
        result = reader.measure(seconds)
        return result, reader, sum(dropped)


def process_thread(code, mode, w, h, seconds):
    with CameraProcess(NODE, mode, w, h, start_method="forkserver") as camera:
        camera.read(timeout=5)            # the child is up and streaming
        reader = Reader(lambda: camera.read(timeout=2))
        result = reader.measure(seconds)
        return result, reader, camera.dropped


def opencv_thread(code, mode, w, h, seconds):
    cap = cv2.VideoCapture(NODE, cv2.CAP_V4L2)
    try:
        cap.set(cv2.CAP_PROP_FOURCC, cv2.VideoWriter_fourcc(*code))
        if code == "Y16 ":
            cap.set(cv2.CAP_PROP_CONVERT_RGB, 0)
        cap.set(cv2.CAP_PROP_FRAME_WIDTH, w)
        cap.set(cv2.CAP_PROP_FRAME_HEIGHT, h)
        ok, _ = cap.read()
        if not ok:
            raise SystemExit("OpenCV could not read the camera")

        def take():
            ok, frame = cap.read()
            if not ok:
                raise RuntimeError("OpenCV read failed")
            return frame
        reader = Reader(take)
        result = reader.measure(seconds)
        return result, reader, 0
    finally:
        cap.release()


METHODS = [("camsnap in a thread", camsnap_thread), ("Camera in a thread", camera_thread),
           ("CameraProcess", process_thread),
           ("OpenCV in a thread", opencv_thread)]


def exactness(name, reader, expected, code):
    """Every kept row sample against the frames the camera sends."""
    if name.startswith("OpenCV") and code != "Y16 ":
        return "n/a (its own colour conversion)"
    if name.startswith("Camera ") and code != "Y16 ":
        expected = expected["camera"]  # the range V4L2 defaults to: limited
    elif code != "Y16 ":
        expected = expected["module"]
    wanted = [e[::ROW_STEP] for e in expected]
    for i, sample in enumerate(reader.samples):
        if not any(sample.shape == w.shape and np.array_equal(sample, w) for w in wanted):
            return "NO (frame %d)" % i
    return "yes"


FOUR_RATE = 30
FOUR_BUFFERS = 8  # a reader may be off the processor for 8 frame times (270 ms) without a loss


def four_cameras(label, code, w, h, raw, seconds):
    """Four nodes at FOUR_RATE, a reader thread each: (main loop vs alone, longest stall,
    per camera (frames, first and last sequence, gaps in the sequence, dropped summed))."""
    vcam.reset()
    for node in range(4):
        vcam.add_node(node, card=b"threads bench %d" % node, fixed_fps=True, fps=FOUR_RATE,
                      formats=[vcam.fmt(code, [(w, h)])])
        vcam.set_frames(node, raw)
    alone_before = main_loop(seconds)[0]
    cams = [camsnap_camera.Camera(node) for node in range(4)]
    try:
        readers, seen = [], []
        for cam in cams:
            cam.configure(code, w, h)
            cam.start(buffers=FOUR_BUFFERS)
            out = np.empty_like(cam.read(timeout=5).array)
            numbers = []
            seen.append(numbers)

            def take(cam=cam, out=out, numbers=numbers):
                frame = cam.read(timeout=2, out=out)
                numbers.append((frame.sequence, frame.dropped))
                return out
            readers.append(Reader(take))
        for reader in readers[1:]:
            reader.thread.start()
        count, stall = readers[0].measure(seconds)
        for reader in readers[1:]:
            reader.stopping.set()
            reader.thread.join(5)
    finally:
        for cam in cams:
            cam.close()
    alone_after = main_loop(seconds)[0]
    per_camera = []
    for reader, numbers in zip(readers, seen):
        seqs = [n for n, _ in numbers]
        gaps = sum(1 for a, b in zip(seqs, seqs[1:]) if b != a + 1)
        per_camera.append((len(seqs), seqs[0] if seqs else -1, seqs[-1] if seqs else -1, gaps,
                           sum(d for _, d in numbers), reader.error))
    return count / ((alone_before + alone_after) / 2.0), stall, per_camera


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=3.0, help="length of each window (default 3)")
    args = ap.parse_args()
    four_rows = []
    print("| frames | rate | method | main loop vs alone | longest stall | frames got / sent "
          "| dropped (Camera, CameraProcess) | exact |")
    print("|---|---|---|---|---|---|---|---|")
    for label, code, mode, w, h in CASES:
        raw, expected = frames_of(code, w, h)
        for fps in RATES:
            set_up_camera(code, w, h, fps, raw)
            # Alone windows between the methods: each is set against the two beside it,
            # so a change of the machine's load during the block moves both alike.
            alone = [main_loop(args.seconds)[0]]
            rows = []
            for name, method in METHODS:
                (count, stall), reader, dropped = method(code, mode, w, h, args.seconds)
                set_up_camera(code, w, h, fps, raw)
                alone.append(main_loop(args.seconds)[0])
                base = (alone[-2] + alone[-1]) / 2.0
                rows.append((name, count / base, stall, len(reader.samples), dropped, reader,
                             exactness(name, reader, expected, code)))
            for name, ratio, stall, got, dropped, reader, exact in rows:
                due = int(round(fps * args.seconds))
                print("| %s | %d fps | %s | %.1f%% | %.0f ms | %d / ~%d | %d | %s%s |" % (
                    label, fps, name, 100.0 * ratio, stall * 1e3, got, due, dropped, exact,
                    "" if reader.error is None else " (%s)" % reader.error), flush=True)
        four_rows.append((label, four_cameras(label, code, w, h, raw, args.seconds)))
    print()
    print("Four cameras, one Camera thread each, %d fps, %d buffers, %.0f s:"
          % (FOUR_RATE, FOUR_BUFFERS, args.seconds))
    print("| frames | main loop vs alone | longest stall | camera | frames got | sequence "
          "| gaps | dropped |")
    print("|---|---|---|---|---|---|---|---|")
    for label, (ratio, stall, per_camera) in four_rows:
        for node, (got, first, last, gaps, dropped, error) in enumerate(per_camera):
            print("| %s | %.1f%% | %.0f ms | %d | %d | %d..%d | %d | %d%s |" % (
                label, 100.0 * ratio, stall * 1e3, node, got, first, last, gaps, dropped,
                "" if error is None else " (%s)" % error), flush=True)


if __name__ == "__main__":
    main()
