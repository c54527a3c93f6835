"""The web side of `camsnap view`: an HTTP server, in a process of its own, that hands the
latest raw frames to the page and writes snapshots and recordings.

Only the person who started the command gets anything: every request needs the run's token
(from the printed URL, then from a cookie the page's own requests carry) and a Host header
that names this machine (or the address given with --host), so a foreign web page that
rebinds its own name to 127.0.0.1 cannot read the camera. Whatever writes a file is a POST
with this view's own Origin or none. The number of open requests is capped, so a flood of
connections costs neither threads nor memory; the capture runs in another process anyway.
"""
import collections
import datetime
import hmac
import html
import http.server
import io
import ipaddress
import json
import os
import queue
import re
import secrets
import socket
import socketserver
import sys
import tempfile
import threading
import typing
import urllib.parse

import numpy as np

from camsnap_cli.colour_maps import COLOUR_MAPS, colour_bar, map_index
from camsnap_cli.images import text_size

HERE = os.path.dirname(os.path.abspath(__file__))
# The page and its own script and style: a strict Content-Security-Policy allows no inline code.
STATIC = {"/": ("view.html", "text/html; charset=utf-8"),
          "/view.js": ("view.js", "text/javascript; charset=utf-8"),
          "/view.css": ("view.css", "text/css; charset=utf-8")}

TOKEN_BYTES = 32                 # 256 bits from secrets
LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")
HOST_HEADER = re.compile(r"(?P<name>\[[0-9a-f:.]+\]|[^\[\]:]+)(?::[0-9]{1,5})?\Z")
# Open requests at once; the page keeps one or two. Beyond this a connection is answered
# 503 and closed at once, without a thread.
MAX_OPEN_REQUESTS = 16
# A client that sends nothing for this long loses its connection (and its slot).
REQUEST_TIMEOUT_S = 10
MAX_BODY_BYTES = 4096
# How long a request for a newer frame waits before it gets the current one again; short
# enough for the page to notice a stopped server.
FRAME_WAIT_S = 2.0
FPS_WINDOW = 30                  # frames per second are counted over the latest 30 frames
RECENT_FRAMES = 4                # a snapshot may name one of the latest few frames
# Frames waiting for the disk, at most this many bytes of them, before a recording drops one.
RECORD_QUEUE_BYTES = 64 << 20

SECURITY_HEADERS = (
    ("Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self'; "
                                "img-src 'self'; connect-src 'self'; base-uri 'none'; "
                                "form-action 'none'; frame-ancestors 'none'"),
    ("Cross-Origin-Resource-Policy", "same-origin"),
    ("Cross-Origin-Opener-Policy", "same-origin"),
    ("Referrer-Policy", "no-referrer"),
    ("X-Content-Type-Options", "nosniff"),
    ("X-Frame-Options", "DENY"),
    ("Cache-Control", "no-store"),
)

REFUSED_PAGE = ("<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                "<title>camsnap view</title></head><body><p>Open the URL that "
                "<code>camsnap view</code> printed, with its <code>?token=</code>.</p></body></html>")
FOREIGN_HOST_PAGE = ("<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                     "<title>camsnap view</title></head><body><p>This view answers only to "
                     "127.0.0.1, localhost and [::1] (and a --host address). Open the URL that "
                     "<code>camsnap view</code> printed.</p></body></html>")


# ---------------------------------------------------------------------------
# Pictures

def encode_png(picture, compress_level=1):
    from PIL import Image
    out = io.BytesIO()
    # A uint16 array becomes a 16-bit greyscale PNG, exact; level 1 keeps encoding fast.
    Image.fromarray(np.ascontiguousarray(picture)).save(out, format="PNG", compress_level=compress_level)
    return out.getvalue()


def preview_picture(frame, lut, lo, hi, calibration):
    """The frame as the page shows it: colour map over lo..hi, a colour bar beside it with
    the maximum written at its top and the minimum at its foot (calibrated)."""
    from PIL import Image, ImageDraw
    picture = lut[map_index(frame, lo, hi)]
    height, width = picture.shape[:2]
    labels = [calibration.text(hi), calibration.text(lo)]
    sizes = [text_size(text) for text in labels]
    text_width = max(size[0] for size in sizes)
    text_height = max(size[1] for size in sizes)
    margin, bar_width = 6, 16
    canvas = np.zeros((max(height, 2 * text_height + 4), width + 3 * margin + bar_width + text_width, 3),
                      dtype=np.uint8)
    canvas[:height, :width] = picture
    canvas[:height, width + margin:width + margin + bar_width] = colour_bar(lut, height, bar_width)
    image = Image.fromarray(canvas)
    draw = ImageDraw.Draw(image)
    text_left = width + 2 * margin + bar_width
    draw.text((text_left, 0), labels[0], fill=(255, 255, 255))
    draw.text((text_left, canvas.shape[0] - text_height - 2), labels[1], fill=(255, 255, 255))
    return image


