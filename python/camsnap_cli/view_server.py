"""The web side of `camsnap view`: an HTTP server whose threads hand the latest raw frames to
the page and write snapshots and recordings, for the person who started it (access.py).
Whatever writes a file is a POST. The number of open requests is capped, so a flood of
connections costs neither threads nor memory; the capture runs in another process anyway.
"""
import collections
import html
import http.server
import json
import os
import socket
import socketserver
import sys
import threading
import typing
import urllib.parse

import numpy as np

from camsnap_cli import files
from camsnap_cli.access import Access
from camsnap_cli.colour_maps import COLOUR_MAPS, colour_bar, map_index
from camsnap_cli.frame_hub import FrameHub
from camsnap_cli.pictures import encode_png, preview_picture
from camsnap_cli.recorder import Recorder

HERE = os.path.dirname(os.path.abspath(__file__))
# The page and its own script and style: a strict Content-Security-Policy allows no inline code.
STATIC = {"/": ("view.html", "text/html; charset=utf-8"),
          "/view.js": ("view.js", "text/javascript; charset=utf-8"),
          "/view.css": ("view.css", "text/css; charset=utf-8")}

# Open requests at once; the page keeps one or two. Beyond this a connection is answered
# 503 and closed at once, without a thread.
MAX_OPEN_REQUESTS = 16
# A client that sends nothing for this long loses its connection (and its slot).
REQUEST_TIMEOUT_S = 10
MAX_BODY_BYTES = 4096

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


def frame_headers(number, frame, fps):
    return {"X-Camsnap-Frame": str(number), "X-Camsnap-Fps": "%.1f" % fps,
            "X-Camsnap-Width": str(frame.shape[1]), "X-Camsnap-Height": str(frame.shape[0]),
            "X-Camsnap-Channels": str(1 if frame.ndim == 2 else frame.shape[2])}


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
        except files.WriteError as error:
            self._send_json({"error": error.message}, 500)
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
            except files.WriteError as error:
                self._send_json({"error": error.message}, 500)
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
        stem = os.path.join(self.save_dir, "camsnap-%s-frame%d" % (files.time_stamp(), number))
        paths = [files.write_new(stem + ".png", encode_png(frame, compress_level=6))]
        if frame.ndim == 2:
            lut = COLOUR_MAPS.get(view.get("map"), COLOUR_MAPS["inferno"])
            lo, hi = view.get("lo"), view.get("hi")
            if not (_is_int(lo) and _is_int(hi) and lo <= hi):
                lo, hi = int(frame.min()), int(frame.max())
            picture = preview_picture(lut[map_index(frame, lo, hi)], lut, self.calibration.text(hi),
                                      self.calibration.text(lo))
            paths.append(files.write_new(stem + "-preview.png", encode_png(picture, compress_level=6)))
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
