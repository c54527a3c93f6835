"""Helpers shared by the subcommands: exit codes, camera arguments, calling the module with
its diagnostic lines caught, opening a camera with errors a person can act on, and Ctrl-C."""
import argparse
import contextlib
import errno
import os
import signal
import sys
import time
import typing

# Exit codes, one per situation a script may want to tell apart.
EXIT_OK = 0
EXIT_FAILURE = 1            # a capture or write failed; the module's lines say why
EXIT_USAGE = 2              # bad arguments (argparse uses 2 as well)
EXIT_NO_CAMERA = 3          # /dev/videoN does not exist
EXIT_BUSY = 4               # another program holds the camera
EXIT_PERMISSION = 5         # no right to open the node (the video group)
EXIT_BUFFERS = 6            # the driver needs more buffers than one capture asks for
EXIT_INIT_REFUSED = 7       # the camera refused the mode or size
EXIT_NO_VIRTUAL = 8         # --virtual asked, but no virtual camera library is found

MODES = {"ir16": 0, "rgb": 1}


class CliError(Exception):
    """A failure the user can act on: main() prints the message and exits with exit_code."""

    def __init__(self, message, exit_code=EXIT_FAILURE):
        Exception.__init__(self, message)
        self.message = message
        self.exit_code = exit_code


def fourcc_text(code):
    return "".join(chr((code >> shift) & 0xFF) for shift in (0, 8, 16, 24))


def at_least(minimum):
    """An argparse type: a whole number not below minimum (argparse turns the refusal into the
    subcommand's usage and exit 2)."""
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a whole number" % text)
        if value < minimum:
            raise argparse.ArgumentTypeError("%d is below %d" % (value, minimum))
        return value
    parse.__name__ = "number of at least %d" % minimum
    return parse


def add_camera_arguments(parser):
    parser.add_argument("-d", "--device", type=at_least(0), default=0, metavar="N",
                        help="capture from /dev/videoN (default 0)")
    parser.add_argument("--mode", choices=sorted(MODES), default="ir16",
                        help="ir16: 16-bit greyscale frames; rgb: colour frames (default ir16)")
    parser.add_argument("--width", type=at_least(1), default=640, help="frame width (default 640)")
    parser.add_argument("--height", type=at_least(1), default=480, help="frame height (default 480)")
    parser.add_argument("--virtual", action="store_true",
                        help="use the virtual camera (libcamsnap_vcam.so, installed with camsnap) "
                             "instead of a real one")


def frame_size_text(frame):
    """One frame's size as a person reads it, width first: "640x480 uint16", "640x480 RGB uint8"."""
    height, width = frame.shape[:2]
    return "%dx%d %s%s" % (width, height, "RGB " if frame.ndim == 3 else "", frame.dtype)


def note_other_size(args, frame):
    """Says on standard error when the driver chose another size than the one asked for one
    frame: drivers pick the nearest size they offer instead of refusing."""
    height, width = frame.shape[:2]
    if (width, height) != (args.width, args.height):
        sys.stdout.flush()
        sys.stderr.write("camsnap: note: the camera chose %dx%d instead of the %dx%d asked\n" % (
            width, height, args.width, args.height))
        sys.stderr.flush()


class StatusLine(object):
    """A progress line that rewrites itself four times a second on a terminal, and is written
    as one line a second elsewhere (a log keeps one line per second, not one per frame)."""

    def __init__(self, out, clock=time.monotonic):
        self.out, self.clock = out, clock
        # Asked once: due() runs for every frame, and the answer costs a system call.
        self.terminal = hasattr(out, "isatty") and out.isatty()
        self.shown = clock()
        self.used = False

    def due(self, now=None):
        now = self.clock() if now is None else now
        return now - self.shown >= (0.25 if self.terminal else 1.0)

    def show(self, text, now=None):
        self.shown = self.clock() if now is None else now
        self.used = True
        self.out.write("\r" + text + "   " if self.terminal else text + "\n")
        self.out.flush()

    def close(self):
        """Ends the rewritten line, so that what follows starts on a line of its own."""
        if self.terminal and self.used:
            self.out.write("\n")
            self.out.flush()


# ---------------------------------------------------------------------------
# Module calls and their diagnostic lines

_catcher = None  # type: typing.Any


def module_call(function, *args):
    """Calls a camsnap function with standard error caught; returns (result, DiagnosticLines).
    The lines still reach standard error, so the user sees them."""
    global _catcher
    if _catcher is None:
        from camsnap_process import StderrCatcher
        _catcher = StderrCatcher()
    return _catcher.call(function, *args)


def needs_more_buffers(lines):
    # The text request_buffers writes in src/device/v4l2.cpp when the driver grants more
    # buffers than asked; a change there must be made here too.
    return any(line.text.startswith("Too many buffers required") for line in lines)


def checked_capture(function, *args):
    """A capture call; its result, or CliError naming what to do."""
    result, lines = module_call(function, *args)
    if result is None or result is False:
        if needs_more_buffers(lines):
            raise CliError("the driver needs more buffers than a single capture or a stream asks "
                           "for (vivid wants two): use `camsnap series -n 2` instead", EXIT_BUFFERS)
        raise CliError("the capture failed (see the E: lines above)", EXIT_FAILURE)
    return result


