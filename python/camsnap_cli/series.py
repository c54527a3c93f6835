"""camsnap series: N frames to one .npy file or to numbered pictures, written as they come."""
import os
import signal
import sys

from camsnap_cli import files, images
from camsnap_cli.common import (CliError, EXIT_OK, StopRequest, add_camera_arguments, at_least,
                                checked_capture, frame_size_text, note_other_size, open_camera)
from camsnap_cli.npy import GrowingNpy
from camsnap_cli.virtual import ensure_virtual

EXIT_INTERRUPTED = 130      # Ctrl-C, as a shell reports a process ended by SIGINT


def register(subparsers):
    parser = subparsers.add_parser(
        "series", help="capture N frames with a progress bar",
        description="Capture N frames in runs of up to --batch frames (one buffer request per "
        "run) with a progress bar. A .npy name receives all frames as one array of shape "
        "(N, H, W) or (N, H, W, 3); a .png or .tif name receives one file per frame, numbered "
        "NAME-0000.png, NAME-0001.png, ... Frames go to disk as they arrive. Ctrl-C stops after the "
        "frames in hand are written and keeps them (exit 130).")
    add_camera_arguments(parser)
    parser.add_argument("-n", "--frames", type=at_least(1), required=True, metavar="N",
                        help="number of frames")
    parser.add_argument("-o", "--output", default="series.npy",
                        help="file to write (default series.npy)")
    parser.add_argument("--batch", type=at_least(1), default=16,
                        help="frames per buffer request (default 16)")
    parser.set_defaults(func=run)


def runs(total, batch):
    """Sizes of the runs, as even as possible and none above batch, except that no run is
    shorter than two frames unless the whole series is: drivers that need two buffers refuse a
    request for one."""
    count = -(-total // batch)
    if total >= 2:
        count = min(count, total // 2)
    base, extra = divmod(total, count)
    return [base + 1] * extra + [base] * (count - extra)


def numbered(path, index):
    stem, extension = os.path.splitext(path)
    return "%s-%04d%s" % (stem, index, extension)


class _Pictures(object):
    """Numbered pictures, one file per frame as it comes."""

    def __init__(self, path, total):
        self.path, self.total, self.count = path, total, 0

    def append(self, frames):
        for frame in frames:
            images.write_frame(frame, numbered(self.path, self.count))
            self.count += 1

    def finish(self):
        return self.count

    def where(self):
        if self.count == 0:
            return "no pictures"
        return "%s to %s" % (numbered(self.path, 0), numbered(self.path, self.count - 1))


class _Npy(GrowingNpy):
    def where(self):
        return self.path


def _whole(function, *args):
    """Calls function with Ctrl-C held back until it returns: a signal in the middle of a
    capture ends the module's wait for a frame as if the camera had stopped, and the frames of
    that run would be lost."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        return function(*args)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


def run(args):
    extension = images.check_extension(args.output)
    files.check_writable(numbered(args.output, 0) if extension != ".npy" else args.output)
    from tqdm import tqdm
    ensure_virtual(args)
    sink = _Npy(args.output, args.frames) if extension == ".npy" else _Pictures(args.output, args.frames)
    first = None
    interrupted = False
    try:
        # The first Ctrl-C stops once the batch in hand is written (the module cannot be
        # interrupted inside a capture anyway).
        with StopRequest() as stop, open_camera(args) as camera:
            with tqdm(total=args.frames, unit="frame", desc="capturing") as progress:
                for size in runs(args.frames, args.batch):
                    batch = _whole(checked_capture, camera.captureSeries, size)
                    if first is None:
                        first = batch[0].copy()     # not a view that keeps the batch alive
                        note_other_size(args, first)
                    sink.append(batch)
                    progress.update(size)
                    del batch
                    if stop.requested:
                        interrupted = True
                        break
    except KeyboardInterrupt:
        interrupted = True
    except CliError as error:
        kept = _keep(sink)
        if kept:
            raise CliError("%s (%d of %d frames kept in %s)" % (error.message, kept, args.frames,
                                                                sink.where()), error.exit_code)
        raise
    except BaseException:
        _keep(sink)
        raise
    kept = _keep(sink, reraise=True)
    if interrupted:
        sys.stdout.flush()
        if kept:
            sys.stderr.write("camsnap: interrupted: kept %d of %d frames (%s) in %s\n" % (
                kept, args.frames, frame_size_text(first), sink.where()))
        else:
            sys.stderr.write("camsnap: interrupted before the first frame: nothing written\n")
        return EXIT_INTERRUPTED
    print("wrote %s (%d frames of %s)" % (sink.where(), kept, frame_size_text(first)))
    return EXIT_OK


def _keep(sink, reraise=False):
    """Completes what was written so far; the count of frames kept. A failure to complete is
    raised only when asked (otherwise the first error is the one the user needs)."""
    try:
        return sink.finish()
    except CliError:
        if reraise:
            raise
        return 0
