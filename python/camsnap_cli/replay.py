"""camsnap virtual --replay: a recording served through the virtual camera as live cameras.

Each recorded camera becomes a node that offers exactly the recorded format, size and rate and
takes its frames from a feed (camsnap_vcam.Feed, a Unix socket): the node connects at a
process's first STREAMON, and a thread here then reads the recording one frame at a time and
sends each with its recorded sequence number and timestamp. The node paces the frames by those
timestamps and holds the sender back meanwhile, so memory stays at a few frames whatever the
length. Each process that streams connects once and gets the recording from its start."""
import itertools
import os
import shutil
import tempfile
import threading

from camsnap_cli.common import CliError, EXIT_USAGE

H5PY_NEEDED = "camsnap virtual --replay needs h5py: pip install 'camsnap[record]'"

# The recorded Y'CbCr variant, as Camera.configure() names it, in the description's words.
_QUANTIZATION = {"full": "full_range", "limited": "lim_range"}
_ENCODING = {"bt601": "601", "bt709": "709"}


def node_number(name):
    """The node of a recorded camera's group: "video2" -> 2; None for another name."""
    digits = name[len("video"):] if name.startswith("video") else ""
    return int(digits) if digits.isdigit() else None


def served_format(camera):
    """(fourcc, width, height) the node offers for a recorded camera: the recorded fourcc for
    bytes as delivered (--raw), else the format whose bytes are the stored array's."""
    attrs = camera.attrs
    if attrs.get("raw"):
        return str(attrs["format"]), int(attrs["width"]), int(attrs["height"])
    shape, kind = camera.frames.shape, camera.frames.dtype
    if kind == "uint16" and len(shape) == 3:
        return "Y16 ", shape[2], shape[1]
    if kind == "uint8" and len(shape) == 3:
        return "GREY", shape[2], shape[1]
    if kind == "uint8" and len(shape) == 4 and shape[3] == 3:
        return "RGB3", shape[2], shape[1]
    raise CliError("%s: frames of %s %s are no format the virtual camera serves" % (
        camera.name, kind, "x".join(str(n) for n in shape[1:])))


def recorded_fps(camera):
    """The rate the recording was made at: the driver's answer, else the timestamps' median."""
    return float(camera.attrs.get("fps") or camera.fps or 0.0)


def node_description(camera, node, feed_path, speed=1.0):
    """The description of the node that serves `camera` (a camsnap_record.CameraRecording)."""
    fourcc, width, height = served_format(camera)
    description = {"node": node, "card": str(camera.attrs.get("card") or "camsnap replay"),
                   "formats": [{"fourcc": fourcc, "sizes": [[int(width), int(height)]]}],
                   "fps": recorded_fps(camera) * speed, "fixed_fps": True, "feed": feed_path}
    if camera.attrs.get("raw"):
        quantization = _QUANTIZATION.get(camera.attrs.get("quantization"))
        encoding = _ENCODING.get(camera.attrs.get("encoding"))
        if quantization:
            description["quantization"] = quantization
        if encoding:
            description["ycbcr_enc"] = encoding
    return description


def records(camera, speed=1.0, loop=False):
    """(frame bytes, sequence, timestamp_ns, flags) of each recorded frame in order, read from
    the file as they are reached. The timestamps keep the recorded spacing divided by `speed`;
    with `loop` the recording starts again after its end, sequence numbers and timestamps going
    on from where the pass before ended (one frame interval after its last frame)."""
    import camsnap_vcam
    count = len(camera)
    if count == 0:
        return
    sequence, timestamp, error = camera.sequence, camera.timestamp, camera.error
    used = camera.bytesused if camera.attrs.get("raw") else None
    fps = recorded_fps(camera)
    interval = 1e9 / fps if fps > 0 else 0
    sequence_period = int(sequence[-1]) - int(sequence[0]) + 1
    time_period = int(timestamp[-1]) - int(timestamp[0]) + int(round(interval))
    first = int(timestamp[0])
    for done in (itertools.count() if loop else (0,)):
        for i in range(count):
            frame = camera[i]
            data = frame[:int(used[i])].tobytes() if used is not None else frame.tobytes()
            elapsed = int(timestamp[i]) - first + done * time_period
            yield (data, (int(sequence[i]) + done * sequence_period) & 0xFFFFFFFF,
                   int(round(elapsed / speed)), camsnap_vcam.Feed.ERROR if error[i] else 0)


