"""camsnap record: one or several cameras into one HDF5 file (camsnap_record's layout), each
camera read by its own camsnap_camera.Camera in its own thread, one writer (this thread)
behind a bounded queue per camera, chunks compressed by a pool of threads."""
import argparse
import collections
import concurrent.futures
import datetime
import errno
import json
import os
import queue
import shutil
import signal
import sys
import threading
import time
import typing

from camsnap_cli import __version__, files
from camsnap_cli.common import (CliError, EXIT_BUSY, EXIT_FAILURE, EXIT_INIT_REFUSED, EXIT_OK,
                                EXIT_USAGE, StatusLine, StopRequest, at_least, node_path,
                                probe_node)
from camsnap_cli.virtual import ensure_virtual

EXIT_INTERRUPTED = 130

MODE_FORMATS = {"ir16": "Y16 ", "rgb": "YU12"}
DEFAULTS = {"mode": "ir16", "format": None, "width": 640, "height": 480, "fps": None, "raw": False}
# Frames waiting for the writer, at most this many bytes of them: 4 s of 1080p colour at 30 fps.
QUEUE_BYTES = 768 << 20
# Buffers handed to the driver: the frames a camera may deliver while its reader waits for
# the interpreter lock or the processor (a quarter second at 60 fps).
BUFFERS = 16
# Waiting longer than this for a frame means the camera stopped delivering.
READ_TIMEOUT = 3.0
# The disk is called full below this much free space: what closing the file needs, and the
# frames on their way to it.
RESERVE_BYTES = 1 << 20

H5PY_NEEDED = ("camsnap record needs h5py (on CPython 3.6: h5py 3.1.0; 3.7: 3.8.0; 3.8: 3.11.0; "
               "3.9: 3.14.0; 3.10 and later: 3.15.1): pip install 'camsnap[record]'")

_now_ns = getattr(time, "time_ns", lambda: int(time.time() * 1e9))


class _CameraOption(argparse.Action):
    """Options that belong to the camera of the -d before them; given before any -d they are
    the defaults of every camera. args.cameras is [defaults, camera, camera, ...]."""

    def __call__(self, parser, namespace, values, option_string=None):
        cameras = getattr(namespace, "cameras", None)
        if cameras is None:
            cameras = namespace.cameras = [{}]
        key = self.const
        if key == "device":
            cameras.append({"device": values})
        elif key == "attr":
            cameras[-1].setdefault("attr", []).append(values)
        elif key == "raw":
            cameras[-1]["raw"] = True
        else:
            cameras[-1][key] = values


def _fourcc(text):
    if not 1 <= len(text) <= 4 or not all(" " < c < "\x7f" for c in text):
        raise argparse.ArgumentTypeError("%r is not a four-character format" % text)
    return text.ljust(4)