def start_stream(camsnap):
    """True once the stream runs; False when the driver wants more buffers than the one a
    stream asks for."""
    ok, lines = module_call(camsnap.startStream)
    if ok:
        return True
    if needs_more_buffers(lines):
        return False
    raise CliError("the stream did not start (see the E: lines above)", EXIT_FAILURE)


# ---------------------------------------------------------------------------
# Opening a camera

def node_path(device):
    return "/dev/video%d" % device


def probe_node(device):
    """Opens the node once to turn the system's answer into advice; the module's own open
    says only that it failed."""
    path = node_path(device)
    try:
        fd = os.open(path, os.O_RDWR | os.O_NONBLOCK)
    except OSError as error:
        if error.errno == errno.ENOENT or error.errno == errno.ENODEV or error.errno == errno.ENXIO:
            raise CliError("no camera at %s: is it plugged in? `camsnap list` shows the cameras "
                           "(or try --virtual)" % path, EXIT_NO_CAMERA)
        if error.errno == errno.EBUSY:
            raise CliError("%s is busy: another program is using the camera; close it and try "
                           "again" % path, EXIT_BUSY)
        if error.errno == errno.EACCES or error.errno == errno.EPERM:
            raise CliError("permission denied on %s: add yourself to the video group "
                           "(sudo usermod -aG video $USER, then log in again)" % path,
                           EXIT_PERMISSION)
        raise CliError("cannot open %s: %s" % (path, error.strerror), EXIT_FAILURE)
    os.close(fd)


def _formats_of(camsnap, device):
    for camera in camsnap.list() or []:
        if camera["id"] == device:
            return camera["fmts"]
    return []


def sizes_text(fmt):
    """The frame sizes a format lists, as "160x120 640x480"; empty when it lists none."""
    return " ".join("%dx%d" % (r["width"], r["height"]) for r in fmt["res"])


def describe_formats(formats):
    return "; ".join("%s %s" % (fourcc_text(f["fmt"]).strip() or "?", sizes_text(f))
                     for f in formats) or "no capture formats"


_MODE_FORMATS = {"ir16": ("Y16 ", "BGR3"), "rgb": ("YU12",)}


def _offers(formats, mode, width, height):
    """Whether the camera lists a format of this mode at this size (or sizes it does not list)."""
    for f in formats:
        if fourcc_text(f["fmt"]) in _MODE_FORMATS[mode]:
            sizes = [(r["width"], r["height"]) for r in f["res"]]
            if not sizes or (width, height) in sizes:
                return True
    return False


def init_refused(camsnap, args, lines):
    """The CliError for an init the camera refused, naming what it offers."""
    formats = _formats_of(camsnap, args.device)
    path = node_path(args.device)
    # The text cs_init writes in src/device/device.cpp when S_FMT fails; a change there must be
    # made here too.
    refused_format = any(line.text.startswith("Failed to set format") for line in lines)
    if refused_format and _offers(formats, args.mode, args.width, args.height):
        # Drivers refuse a format they offer while another program has buffers on the camera.
        return CliError("%s refused %s at %dx%d, which it offers: another program is probably "
                        "using the camera; close it and try again" % (
                            path, args.mode, args.width, args.height), EXIT_BUSY)
    return CliError("%s refused %s at %dx%d; it offers: %s" % (
        path, args.mode, args.width, args.height, describe_formats(formats)), EXIT_INIT_REFUSED)


def _init(camsnap, args):
    ok, lines = module_call(camsnap.init, MODES[args.mode], args.width, args.height)
    if not ok:
        raise init_refused(camsnap, args, lines)


@contextlib.contextmanager
def open_camera(args):
    """Opens and initialises the camera the arguments name; yields the camsnap module.
    Stops a running stream and closes the camera on the way out."""
    import camsnap
    probe_node(args.device)
    ok, _ = module_call(camsnap.open, args.device)
    if not ok:
        probe_node(args.device)  # the node may have gone meanwhile: say so if it did
        raise CliError("cannot open %s (see the E: line above)" % node_path(args.device))
    try:
        _init(camsnap, args)
        yield camsnap
    finally:
        module_call(camsnap.stopStream)
        camsnap.close()


class StopRequest:
    """Turns the first of these signals (default: SIGINT, Ctrl-C) into a request that the work
    loop sees (`requested`), so that it stops where it keeps what it has; a second Ctrl-C
    interrupts at once. A signal ignored from the start (a command started in the background)
    stays ignored; outside the main thread signals are not ours to handle."""

    def __init__(self, *numbers):
        self.numbers = numbers or (signal.SIGINT,)
        self.requested = False
        self._saved = {}  # type: dict

    def __enter__(self):
        for number in self.numbers:
            try:
                if signal.getsignal(number) is not signal.SIG_IGN:
                    self._saved[number] = signal.signal(number, self._handle)
            except ValueError:  # not the main thread
                break
        return self

    def _handle(self, number, frame):
        if self.requested and number == signal.SIGINT:
            raise KeyboardInterrupt
        self.requested = True

    def __exit__(self, *exc):
        for number, handler in self._saved.items():
            signal.signal(number, handler)
        return False