# ---------------------------------------------------------------------------
# Who may ask

def _host_name(address):
    """An address as it stands in a Host header: IPv6 in brackets."""
    return "[%s]" % address if ":" in address else address


class Access:
    """The run's token and the Host names this view answers to."""

    def __init__(self, port, host=None):
        self.token = secrets.token_urlsafe(TOKEN_BYTES)
        self.cookie_name = "camsnap_view_%d" % port  # cookies ignore ports: one per view
        self.names = set(LOOPBACK_NAMES)
        self.any_address = False
        if host:
            if ipaddress.ip_address(host).is_unspecified:
                # Serving on every address: a Host that is an address literal cannot be a
                # rebound name, so any of them is this machine as the browser reached it.
                self.any_address = True
            else:
                self.names.add(_host_name(str(ipaddress.ip_address(host))))

    def host_allowed(self, hosts):
        """Whether the request's Host headers (a list) name this view, with any port: an ssh
        tunnel may forward another local port to this one."""
        if len(hosts) != 1:
            return False
        match = HOST_HEADER.match(hosts[0].strip().lower())
        if not match:
            return False
        name = match.group("name")
        if name in self.names:
            return True
        if self.any_address:
            try:
                ipaddress.ip_address(name.strip("[]"))
                return True
            except ValueError:
                return False
        return False

    def token_in(self, query, cookie_header):
        """(accepted, from_query): the token from ?token= or from this view's cookie,
        compared in constant time."""
        expected = self.token.encode("ascii")
        for given in query.get("token", []):
            if hmac.compare_digest(given.encode("utf-8", "surrogateescape"), expected):
                return True, True
        for part in (cookie_header or "").split(";"):
            name, _, value = part.strip().partition("=")
            if name == self.cookie_name and hmac.compare_digest(value.encode("latin-1", "replace"),
                                                                expected):
                return True, False
        return False, False

    def cookie(self):
        return "%s=%s; Path=/; HttpOnly; SameSite=Strict" % (self.cookie_name, self.token)

    @staticmethod
    def origin_allowed(origin, host):
        """A POST comes from this view's own page (Origin is this very Host) or from no page."""
        return origin is None or origin.strip().lower() == "http://" + host.strip().lower()


# ---------------------------------------------------------------------------
# Frames

class FrameHub:
    """The latest frames and the rate, in the web server process: written by the thread that
    receives them, read by HTTP threads."""

    def __init__(self):
        self._cond = threading.Condition()
        self._recent = collections.deque(maxlen=RECENT_FRAMES)  # type: typing.Deque[typing.Tuple[int, typing.Any]]
        self._held = None        # (number, frame) the page paused on
        self._number = 0
        self._times = collections.deque(maxlen=FPS_WINDOW)  # type: typing.Deque[float]
        self._closed = False
        self.recorder = None     # set by the server: gets every frame

    def publish(self, frame, captured_at):
        with self._cond:
            self._number += 1
            self._recent.append((self._number, frame))
            self._times.append(captured_at)
            self._cond.notify_all()
            number = self._number
        if self.recorder is not None:
            self.recorder.offer(number, frame)

    def close(self):
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    @property
    def closed(self):
        with self._cond:
            return self._closed

    def _fps(self):
        if len(self._times) < 2 or self._times[-1] <= self._times[0]:
            return 0.0
        return (len(self._times) - 1) / (self._times[-1] - self._times[0])

    def latest(self, after=0, wait=FRAME_WAIT_S):
        """(number, frame, fps) of the newest frame, waiting up to `wait` seconds for one
        numbered above `after`; frame is None until the first capture."""
        with self._cond:
            self._cond.wait_for(lambda: self._closed or self._number > after, timeout=wait)
            frame = self._recent[-1][1] if self._recent else None
            return self._number, frame, self._fps()

    def find(self, number):
        """Frame `number` if it is still held (one of the latest, or the paused one)."""
        with self._cond:
            for known, frame in list(self._recent) + [self._held or (None, None)]:
                if known == number:
                    return frame
        return None

    def hold(self, number):
        """Keeps frame `number` for snapshots while the page is paused on it (None: release)."""
        if number is None:
            with self._cond:
                self._held = None
            return True
        frame = self.find(number)
        if frame is None:
            return False
        with self._cond:
            self._held = (number, frame)
        return True