def _positive(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number" % text)
    if not value > 0:
        raise argparse.ArgumentTypeError("%s is not above 0" % text)
    return value


def register(subparsers):
    parser = subparsers.add_parser(
        "record", help="record one or several cameras into one HDF5 file",
        description="Record cameras into one HDF5 file (python package camsnap_record reads it; "
        "README: Recording) until Ctrl-C, --seconds or --frames. Camera options apply to the "
        "camera of the -d before them; given before the first -d, to every camera. Example: "
        "camsnap record -o run.h5 --fps 30 -d 0 --format Y16 --width 160 --height 120 --fps 9 "
        "-d 2 --mode rgb --width 1280 --height 720")
    camera = parser.add_argument_group("camera options (after -d N: that camera; before: all)")
    camera.add_argument("-d", "--device", type=at_least(0), metavar="N", action=_CameraOption,
                        const="device", dest="cameras",
                        help="record /dev/videoN; repeat for more cameras (default: 0)")
    camera.add_argument("--mode", choices=sorted(MODE_FORMATS), action=_CameraOption, const="mode",
                        dest="cameras", help="ir16: 'Y16 ' frames; rgb: 'YU12' (default ir16)")
    camera.add_argument("--format", type=_fourcc, action=_CameraOption, const="format",
                        dest="cameras", metavar="FOURCC",
                        help="any format the camera offers (Y16, GREY, YUYV, NV12, YU12, BGR3; "
                             "MJPG with --raw); wins over --mode")
    camera.add_argument("--width", type=at_least(1), action=_CameraOption, const="width", metavar="W",
                        dest="cameras", help="frame width (default 640)")
    camera.add_argument("--height", type=at_least(1), action=_CameraOption, const="height", metavar="H",
                        dest="cameras", help="frame height (default 480)")
    camera.add_argument("--fps", type=_positive, action=_CameraOption, const="fps", dest="cameras",
                        metavar="RATE", help="frame rate to ask for (default: the driver's)")
    camera.add_argument("--raw", nargs=0, action=_CameraOption, const="raw", dest="cameras",
                        help="keep the bytes as delivered instead of arrays")
    camera.add_argument("--attr", action=_CameraOption, const="attr", dest="cameras",
                        metavar="NAME=VALUE",
                        help="an attribute of the camera's group (calibration: --attr "
                             "scale=0.01); VALUE is read as JSON when it parses (numbers, "
                             "lists, \"text\"), else as text; @FILE.json adds a JSON object's "
                             "entries")
    parser.add_argument("-o", "--output", required=True, metavar="FILE",
                        help="the HDF5 file to write (never replaced)")
    parser.add_argument("--seconds", type=_positive, metavar="S", help="stop after S seconds")
    parser.add_argument("--frames", type=at_least(1), metavar="N",
                        help="stop after N frames of each camera")
    parser.add_argument("--level", type=int, choices=range(10), default=None, metavar="0-9",
                        help="deflate level (default 1)")
    parser.add_argument("--virtual", action="store_true",
                        help="record the virtual camera (libcamsnap_vcam.so) on each -d")
    parser.set_defaults(func=run, cameras=None)


# ---------------------------------------------------------------------------
# What each camera is asked for

RESERVED = frozenset(("device", "card", "format", "width", "height", "fps", "bytesperline",
                      "sizeimage", "quantization", "encoding", "raw", "clock", "deflate_level",
                      "deflater"))


def _attribute_value(text):
    try:
        value = json.loads(text)
    except ValueError:
        return text
    if isinstance(value, dict) or value is None:
        raise ValueError("an attribute is a number, text or a list, not %s" % text)
    return value


def _attributes(entries):
    """--attr entries as {name: value}; CliError (usage) for a malformed one."""
    out = {}
    for entry in entries:
        if entry.startswith("@"):
            try:
                with open(entry[1:]) as handle:
                    table = json.load(handle)
            except (OSError, ValueError) as error:
                raise CliError("--attr %s: %s" % (entry, error), EXIT_USAGE)
            if not isinstance(table, dict):
                raise CliError("--attr %s: the file must hold a JSON object" % entry, EXIT_USAGE)
            pairs = list(table.items())
        else:
            name, equals, text = entry.partition("=")
            if not equals or not name:
                raise CliError("--attr %r: write NAME=VALUE" % entry, EXIT_USAGE)
            try:
                pairs = [(name, _attribute_value(text))]
            except ValueError as error:
                raise CliError("--attr %s: %s" % (name, error), EXIT_USAGE)
        for name, value in pairs:
            if name in RESERVED:
                raise CliError("--attr %s: the recording writes that attribute itself" % name,
                               EXIT_USAGE)
            if isinstance(value, dict) or value is None:
                raise CliError("--attr %s: an attribute is a number, text or a list" % name, EXIT_USAGE)
            out[name] = value
    return out


def camera_requests(args):
    """Each camera's settings: the defaults, then what was given before the first -d, then
    the camera's own options."""
    given = args.cameras or [{}]
    common = dict(DEFAULTS, **given[0])
    cameras = [dict(common, **own) for own in given[1:]] or [dict(common, device=0)]
    devices = [c["device"] for c in cameras]
    if len(set(devices)) != len(devices):
        raise CliError("a camera can be recorded once: -d %s" % " -d ".join(map(str, devices)),
                       EXIT_USAGE)
    owns = given[1:] or [{}]
    for camera, own in zip(cameras, owns):
        camera["format"] = camera["format"] or MODE_FORMATS[camera["mode"]]
        camera["attributes"] = _attributes(given[0].get("attr", []) + own.get("attr", []))
    return cameras


# ---------------------------------------------------------------------------
# Opening the cameras

def _open_camera(request, cards):
    import camsnap_camera
    device = request["device"]
    probe_node(device)
    try:
        camera = camsnap_camera.Camera(device)
    except camsnap_camera.CameraError as error:
        raise CliError("cannot open %s: %s" % (node_path(device), error.strerror))
    try:
        answer = camera.configure(request["format"], request["width"], request["height"],
                                  fps=request["fps"])
    except camsnap_camera.CameraError as error:
        offered = "; ".join("%s %s" % (f["format"].strip(), " ".join(
            "%dx%d" % (s["width"], s["height"]) for s in f["sizes"])) for f in camera.formats())
        camera.close()
        code = EXIT_BUSY if error.errno == errno.EBUSY else EXIT_INIT_REFUSED
        raise CliError("%s refused %s at %dx%d (%s); it offers: %s" % (
            node_path(device), request["format"].strip(), request["width"], request["height"],
            error.strerror, offered or "no capture formats"), code)
    if (answer["width"], answer["height"]) != (request["width"], request["height"]):
        sys.stderr.write("camsnap: note: %s chose %dx%d instead of the %dx%d asked\n" % (
            node_path(device), answer["width"], answer["height"], request["width"], request["height"]))
    attributes = {"device": camera.path, "card": cards.get(device, ""), "raw": int(request["raw"]),
                  "clock": "monotonic"}
    attributes.update((key, answer.get(key)) for key in (
        "format", "width", "height", "fps", "bytesperline", "sizeimage", "quantization", "encoding"))
    controls = {c["key"]: c["value"] for c in camera.controls if c["value"] is not None}
    return camera, attributes, controls


def _cards():
    import camsnap
    return {camera["id"]: camera["card"] for camera in camsnap.list() or []}


# ---------------------------------------------------------------------------
# Reading: one thread per camera

class Reader(threading.Thread):
    """Reads one camera into its own queue (so that a camera that sends much cannot crowd out
    one that sends little). A full queue (the writer is behind) loses the frame, and counts it
    in the next frame's `lost`."""

    def __init__(self, index, camera, raw, limit, capacity, arrived):
        threading.Thread.__init__(self, name="camsnap-record-%d" % index, daemon=True)
        self.index, self.camera, self.raw, self.limit = index, camera, raw, limit
        self.queue = queue.Queue(maxsize=capacity)  # type: queue.Queue
        self.arrived = arrived
        self.stopping = False
        self.error = None
        self.count = self.dropped = self.lost = 0
        self._lost_since = 0

    def run(self):
        try:
            self.camera.start(buffers=BUFFERS)
            while not self.stopping and (self.limit is None or self.count < self.limit):
                frame = self.camera.read(timeout=READ_TIMEOUT, raw=self.raw)
                arrival = _now_ns()
                self.count += 1
                self.dropped += frame.dropped
                row = (frame.sequence, frame.timestamp, arrival, frame.dropped, self._lost_since,
                       int(frame.error), frame.bytesused)
                try:
                    self.queue.put_nowait((self.index, frame.array, row))
                    self._lost_since = 0
                    self.arrived.set()
                except queue.Full:
                    self.lost += 1
                    self._lost_since += 1
        except Exception as error:  # the camera failed: the writer reports it and stops all
            if not self.stopping:
                self.error = error
        finally:
            try:
                self.camera.stop()
            except Exception:
                pass


# ---------------------------------------------------------------------------
# Writing

def _chunk(array, raw_size, level):
    from camsnap_record.writer import compress_chunk
    if raw_size is not None:
        import numpy
        padded = numpy.zeros(raw_size, numpy.uint8)
        padded[:min(len(array), raw_size)] = array[:raw_size]
        array = padded
    return compress_chunk(array, level)


def _megabytes(count):
    return "%.1f MB" % (count / 1e6) if count < 10e9 else "%.1f GB" % (count / 1e9)


class Session(object):
    """The recording in progress: readers and their queues, the compression pool and the
    file."""

    def __init__(self, args, writer, cameras, shapes, level):
        import numpy
        self.args, self.writer, self.level = args, writer, level
        self.names = [name for name, _, _ in shapes]
        self.raw_sizes = [size for _, _, size in shapes]
        sizes = [int(numpy.prod(shape)) * numpy.dtype(dtype).itemsize for _, (shape, dtype), _ in shapes]
        self.sizes = sizes
        self.credit = [0] * len(sizes)
        self.reserve = RESERVE_BYTES + 4 * max(sizes)
        self.arrived = threading.Event()
        share = QUEUE_BYTES // len(sizes)
        self.readers = [Reader(i, camera, raw, args.frames, max(8, share // size), self.arrived)
                        for i, ((camera, raw), size) in enumerate(zip(cameras, sizes))]
        self.workers = os.cpu_count() or 2
        self.pool = concurrent.futures.ThreadPoolExecutor(self.workers)
        self.pending = collections.deque()  # type: collections.deque
        self.bytes_written = 0
        self.directory = os.path.dirname(os.path.abspath(writer.path))
        self.warned_lost = 0
        self.failure = None  # type: typing.Optional[BaseException]

    def stop_readers(self):
        for reader in self.readers:
            reader.stopping = True

    def free_bytes(self):
        return shutil.disk_usage(self.directory).free

    def _write_ready(self, drain):
        while self.pending and (drain or self.pending[0][2].done() or len(self.pending) >= 2 * self.workers):
            camera, row, future = self.pending.popleft()
            chunk = future.result()
            if self.free_bytes() < self.reserve + len(chunk):
                raise DiskFull()
            self.writer.add(camera, chunk, row)
            self.bytes_written += len(chunk)

    def run(self, stop, status):
        """Records until stopped; returns why: "done", "interrupted", "full", or "failed" (a
        camera: `failure`)."""
        started = time.monotonic()
        for reader in self.readers:
            reader.start()
        reason = "done"
        took = False
        while True:
            if stop.requested and reason == "done":
                reason = "interrupted"
                self.stop_readers()
            if self.args.seconds is not None and time.monotonic() - started >= self.args.seconds:
                self.stop_readers()
            if reason == "done" and self._failed():
                reason = "failed"
                self.stop_readers()
            if not took:
                self.arrived.wait(0.05)
                self.arrived.clear()
            took = self._take_fairly()
            idle = not took and not any(r.is_alive() for r in self.readers)
            try:
                self._write_ready(drain=idle)
                self.writer.maybe_flush()
            except DiskFull:
                self.stop_readers()
                self._discard_queue()
                return "full"
            if status.due():
                status.show(self.progress(started))
            self._warn_lost()
            if idle and not any(r.queue.qsize() for r in self.readers):
                # A reader may have failed since the look at the top of this turn.
                return "failed" if reason == "done" and self._failed() else reason

    def _failed(self):
        """Whether a camera failed (its error becomes `failure`)."""
        for reader in self.readers:
            if reader.error is not None:
                self.failure = reader.error
                return True
        return False

    def _take_fairly(self):
        """Frames from each camera in turn, an equal share of bytes each turn (deficit round
        robin): when the writer cannot keep up with all, a thermal camera's small frames still
        all go in and the large colour frames are the ones lost."""
        took = False
        for reader, size in zip(self.readers, self.sizes):
            if not reader.queue.qsize():
                self.credit[reader.index] = 0
                continue
            self.credit[reader.index] += max(self.sizes)
            while self.credit[reader.index] >= size:
                try:
                    camera, array, row = reader.queue.get_nowait()
                except queue.Empty:
                    break
                self.credit[reader.index] -= size
                took = True
                self.pending.append((camera, row, self.pool.submit(
                    _chunk, array, self.raw_sizes[camera], self.level)))
        return took

    def _discard_queue(self):
        for reader in self.readers:
            reader.join()
        self.pending.clear()
        for reader in self.readers:
            while reader.queue.qsize():
                reader.queue.get_nowait()

    def _warn_lost(self):
        lost = sum(r.lost for r in self.readers)
        if lost > self.warned_lost and lost - self.warned_lost >= max(1, self.warned_lost):
            sys.stderr.write("\ncamsnap: the disk is not keeping up: %d frames lost so far\n" % lost)
            sys.stderr.flush()
            self.warned_lost = lost

    def progress(self, started):
        elapsed = max(time.monotonic() - started, 1e-9)
        counts = [track.count for track in self.writer.tracks]
        return "frames %s  fps %s  dropped %d  lost %d  written %s  free %s" % (
            "+".join(map(str, counts)), "+".join("%.1f" % (c / elapsed) for c in counts),
            sum(r.dropped for r in self.readers), sum(r.lost for r in self.readers),
            _megabytes(self.bytes_written), _megabytes(self.free_bytes()))

    def summary(self):
        parts = []
        for name, track, reader in zip(self.names, self.writer.tracks, self.readers):
            parts.append("%s %d frames (%s)" % (name, track.count, _shape_text(track)))
        return "%s; %d dropped by the drivers, %d lost; %s" % (
            ", ".join(parts), sum(r.dropped for r in self.readers),
            sum(r.lost for r in self.readers), _megabytes(self.bytes_written))


class DiskFull(Exception):
    pass


def _shape_text(track):
    shape = track.shape
    if len(shape) == 1:
        return "%d bytes raw" % shape[0]
    return "%dx%d %s%s" % (shape[1], shape[0], "RGB " if len(shape) == 3 else "", track.dtype)


def _failure_text(error):
    where = getattr(error, "filename", None)
    text = getattr(error, "strerror", None) or str(error)
    return "%s: %s" % (where, text) if where else text


def _group_name(device):
    return os.path.basename(node_path(device))


def _frame_layout(camera, attributes, raw):
    """(shape, dtype) of the frames dataset, and the padded size of a raw frame (None)."""
    import numpy
    import camsnap_camera
    if raw:
        return ((attributes["sizeimage"],), numpy.uint8), attributes["sizeimage"]
    # The array's shape is the camera object's to say ("BGR3" carries more rows than its height).
    try:
        camera.start()
        try:
            frame = camera.read(timeout=READ_TIMEOUT)
        finally:
            camera.stop()
    except camsnap_camera.CameraError as error:
        raise CliError("%s: no first frame: %s" % (camera.path, error.strerror))
    return (tuple(frame.array.shape), frame.array.dtype), None


def run(args):
    try:
        import h5py  # noqa: F401
        from camsnap_record.writer import DEFAULT_LEVEL, Writer, deflater
    except ImportError:
        raise CliError(H5PY_NEEDED, EXIT_FAILURE)
    requests = camera_requests(args)
    if os.path.lexists(args.output):
        raise CliError("%s exists: a recording never replaces a file; choose another name" % args.output)
    files.check_writable(args.output)
    ensure_virtual(args, [r["device"] for r in requests])
    level = DEFAULT_LEVEL if args.level is None else args.level
    cards = _cards()
    opened = []
    writer = None
    try:
        layouts = []
        for request in requests:
            camera, attributes, controls = _open_camera(request, cards)
            opened.append(camera)
            layouts.append((request, attributes, controls, _frame_layout(camera, attributes, request["raw"])))
        try:
            writer = Writer(args.output, {
                "camsnap_version": __version__, "started": datetime.datetime.now().isoformat(),
                "command": " ".join(["camsnap"] + sys.argv[1:])})
        except OSError as error:
            raise files.write_error(args.output, error)
        shapes = []
        for request, attributes, controls, ((shape, dtype), raw_size) in layouts:
            attributes = dict(attributes, deflate_level=level, deflater=deflater(level),
                              **request["attributes"])
            writer.add_camera(_group_name(request["device"]), shape, dtype, attributes, controls, level)
            shapes.append((_group_name(request["device"]), (shape, dtype), raw_size))
        try:
            writer.publish()
        except FileExistsError:
            raise CliError("%s exists: a recording never replaces a file; choose another name" % args.output)
        session = Session(args, writer, list(zip(opened, [r["raw"] for r in requests])), shapes, level)
        print("recording to %s: %s; Ctrl-C stops" % (args.output, ", ".join(
            "%s %s %dx%d%s" % (name, a["format"].strip(), a["width"], a["height"],
                               " at %g fps" % a["fps"] if a["fps"] else "")
            for (name, _, _), (_, a, _, _) in zip(shapes, layouts))))
        sys.stdout.flush()
        status = StatusLine(sys.stdout)
        with StopRequest(signal.SIGINT, signal.SIGTERM) as stop:
            try:
                reason = session.run(stop, status)
            finally:
                session.stop_readers()
                for reader in session.readers:
                    reader.join()
                session.pool.shutdown()
                status.close()
        summary = session.summary()
        free = session.free_bytes()
        writer.close()
        writer = None
    except OSError as error:
        raise CliError("cannot write %s: %s; the file holds the frames of its last flush, half a "
                       "second before" % (args.output, error))
    finally:
        if writer is not None:
            try:
                writer.close()
            except OSError:
                pass
        for camera in opened:
            camera.close()
    if reason == "interrupted":
        sys.stderr.write("camsnap: interrupted: kept %s in %s\n" % (summary, args.output))
        return EXIT_INTERRUPTED
    if reason == "full":
        raise CliError("the disk is full (%s free beside %s): stopped; kept %s" % (
            _megabytes(free), args.output, summary))
    if reason == "failed":
        raise CliError("%s; kept %s in %s" % (_failure_text(session.failure), summary, args.output))
    print("wrote %s: %s" % (args.output, summary))
    return EXIT_OK
