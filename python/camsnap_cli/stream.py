"""camsnap stream: run the camera for a while, showing frames per second and the frame count."""
import sys
import time

from camsnap_cli.common import (CliError, EXIT_BUFFERS, EXIT_OK, EXIT_USAGE, add_camera_arguments,
                                StatusLine, checked_capture, note_other_size, open_camera,
                                start_stream)
from camsnap_cli.virtual import ensure_virtual


def register(subparsers):
    parser = subparsers.add_parser(
        "stream", help="stream for S seconds, showing frames per second",
        description="Start a stream and take frames for S seconds, showing the frame count and "
        "the frames per second of the last second; Ctrl-C stops early. Ends with the totals.")
    add_camera_arguments(parser)
    parser.add_argument("--seconds", type=float, default=5.0, metavar="S",
                        help="how long to stream (default 5)")
    parser.set_defaults(func=run)


class Meter(object):
    """Frame count and the rate over the last second, on a StatusLine."""

    def __init__(self, out, clock=time.monotonic):
        self.out, self.clock = out, clock
        self.line = StatusLine(out, clock)
        self.start = clock()
        self.count = 0
        self.recent = []

    def frame(self):
        now = self.clock()
        self.count += 1
        self.recent.append(now)
        while self.recent and self.recent[0] < now - 1.0:
            self.recent.pop(0)
        if self.line.due(now):
            self.line.show("frames %d  fps %.1f" % (self.count, self.rate(now)), now)

    def rate(self, now):
        span = min(now - self.start, 1.0)
        return len(self.recent) / span if span > 0 else 0.0

    def close(self):
        elapsed = self.clock() - self.start
        self.line.close()
        average = self.count / elapsed if elapsed > 0 else 0.0
        self.out.write("%d frames in %.2f s: %.1f frames per second\n" % (self.count, elapsed, average))
        self.out.flush()


def run(args):
    if args.seconds <= 0:
        raise CliError("--seconds needs a positive duration", EXIT_USAGE)
    ensure_virtual(args)
    with open_camera(args) as camera:
        if not start_stream(camera):
            raise CliError("the driver needs more buffers than a stream asks for (vivid wants "
                           "two): use `camsnap series -n N` instead", EXIT_BUFFERS)
        meter = Meter(sys.stdout)
        try:
            while time.monotonic() - meter.start < args.seconds:
                frame = checked_capture(camera.captureStream)
                if meter.count == 0:
                    note_other_size(args, frame)
                meter.frame()
        except KeyboardInterrupt:
            pass
        finally:
            meter.close()
    return EXIT_OK