def frame_headers(number, frame, fps):
    return {"X-Camsnap-Frame": str(number), "X-Camsnap-Fps": "%.1f" % fps,
            "X-Camsnap-Width": str(frame.shape[1]), "X-Camsnap-Height": str(frame.shape[0]),
            "X-Camsnap-Channels": str(1 if frame.ndim == 2 else frame.shape[2])}


# ---------------------------------------------------------------------------
# Files: snapshots and recordings, never cut short, never over an existing file

def _stamp():
    return datetime.datetime.now().strftime("%Y%m%d-%H%M%S")


def place(temporary, directory, stem, extension):
    """Gives a complete temporary file its final name, stem.ext or stem-2.ext ...; a link
    never replaces a file that exists."""
    for n in range(1, 1000):
        path = os.path.join(directory, stem + ("" if n == 1 else "-%d" % n) + extension)
        try:
            os.link(temporary, path)
        except FileExistsError:
            continue
        except OSError:
            # No hard links here (FAT on a USB stick, some network file systems): claim the
            # name with an empty file first, then rename over that claim.
            try:
                os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
            except FileExistsError:
                continue
            os.replace(temporary, path)
            return path
        os.unlink(temporary)
        return path
    raise OSError("no free file name for %s%s in %s" % (stem, extension, directory))


def write_file(directory, stem, extension, data):
    """Writes bytes under a temporary name, flushed to disk, then gives it its name."""
    fd, temporary = _temporary(directory, extension)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        return place(temporary, directory, stem, extension)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def _temporary(directory, extension):
    """A hidden temporary file beside the final one, with the permissions a new file gets
    (mkstemp makes it private)."""
    fd, path = tempfile.mkstemp(prefix=".camsnap-", suffix=extension + ".part", dir=directory)
    os.fchmod(fd, 0o666 & ~_umask())
    return fd, path


def _umask():
    # Read, not set and restored: os.umask() would change it for every thread meanwhile.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    return 0o022


NPY_HEADER_BYTES = 128


def npy_header(dtype, shape):
    """A version 1.0 .npy header of fixed length, so that the count can be written again."""
    text = "{'descr': %r, 'fortran_order': False, 'shape': %r, }" % (np.dtype(dtype).str, tuple(shape))
    text = text.ljust(NPY_HEADER_BYTES - 10 - 1) + "\n"
    return b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text.encode("latin-1")


