"""camsnap view: the camera's live picture in a browser, served on 127.0.0.1 only.

Two processes. The command's own process makes every camsnap call, on its main thread, in
the capture loop: the extension keeps one device state and no locks. It also keeps the
interpreter lock while it waits for a frame, up to a frame period each call, which would
starve HTTP threads in the same interpreter (a 9 Hz thermal camera would hold them off
most of the time). So the web server runs in a child process forked before the camera is
opened; finished frames reach it through a pipe, and its threads take them from a
FrameHub. Frames are colour-mapped and encoded as PNG when a browser asks for them.
"""
import collections
import http.server
import io
import json
import multiprocessing
import os
import signal
import sys
import threading
import time
import urllib.parse

import numpy as np

from camsnap_cli.common import (CliError, EXIT_BUFFERS, EXIT_FAILURE, EXIT_USAGE, add_camera_arguments,
                                colorbar, colorize, ensure_virtual, module_call, needs_more_buffers,
                                node_path, open_camera, start_stream)

PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "view.html")

# How long a browser's request for a newer frame waits before it gets the
# current one again; short enough for the page to notice a stopped server.
FRAME_WAIT_S = 2.0
# Frames per second are counted over this many of the latest frames.
FPS_WINDOW = 30
# A stream that fails this many times in a row (each time restarted) is given up.
RESTARTS_IN_A_ROW = 3
# Buffers per series when the driver refuses a stream of one buffer.
SERIES_FIRST, SERIES_MOST = 2, 4


def register(subparsers):
    parser = subparsers.add_parser(
        "view", help="live view in the browser",
        description="Serve the camera's live picture at http://127.0.0.1:PORT/ (this machine "
                    "only): IR frames colour-mapped with their minimum and maximum, RGB frames as "
                    "they are, and the frames per second. Ctrl-C stops it.")
    add_camera_arguments(parser)
    parser.add_argument("--port", type=int, default=8000,
                        help="TCP port on 127.0.0.1 (default 8000; 0: any free port)")
    parser.set_defaults(func=run)
    return parser


class FrameHub:
    """The latest frame and the rate, in the web server process: written by the thread that
    reads the pipe, read by HTTP threads."""

    def __init__(self, ir):
        self.ir = ir
        self._cond = threading.Condition()
        self._frame = None
        self._number = 0
        self._times = collections.deque(maxlen=FPS_WINDOW)
        self._closed = False
        self._rendered = None   # the last Rendering: browsers asking for the same frame share it
        self._render_lock = threading.Lock()

    def publish(self, frame, captured_at):
        with self._cond:
            self._frame = frame
            self._number += 1
            self._times.append(captured_at)
            self._cond.notify_all()

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
            return self._number, self._frame, self._fps()

    def render(self, after=0, wait=FRAME_WAIT_S):
        """(Rendering of the newest frame, fps), or (None, fps) before the first frame.
        Browsers asking for the same frame share one encoding."""
        number, frame, fps = self.latest(after, wait)
        if frame is None:
            return None, fps
        with self._render_lock:
            done = self._rendered
            if done is None or done.number != number:
                done = self._rendered = Rendering(number, frame, self.ir)
        return done, fps


class Rendering:
    """One frame as the page shows it."""

    def __init__(self, number, frame, ir):
        self.number = number
        self.height, self.width = frame.shape[:2]
        if ir:
            picture, self.lo, self.hi = colorize(frame)
        else:
            picture, self.lo, self.hi = frame, None, None
        self.png = encode_png(picture)

    def headers(self, fps):
        fields = {"X-Camsnap-Frame": str(self.number), "X-Camsnap-Fps": "%.1f" % fps,
                  "X-Camsnap-Size": "%dx%d" % (self.width, self.height)}
        if self.lo is not None:
            fields["X-Camsnap-Min"] = str(self.lo)
            fields["X-Camsnap-Max"] = str(self.hi)
        return fields