class Replay(object):
    """The recording's cameras as nodes: description() for the virtual camera, and the feeds
    served from threads of this process between start() and close()."""

    def __init__(self, path, names=(), device=None, speed=1.0, loop=False):
        try:
            import camsnap_record
        except ImportError:
            raise CliError(H5PY_NEEDED)
        try:
            self.recording = camsnap_record.open(path)
        except (OSError, KeyError) as error:
            raise CliError("cannot read the recording %s: %s" % (path, error))
        self.speed, self.loop = speed, loop
        self.feeds = []
        self._lock = threading.Lock()
        self._closed = False
        try:
            self.cameras = self._chosen(list(names), device)
        except BaseException:
            self.recording.close()
            raise
        self.directory = tempfile.mkdtemp(prefix="camsnap-replay.")  # the feeds' sockets

    def _chosen(self, names, device):
        unknown = [name for name in names if name not in self.recording.cameras]
        if unknown:
            raise CliError("%s holds no camera %s (it holds %s)" % (
                self.recording.path, ", ".join(unknown), ", ".join(self.recording.cameras)), EXIT_USAGE)
        chosen = [self.recording[name] for name in (names or self.recording.cameras)]
        if device is not None and len(chosen) != 1:
            raise CliError("-d with --replay places one camera: pick it with --camera NAME "
                           "(the recording holds %s)" % ", ".join(self.recording.cameras), EXIT_USAGE)
        placed = []
        for camera in chosen:
            node = device if device is not None else node_number(camera.name)
            if node is None:
                raise CliError("%s is no node name: replay it alone with --camera %s -d N" % (
                    camera.name, camera.name), EXIT_USAGE)
            if len(camera) == 0:
                raise CliError("%s in %s holds no frames" % (camera.name, self.recording.path))
            served_format(camera)
            placed.append((node, camera))
        return placed

    def description(self):
        return {"nodes": [node_description(camera, node, self._feed_path(node), self.speed)
                          for node, camera in self.cameras]}

    def _feed_path(self, node):
        return os.path.join(self.directory, "video%d" % node)

    def start(self):
        """Listens for the nodes' connections; each process that streams a node is served in a
        thread of its own."""
        import camsnap_vcam
        for node, camera in self.cameras:
            feed = camsnap_vcam.Feed(self._feed_path(node), socket=True)
            self.feeds.append(feed)
            threading.Thread(target=self._accept, args=(feed, camera), daemon=True).start()

    def _accept(self, listening, camera):
        while True:
            try:
                feed = listening.accept()
            except OSError:  # closed: the program has ended
                return
            threading.Thread(target=self._serve, args=(feed, camera), daemon=True).start()

    def _serve(self, feed, camera):
        try:
            frames = records(camera, self.speed, self.loop)
            while True:
                # h5py serves one thread at a time anyway; the lock keeps reads whole.
                with self._lock:
                    record = None if self._closed else next(frames, None)
                if record is None:
                    break
                feed.send(*record)
        except OSError:
            pass  # the process that streamed has gone
        finally:
            feed.close()  # the end of the recording: the node acts unplugged

    def close(self):
        for feed in self.feeds:
            feed.close()
        self.feeds = []
        with self._lock:  # no thread is reading the file meanwhile
            self._closed = True
            self.recording.close()
        shutil.rmtree(self.directory, ignore_errors=True)
