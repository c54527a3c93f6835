"""camsnap view: the camera's live picture in a browser, for the person who started it.

Two processes. The command's own process makes every camsnap call, on its main thread, in
the capture loop: the extension keeps one device state and no locks. It also keeps the
interpreter lock while it waits for a frame, up to a frame period each call, which would
starve HTTP threads in the same interpreter (a 9 Hz thermal camera would hold them off
most of the time). So the web server (view_server) runs in a child process forked before
the camera is opened, and the raw frames reach it through a pipe. The page draws them
itself: colour map, range, readouts and histogram are the browser's work.
"""
import contextlib
import ipaddress
import multiprocessing
import os
import signal
import time

from camsnap_cli import calibration as calibrations
from camsnap_cli.common import (CliError, EXIT_BUFFERS, EXIT_FAILURE, EXIT_USAGE, add_camera_arguments,
                                module_call, needs_more_buffers, node_path,
                                open_camera, start_stream)
from camsnap_cli.view_server import make_server, serve_frames
from camsnap_cli.virtual import ensure_virtual

# A stream that fails this many times in a row (each time restarted) is given up.
RESTARTS_IN_A_ROW = 3
# Buffers per series when the driver refuses a stream of one buffer.
SERIES_FIRST, SERIES_MOST = 2, 4


def register(subparsers):
    parser = subparsers.add_parser(
        "view", help="live view in the browser",
        description="Serve the camera's live picture to the person who started the command: "
                    "open the printed URL http://127.0.0.1:PORT/?token=... (it carries this "
                    "run's token). IR frames colour-mapped with a colour bar, range, readouts "
                    "and histogram, RGB frames as they are; pause, snapshot and record into "
                    "--save-dir. Ctrl-C stops it.")
    add_camera_arguments(parser)
    parser.add_argument("--port", type=int, default=8000,
                        help="TCP port (default 8000; 0: any free port)")
    parser.add_argument("--host", metavar="ADDR", default=None,
                        help="serve on this address instead of 127.0.0.1 (e.g. a lab network's; "
                             "0.0.0.0 for all): anyone who has the printed URL sees the camera")
    parser.add_argument("--save-dir", metavar="DIR", default=".",
                        help="folder for snapshots and recordings (default: the current one)")
    calibrations.add_arguments(parser)
    parser.set_defaults(func=run)
    return parser


def _check_arguments(args):
    if not 0 <= args.port <= 65535:
        raise CliError("--port must be between 0 and 65535", EXIT_USAGE)
    if args.host is not None:
        try:
            ipaddress.ip_address(args.host)
        except ValueError:
            raise CliError("--host must be an IP address of this machine, such as 192.168.1.20 "
                           "(not %r)" % args.host, EXIT_USAGE)
    if not os.path.isdir(args.save_dir) or not os.access(args.save_dir, os.W_OK | os.X_OK):
        raise CliError("cannot write to --save-dir %s: not a folder you can write to" % args.save_dir,
                       EXIT_USAGE)
    try:
        return calibrations.from_args(args)
    except ValueError as error:
        raise CliError(str(error), EXIT_USAGE)


def _bind(args, settings, calibration):
    address = args.host or "127.0.0.1"
    try:
        return make_server(address, args.port, settings, calibration,
                           os.path.abspath(args.save_dir), host=args.host)
    except OSError as error:
        raise CliError("cannot serve on %s:%d: %s (choose another --port, or 0 for any "
                       "free one)" % (address, args.port, error.strerror or error), EXIT_USAGE)


def _url(args, port, token):
    host = args.host
    if host is None or ipaddress.ip_address(host).is_unspecified:
        host = "127.0.0.1"
    elif ":" in host:
        host = "[%s]" % host
    return "http://%s:%d/?token=%s" % (host, port, token)


STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


class StopRequest:
    """Turns the first SIGINT or SIGTERM into a request the capture loop sees at its next
    frame; a second SIGINT interrupts at once, or as soon as the camera's wait has ended."""

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

    @contextlib.contextmanager
    def shielded(self):
        """Holds the signals back while the camera waits for a frame: a handled signal ends
        the wait in poll with EINTR, as the kernel does, which the module reports as a failed
        capture. They are handled when the call returns."""
        signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        try:
            yield
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)


def stream_frames(camsnap, stop):
    """Frames of a running stream. A failed captureStream has ended the stream; it is started
    again, up to RESTARTS_IN_A_ROW times without a good frame in between."""
    failures = 0
    while not stop.requested:
        with stop.shielded():
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
        with stop.shielded():
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


def serve(server, receiving, sending):
    """The web server process: serves until the capture side closes its end of the pipe."""
    # Ctrl-C in a terminal, or a SIGTERM to the process group, reaches this process too; the
    # capture side decides, and its closing the pipe ends this one (after a recording is
    # finished). A killed capture side closes the pipe as well.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    # The fork copied the capture side's end too; while it is open here, no EOF comes.
    sending.close()
    serve_frames(server, receiving.recv)


def start_server_process(server):
    """Forks the web server; returns (process, send). No thread and no camera exist yet, so
    the fork copies neither a held lock nor the device."""
    context = multiprocessing.get_context("fork")
    receiving, sending = context.Pipe(duplex=False)
    process = context.Process(target=serve, args=(server, receiving, sending),
                              name="camsnap-view-http", daemon=True)
    process.start()
    receiving.close()
    server.server_close()  # the child serves on its copy of the socket
    return process, sending


def run(args):
    calibration = _check_arguments(args)
    ensure_virtual(args)
    settings = {"mode": args.mode, "device": node_path(args.device),
                "ir": args.mode != "rgb"}
    server = _bind(args, settings, calibration)
    url = _url(args, server.server_address[1], server.access.token)
    with StopRequest() as stop:
        process, sending = start_server_process(server)
        try:
            with open_camera(args) as camsnap:
                print("camsnap view: %s (Ctrl-C stops)" % url, flush=True)
                if args.host is not None:
                    print("camsnap view: warning: serving on %s: anyone who has this URL sees "
                          "the camera" % args.host, flush=True)
                print("camsnap view: snapshots and recordings go to %s" % server.save_dir, flush=True)
                capture_loop(camsnap, sending.send, stop)
        finally:
            sending.close()
            process.join(timeout=30)
            if process.is_alive():
                process.kill()
                process.join()
    print("camsnap view: stopped", flush=True)
    return 0