def encode_png(picture):
    from PIL import Image
    out = io.BytesIO()
    # Level 1: a 640x480 picture in a few milliseconds; the view is local, size hardly matters.
    Image.fromarray(np.ascontiguousarray(picture)).save(out, format="PNG", compress_level=1)
    return out.getvalue()


class ViewHandler(http.server.BaseHTTPRequestHandler):
    server_version = "camsnap-view"
    hub = None          # set on the subclass made per server
    settings = None

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass  # one line per frame request would bury the module's own lines

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        routes = {"/": self._page, "/index.html": self._page, "/frame.png": self._frame,
                  "/colorbar.png": self._colorbar, "/stats.json": self._stats,
                  "/favicon.ico": self._no_icon}
        route = routes.get(url.path, self._not_found)
        try:
            route(query)
        except ConnectionError:
            pass  # the browser went away mid-answer (a reload, a closed tab)

    def _not_found(self, query):
        self.send_error(404)

    def _no_icon(self, query):
        self.send_response(204)
        self.end_headers()

    def _send(self, body, content_type, extra=None):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _page(self, query):
        with open(PAGE, encoding="utf-8") as page:
            html = page.read()
        # The first numbers are in the page itself, so it says something before any script runs.
        rendering, fps = self.hub.render()
        values = dict(self.settings)
        values.update({"frame": "0", "fps": "%.1f" % fps, "min": "", "max": ""})
        if rendering is not None:
            values.update({"frame": str(rendering.number),
                           "min": "" if rendering.lo is None else str(rendering.lo),
                           "max": "" if rendering.hi is None else str(rendering.hi)})
        for key, value in values.items():
            html = html.replace("{{%s}}" % key, value)
        self._send(html.encode("utf-8"), "text/html; charset=utf-8")

    def _frame(self, query):
        after = _int_arg(query, "after", 0)
        rendering, fps = self.hub.render(after=after)
        if rendering is None:
            self.send_error(503, "no frame yet")
            return
        self._send(rendering.png, "image/png", rendering.headers(fps))

    def _colorbar(self, query):
        height = max(1, min(_int_arg(query, "height", 256), 4096))
        self._send(encode_png(colorbar(height)), "image/png")

    def _stats(self, query):
        number, frame, fps = self.hub.latest(wait=0)
        stats = {"frame": number, "fps": round(fps, 1), "mode": self.settings["mode"],
                 "stopping": self.hub.closed}
        self._send(json.dumps(stats).encode("ascii"), "application/json")


def _int_arg(query, name, default):
    try:
        return int(query.get(name, [default])[0])
    except ValueError:
        return default


class ViewServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    # Ctrl-C must not wait for a browser's open request.
    block_on_close = False

    def handle_error(self, request, client_address):
        # A browser that leaves mid-request is normal; anything else gets the usual report.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            http.server.ThreadingHTTPServer.handle_error(self, request, client_address)


def make_server(port, hub, settings):
    handler = type("BoundViewHandler", (ViewHandler,), {"hub": hub, "settings": settings})
    try:
        return ViewServer(("127.0.0.1", port), handler)
    except OSError as error:
        raise CliError("cannot serve on 127.0.0.1:%d: %s (choose another --port, or 0 for any "
                       "free one)" % (port, error.strerror or error), EXIT_USAGE)


class StopRequest:
    """Turns the first SIGINT or SIGTERM into a request the capture loop sees at its next
    frame; a second SIGINT interrupts at once."""

    def __init__(self):
        self.requested = False
        self._saved = {}

    def __enter__(self):
        for number in (signal.SIGINT, signal.SIGTERM):
            self._saved[number] = signal.signal(number, self._handle)
        return self

    def _handle(self, number, frame):
        if self.requested and number == signal.SIGINT:
            raise KeyboardInterrupt
        self.requested = True

    def __exit__(self, *exc):
        for number, handler in self._saved.items():
            signal.signal(number, handler)
        return False


