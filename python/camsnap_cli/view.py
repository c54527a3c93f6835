"""camsnap view: the camera's live picture in a browser, for the person who started it.

The camera runs in a child process (camsnap_process.CameraProcess). The extension keeps the
interpreter lock while it waits for a frame, up to a frame period each call, which would
starve the HTTP threads of the same interpreter (a 9 Hz thermal camera would hold them off
most of the time); this process serves the page from its threads and waits for frames
without the lock. The page draws the raw frames itself: colour map, range, readouts and
histogram are the browser's work.
"""
import ipaddress
import multiprocessing.util
import os
import signal
import time

from camsnap_cli import calibration as calibrations
from camsnap_cli.common import (CliError, EXIT_BUFFERS, EXIT_FAILURE, EXIT_USAGE, MODES,
                                StopRequest, add_camera_arguments, init_refused,
                                needs_more_buffers, node_path, probe_node)
from camsnap_cli.view_server import make_server, serve_frames
from camsnap_cli.virtual import ensure_virtual
from camsnap_process import (CameraError, CameraProcess, CameraProcessDied, CannotOpenCamera,
                             CannotSetUpCamera)

# A stream that fails this many times in a row (each time restarted) is given up.
RESTARTS_IN_A_ROW = 3
# Buffers per series when the driver refuses a stream of one buffer.
SERIES_FIRST, SERIES_MOST = 2, 4
# The longest a stop request waits for the frame loop to look at it.
STOP_CHECK_S = 0.25


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


def _process_died(error):
    return CliError("%s (see the lines above)" % error, EXIT_FAILURE)


def stopped_delivering(error):
    reason = " (see the E: lines above)" if error.lines else ": %s" % error
    return CliError("the camera stopped delivering frames" + reason, EXIT_FAILURE)


def open_camera_process(args):
    """The camera the arguments name, opened and set up in its own process; CliError naming
    what to do when it cannot be."""
    probe_node(args.device)
    try:
        # Forked: no thread runs yet, and a virtual camera set up in this process (with any
        # failure it is told to inject) is the child's as it stands.
        return CameraProcess(args.device, MODES[args.mode], args.width, args.height,
                             start_method="fork")
    except CameraProcessDied as error:
        raise _process_died(error)
    except CannotOpenCamera:
        probe_node(args.device)  # the node may have gone meanwhile: say so if it did
        raise CliError("cannot open %s (see the E: line above)" % node_path(args.device))
    except CannotSetUpCamera as error:
        import camsnap
        raise init_refused(camsnap, args, error.lines)
    except CameraError as error:  # the camera's process could not start
        raise CliError(str(error), EXIT_FAILURE)


def start_stream(camera):
    """True once the stream runs; False when the driver wants more buffers than the one a
    stream asks for."""
    try:
        camera.start()
        return True
    except CameraProcessDied as error:
        raise _process_died(error)
    except CameraError as error:
        if needs_more_buffers(error.lines):
            return False
        raise CliError("the stream did not start (see the E: lines above)", EXIT_FAILURE)


def stream_frames(camera, stop):
    """Frames of a running stream. A stream that fails has ended; it is started again, up to
    RESTARTS_IN_A_ROW times without a good frame in between."""
    failures = 0
    while not stop.requested:
        try:
            frame = camera.read(timeout=STOP_CHECK_S)
        except TimeoutError:
            continue
        except CameraProcessDied as error:
            raise _process_died(error)
        except CameraError as error:
            failures += 1
            if stop.requested:
                return
            if failures > RESTARTS_IN_A_ROW:
                raise stopped_delivering(error)
            if not start_stream(camera):
                raise CliError("the stream did not start again (see the E: lines above)",
                               EXIT_FAILURE)
            continue
        failures = 0
        yield frame


def series_frames(camera, stop):
    """Frames of back-to-back series, for drivers that refuse a stream of one buffer (vivid
    wants two at least): each series asks for as many buffers as the driver wants, up to
    SERIES_MOST, and starts and stops the camera itself, so the rate is lower."""
    count, failures = SERIES_FIRST, 0
    while not stop.requested:
        try:
            frames = camera.series(count)
        except CameraProcessDied as error:
            raise _process_died(error)
        except CameraError as error:
            if needs_more_buffers(error.lines):
                if count == SERIES_MOST:
                    raise CliError("the driver needs more than %d buffers: the live view cannot "
                                   "run on this camera" % SERIES_MOST, EXIT_BUFFERS)
                count += 1
                continue
            failures += 1
            if failures > RESTARTS_IN_A_ROW:
                raise stopped_delivering(error)
            continue
        failures = 0
        for frame in frames:
            yield frame


def captured_frames(camera, stop):
    """(frame, capture time) until a stop is requested."""
    if start_stream(camera):
        frames = stream_frames(camera, stop)
    else:
        print("camsnap view: the driver wants more buffers than a stream asks for; showing "
              "series of frames instead (a lower frame rate)", flush=True)
        frames = series_frames(camera, stop)
    for frame in frames:
        yield frame, time.monotonic()


def receiver(frames):
    """serve_frames' receive(): the next of `frames`, EOFError after the last; CliError when
    the way to the camera's process fails."""
    def receive():
        try:
            return next(frames)
        except StopIteration:
            raise EOFError
        except OSError as error:
            raise CliError("the camera's process cannot be reached: %s" % (error.strerror or error),
                           EXIT_FAILURE)
    return receive


def _close_in_child(server):
    server.socket.close()


def run(args):
    calibration = _check_arguments(args)
    ensure_virtual(args)
    settings = {"mode": args.mode, "device": node_path(args.device),
                "ir": args.mode != "rgb"}
    server = _bind(args, settings, calibration)
    # The camera's process is forked after the socket exists; it must not keep the port.
    multiprocessing.util.register_after_fork(server, _close_in_child)
    url = _url(args, server.server_address[1], server.access.token)
    try:
        # The camera's process ignores both signals: this one decides, and closing the camera
        # ends that one.
        with StopRequest(signal.SIGINT, signal.SIGTERM) as stop, \
                open_camera_process(args) as camera:
            print("camsnap view: %s (Ctrl-C stops)" % url, flush=True)
            if args.host is not None:
                print("camsnap view: warning: serving on %s: anyone who has this URL sees "
                      "the camera" % args.host, flush=True)
            print("camsnap view: snapshots and recordings go to %s" % server.save_dir, flush=True)
            serve_frames(server, receiver(captured_frames(camera, stop)))
    finally:
        server.server_close()
    print("camsnap view: stopped", flush=True)
    return 0
