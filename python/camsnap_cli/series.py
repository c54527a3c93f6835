"""camsnap series: N frames to one .npy file or to numbered pictures."""
import os

import numpy as np

from camsnap_cli import images
from camsnap_cli.common import (CliError, EXIT_OK, EXIT_USAGE, add_camera_arguments,
                                checked_capture, ensure_virtual, open_camera)


def register(subparsers):
    parser = subparsers.add_parser(
        "series", help="capture N frames with a progress bar",
        description="Capture N frames in runs of up to --batch frames (one buffer request per "
        "run) with a progress bar. A .npy name receives all frames as one array of shape "
        "(N, H, W) or (N, H, W, 3); a .png or .tif name receives one file per frame, numbered "
        "NAME-0000.png, NAME-0001.png, ...")
    add_camera_arguments(parser)
    parser.add_argument("-n", "--frames", type=int, required=True, metavar="N",
                        help="number of frames")
    parser.add_argument("-o", "--output", default="series.npy",
                        help="file to write (default series.npy)")
    parser.add_argument("--batch", type=int, default=16,
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


def run(args):
    if args.frames < 1 or args.batch < 1:
        raise CliError("-n and --batch need a positive number of frames", EXIT_USAGE)
    extension = images.check_extension(args.output)
    from tqdm import tqdm
    ensure_virtual(args)
    batches = []
    with open_camera(args) as camera:
        with tqdm(total=args.frames, unit="frame", desc="capturing") as progress:
            for size in runs(args.frames, args.batch):
                batches.append(checked_capture(camera.captureSeries, size))
                progress.update(size)
    frames = np.concatenate(batches)
    shape = "x".join(map(str, frames.shape[1:]))
    if extension == ".npy":
        images.write_frame(frames, args.output)
        print("wrote %s (%d frames of %s %s)" % (args.output, len(frames), shape, frames.dtype))
    else:
        for index, frame in enumerate(frames):
            images.write_frame(frame, numbered(args.output, index))
        print("wrote %s to %s (%d frames of %s %s)" % (
            numbered(args.output, 0), numbered(args.output, len(frames) - 1), len(frames), shape,
            frames.dtype))
    return EXIT_OK