def stream_frames(camsnap, stop):
    """Frames of a running stream. A failed captureStream has ended the stream; it is started
    again, up to RESTARTS_IN_A_ROW times without a good frame in between."""
    failures = 0
    while not stop.requested:
        frame = camsnap.captureStream()
        if frame is not None:
            failures = 0
            yield frame
            continue
        failures += 1
        if stop.requested:
            return
        if failures > RESTARTS_IN_A_ROW:
            raise CliError("the camera stopped delivering frames (see the E: lines above)",
                           EXIT_FAILURE)
        if not start_stream(camsnap):
            raise CliError("the stream did not start again (see the E: lines above)", EXIT_FAILURE)


def series_frames(camsnap, stop):
    """Frames of back-to-back series, for drivers that refuse a stream of one buffer (vivid
    wants two at least): each series asks for as many buffers as the driver wants, up to
    SERIES_MOST, and starts and stops the camera itself, so the rate is lower."""
    count, failures = SERIES_FIRST, 0
    while not stop.requested:
        frames, lines = module_call(camsnap.captureSeries, count)
        if frames is not None:
            failures = 0
            for frame in frames:
                yield frame
            continue
        if needs_more_buffers(lines):
            if count == SERIES_MOST:
                raise CliError("the driver needs more than %d buffers: the live view cannot run "
                               "on this camera" % SERIES_MOST, EXIT_BUFFERS)
            count += 1
            continue
        failures += 1
        if failures > RESTARTS_IN_A_ROW:
            raise CliError("the camera stopped delivering frames (see the E: lines above)",
                           EXIT_FAILURE)


def capture_loop(camsnap, send, stop):
    """Captures until a stop is requested; every camsnap call of the command happens here.
    send((frame, capture time)) hands each frame to the web server."""
    if start_stream(camsnap):
        frames = stream_frames(camsnap, stop)
    else:
        print("camsnap view: the driver wants more buffers than a stream asks for; showing "
              "series of frames instead (a lower frame rate)", flush=True)
        frames = series_frames(camsnap, stop)
    for frame in frames:
        try:
            send((frame, time.monotonic()))
        except OSError:
            raise CliError("the web server of the view has stopped", EXIT_FAILURE)


def serve(server, frames, sending_end, hub):
    """The web server process: serves until the capture side closes its end of the pipe."""
    # Ctrl-C in a terminal reaches the whole process group; the capture side decides.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    # The fork copied the capture side's end too; while it is open here, no EOF comes.
    sending_end.close()
    serving = threading.Thread(target=server.serve_forever, name="camsnap-view-http", daemon=True)
    serving.start()
    try:
        while True:
            frame, captured_at = frames.recv()
            hub.publish(frame, captured_at)
    except (EOFError, OSError):
        pass
    finally:
        # Waiting browsers get their answer now rather than at their timeout.
        hub.close()
        server.shutdown()
        server.server_close()


def start_server_process(server, hub):
    """Forks the web server; returns (process, send). No thread and no camera exist yet, so
    the fork copies neither a held lock nor the device."""
    context = multiprocessing.get_context("fork")
    receiving, sending = context.Pipe(duplex=False)
    process = context.Process(target=serve, args=(server, receiving, sending, hub),
                              name="camsnap-view-http", daemon=True)
    process.start()
    receiving.close()
    server.server_close()  # the child serves on its copy of the socket
    return process, sending


def run(args):
    if not 0 <= args.port <= 65535:
        raise CliError("--port must be between 0 and 65535", EXIT_USAGE)
    ensure_virtual(args)
    hub = FrameHub(ir=args.mode != "rgb")
    settings = {"mode": args.mode, "device": node_path(args.device),
                "ir": "true" if hub.ir else "false"}
    server = make_server(args.port, hub, settings)
    port = server.server_address[1]
    with StopRequest() as stop:
        process, sending = start_server_process(server, hub)
        try:
            with open_camera(args) as camsnap:
                print("camsnap view: http://127.0.0.1:%d/ (Ctrl-C stops)" % port, flush=True)
                capture_loop(camsnap, sending.send, stop)
        finally:
            sending.close()
            process.join(timeout=30)
            if process.is_alive():
                process.kill()
                process.join()
    print("camsnap view: stopped", flush=True)
    return 0