class Recording:
    """Frames appended to a .npy file as they arrive, by a thread of its own so that a slow
    disk holds up neither the frames nor the page. The file gets its name at stop, with the
    header counting exactly the frames it holds; until then it is a hidden .part file."""

    def __init__(self, directory, first):
        self.directory = directory
        self.stem = "camsnap-%s" % _stamp()
        self.shape = first.shape
        self.dtype = first.dtype.newbyteorder("<") if first.dtype.itemsize > 1 else first.dtype
        self.frames = 0
        self.dropped = 0
        self.error = None
        self.path = None
        fd, self._temporary = _temporary(directory, ".npy")
        self._file = os.fdopen(fd, "wb")
        self._file.write(npy_header(self.dtype, (0,) + self.shape))
        self._queue = queue.Queue(maxsize=max(4, RECORD_QUEUE_BYTES // first.nbytes))  # type: queue.Queue
        self._thread = threading.Thread(target=self._write_frames, name="camsnap-view-record", daemon=True)
        self._thread.start()

    def offer(self, number, frame):
        """Queues a frame; a full queue (the disk is behind) drops it and counts it."""
        if self.error is not None or frame.shape != self.shape:
            return
        try:
            self._queue.put_nowait((number, frame))
        except queue.Full:
            self.dropped += 1

    def _write_frames(self):
        while True:
            item = self._queue.get()
            if item is None:
                return
            if self.error is not None:
                continue
            _, frame = item
            try:
                self._file.write(np.ascontiguousarray(frame, dtype=self.dtype).tobytes())
                self._file.flush()
            except OSError as error:
                self.error = "cannot write %s: %s" % (self.directory, error.strerror or error)
                continue
            self.frames += 1

    def finish(self):
        """Writes what is queued, counts the frames in the header and names the file; a
        frame cut short by a full disk is cut off. Returns the path (None for no frame)."""
        self._queue.put(None)
        self._thread.join()
        try:
            with self._file:
                self._file.truncate(NPY_HEADER_BYTES + self.frames * int(np.prod(self.shape)) * self.dtype.itemsize)
                self._file.seek(0)
                self._file.write(npy_header(self.dtype, (self.frames,) + self.shape))
                self._file.flush()
                os.fsync(self._file.fileno())
            if self.frames:
                self.path = place(self._temporary, self.directory, self.stem, ".npy")
        except OSError as error:
            self.error = self.error or "cannot write %s: %s" % (self.directory, error.strerror or error)
        finally:
            if os.path.exists(self._temporary):
                os.unlink(self._temporary)
        return self.path

    def status(self):
        return {"frames": self.frames, "dropped": self.dropped, "error": self.error,
                "path": self.path}


class Recorder:
    """The view's one recording at a time; gets every frame from the FrameHub."""

    def __init__(self, directory):
        self.directory = directory
        self._lock = threading.Lock()
        self._recording = None
        self._last = None

    def offer(self, number, frame):
        recording = self._recording
        if recording is not None:
            recording.offer(number, frame)

    def start(self, first):
        with self._lock:
            if self._recording is None:
                self._recording = Recording(self.directory, first)
            return self._recording

    def stop(self):
        with self._lock:
            recording, self._recording = self._recording, None
        if recording is not None:
            recording.finish()
            self._last = recording
        return recording

    def status(self):
        recording = self._recording
        last = self._last
        if recording is not None:
            return dict(recording.status(), recording=True)
        return dict(last.status() if last else {}, recording=False)


# ---------------------------------------------------------------------------
# HTTP

class BadRequest(Exception):
    pass


class ViewHandler(http.server.BaseHTTPRequestHandler):
    server_version = "camsnap-view"

    def version_string(self):
        return self.server_version  # not the Python version: nobody else's business
    timeout = REQUEST_TIMEOUT_S

    @property
    def view(self):
        # type: () -> ViewServer
        return typing.cast(ViewServer, self.server)

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass  # one line per frame request would bury the module's own lines

    def end_headers(self):
        for name, value in SECURITY_HEADERS:
            self.send_header(name, value)
        if getattr(self, "_set_cookie", False):
            self.send_header("Set-Cookie", self.view.access.cookie())
        http.server.BaseHTTPRequestHandler.end_headers(self)

    def do_GET(self):
        self._handle(GET_ROUTES, post=False)

    def do_POST(self):
        self._handle(POST_ROUTES, post=True)

    def _handle(self, routes, post):
        access = self.view.access
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        try:
            if not access.host_allowed(self.headers.get_all("Host") or []):
                self._send(FOREIGN_HOST_PAGE.encode("utf-8"), "text/html; charset=utf-8", status=403)
                return
            accepted, from_query = access.token_in(query, self.headers.get("Cookie"))
            if not accepted:
                self._send(REFUSED_PAGE.encode("utf-8"), "text/html; charset=utf-8", status=403)
                return
            if post and not access.origin_allowed(self.headers.get("Origin"), self.headers["Host"]):
                self._send_json({"error": "refused: the request comes from another site"}, 403)
                return
            self._set_cookie = from_query
            route = routes.get(url.path)
            if route is None:
                other = POST_ROUTES if not post else GET_ROUTES
                self._send_json({"error": "not found"} if url.path not in other else
                                {"error": "use %s" % ("GET" if post else "POST")},
                                404 if url.path not in other else 405)
                return
            route(self, query)
        except BadRequest as error:
            self._send_json({"error": str(error)}, 400)
        except ImportError as error:
            # PNG (snapshots, the colour bar) needs Pillow, which the distribution installs.
            self._send_json({"error": "%s: install Pillow (pip install Pillow)" % error}, 500)
        except ConnectionError:
            pass  # the browser went away mid-answer (a reload, a closed tab)

    def _send(self, body, content_type, extra=None, status=200):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _send_json(self, value, status=200):
        self._send(json.dumps(value).encode("utf-8"), "application/json", status=status)

    def _body(self):
        """The POST body as a JSON object; BadRequest for anything else."""
        if (self.headers.get("Content-Type") or "").split(";")[0].strip() != "application/json":
            raise BadRequest("the body must be application/json")
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            raise BadRequest("bad Content-Length")
        if not 0 <= length <= MAX_BODY_BYTES:
            raise BadRequest("the body must be at most %d bytes" % MAX_BODY_BYTES)
        try:
            value = json.loads(self.rfile.read(length).decode("utf-8") or "{}")
        except ValueError:
            raise BadRequest("the body is not JSON")
        if not isinstance(value, dict):
            raise BadRequest("the body must be a JSON object")
        return value

    # -- GET ---------------------------------------------------------------------------

    def static(self, query):
        name, content_type = STATIC[urllib.parse.urlsplit(self.path).path]
        with open(os.path.join(HERE, name), "rb") as source:
            body = source.read()
        if name == "view.html":
            body = self.view.fill_page(body.decode("utf-8")).encode("utf-8")
        self._send(body, content_type)

    def frame(self, query):
        """The newest raw frame (little-endian uint16, or RGB bytes) numbered above ?after=."""
        number, frame, fps = self.view.hub.latest(after=_int_arg(query, "after", 0))
        if frame is None:
            self._send_json({"error": "no frame yet"}, 503)
            return
        body = np.ascontiguousarray(frame, dtype=frame.dtype.newbyteorder("<")).tobytes()
        self._send(body, "application/octet-stream", frame_headers(number, frame, fps))

    def colour_bar(self, query):
        lut = COLOUR_MAPS.get(query.get("map", ["inferno"])[0])
        if lut is None:
            raise BadRequest("no such colour map")
        height = max(1, min(_int_arg(query, "height", 256), 4096))
        self._send(encode_png(colour_bar(lut, height)), "image/png")

    def settings(self, query):
        self._send_json(self.view.settings_for_page())

    def stats(self, query):
        number, _, fps = self.view.hub.latest(wait=0)
        self._send_json({"frame": number, "fps": round(fps, 1), "stopping": self.view.hub.closed,
                         "record": self.view.recorder.status()})

    # -- POST --------------------------------------------------------------------------

    def hold(self, query):
        number = self._body().get("frame")
        if number is not None and not _is_int(number):
            raise BadRequest("frame must be a frame number or null")
        if not self.view.hub.hold(number):
            self._send_json({"error": "frame %d is no longer there" % number}, 409)
            return
        self._send_json({"held": number})

    def snapshot(self, query):
        body = self._body()
        number = body.get("frame")
        if not _is_int(number):
            raise BadRequest("frame must be a frame number")
        frame = self.view.hub.find(number)
        if frame is None:
            self._send_json({"error": "frame %d is no longer there: pause on it first" % number}, 409)
            return
        try:
            paths = self.view.write_snapshot(number, frame, body)
        except OSError as error:
            self._send_json({"error": "cannot write %s: %s" % (self.view.save_dir,
                                                               error.strerror or error)}, 500)
            return
        self._send_json({"frame": number, "files": paths})

    def record(self, query):
        action = self._body().get("action")
        if action == "start":
            _, frame, _ = self.view.hub.latest(wait=0)
            if frame is None:
                self._send_json({"error": "no frame yet"}, 409)
                return
            try:
                self.view.recorder.start(frame)
            except OSError as error:
                self._send_json({"error": "cannot write %s: %s" % (self.view.save_dir,
                                                                   error.strerror or error)}, 500)
                return
        elif action == "stop":
            self.view.recorder.stop()
        else:
            raise BadRequest("action must be start or stop")
        self._send_json(self.view.recorder.status())


def _int_arg(query, name, default):
    try:
        return int(query.get(name, [default])[0])
    except ValueError:
        return default


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


GET_ROUTES = {"/": ViewHandler.static, "/view.js": ViewHandler.static, "/view.css": ViewHandler.static,
              "/frame": ViewHandler.frame, "/colorbar.png": ViewHandler.colour_bar,
              "/settings.json": ViewHandler.settings, "/stats.json": ViewHandler.stats}
POST_ROUTES = {"/hold": ViewHandler.hold, "/snapshot": ViewHandler.snapshot, "/record": ViewHandler.record}


class ViewServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    """Threads per request (socketserver's mix-in: Python 3.6 has no ThreadingHTTPServer),
    at most MAX_OPEN_REQUESTS at once."""
    daemon_threads = True
    block_on_close = False    # Ctrl-C must not wait for a browser's open request
    request_queue_size = 64   # a page's burst of connections is taken, not left to SYN retries

    def __init__(self, address, access, settings, calibration, save_dir):
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self.access = access
        self.settings = settings
        self.calibration = calibration
        self.save_dir = save_dir
        self.hub = FrameHub()
        self.recorder = Recorder(save_dir)
        self.hub.recorder = self.recorder
        self._slots = threading.BoundedSemaphore(MAX_OPEN_REQUESTS)
        http.server.HTTPServer.__init__(self, address, ViewHandler)

    def process_request(self, request, client_address):
        if not self._slots.acquire(blocking=False):
            try:
                request.setblocking(False)
                request.send(b"HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\n"
                             b"Connection: close\r\n\r\n")
            except OSError:
                pass
            self.shutdown_request(request)
            return
        socketserver.ThreadingMixIn.process_request(self, request, client_address)

    def process_request_thread(self, request, client_address):
        try:
            socketserver.ThreadingMixIn.process_request_thread(self, request, client_address)
        finally:
            self._slots.release()

    def handle_error(self, request, client_address):
        # A browser that leaves mid-request, or one that sends nothing in time, is normal.
        if not isinstance(sys.exc_info()[1], (ConnectionError, socket.timeout)):
            http.server.HTTPServer.handle_error(self, request, client_address)

    def fill_page(self, page):
        number, frame, fps = self.hub.latest(wait=0)
        values = {"device": self.settings["device"], "mode": self.settings["mode"],
                  "frame": str(number), "fps": "%.1f" % fps, "size": "", "min": "", "max": ""}
        if frame is not None:
            values["size"] = "%dx%d" % (frame.shape[1], frame.shape[0])
            if frame.ndim == 2:
                values["min"] = self.calibration.text(int(frame.min()))
                values["max"] = self.calibration.text(int(frame.max()))
        for key, value in values.items():
            page = page.replace("{{%s}}" % key, html.escape(value))
        return page

    def settings_for_page(self):
        return dict(self.settings, calibration=self.calibration.as_dict(), saveDir=self.save_dir,
                    colourMaps=collections.OrderedDict((name, lut.tolist())
                                                       for name, lut in COLOUR_MAPS.items()))

    def write_snapshot(self, number, frame, view):
        """The exact frame as PNG (16-bit for infrared) and, for infrared, the preview as the
        page shows it (its colour map and range). Returns the paths."""
        stem = "camsnap-%s-frame%d" % (_stamp(), number)
        paths = [write_file(self.save_dir, stem, ".png", encode_png(frame, compress_level=6))]
        if frame.ndim == 2:
            lut = COLOUR_MAPS.get(view.get("map"), COLOUR_MAPS["inferno"])
            lo, hi = view.get("lo"), view.get("hi")
            if not (_is_int(lo) and _is_int(hi) and lo <= hi):
                lo, hi = int(frame.min()), int(frame.max())
            picture = preview_picture(frame, lut, lo, hi, self.calibration)
            out = io.BytesIO()
            picture.save(out, format="PNG")
            paths.append(write_file(self.save_dir, stem + "-preview", ".png", out.getvalue()))
        return paths


def make_server(address, port, settings, calibration, save_dir, host=None):
    """The server bound to address:port; OSError when it cannot be."""
    server = ViewServer((address, port), None, settings, calibration, save_dir)
    server.access = Access(server.server_address[1], host=host)
    return server


def serve_frames(server, receive):
    """Serves from threads while receive() gives (frame, capture time) in this one, until it
    raises (EOFError: no more frames); then finishes a recording and stops serving."""
    serving = threading.Thread(target=server.serve_forever, name="camsnap-view-http", daemon=True)
    serving.start()
    try:
        while True:
            frame, captured_at = receive()
            server.hub.publish(frame, captured_at)
    except EOFError:
        pass
    finally:
        # Waiting browsers get their answer now rather than at their timeout.
        server.hub.close()
        recording = server.recorder.stop()
        if recording is not None:
            status = recording.status()
            print("camsnap view: recorded %d frames to %s" % (status["frames"], status["path"])
                  if status["path"] else "camsnap view: the recording had no frame", flush=True)
        server.shutdown()
        server.server_close()
