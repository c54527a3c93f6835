"""camsnap snap: one frame to a file."""
from camsnap_cli import calibration as calibrations
from camsnap_cli import files, images
from camsnap_cli.common import (CliError, EXIT_OK, EXIT_USAGE, add_camera_arguments, checked_capture,
                                frame_size_text, note_other_size, open_camera)
from camsnap_cli.virtual import ensure_virtual


def register(subparsers):
    parser = subparsers.add_parser(
        "snap", help="capture one frame to a file",
        description="Capture one frame and write it by the file name's extension: .png or "
        ".tif/.tiff (16-bit greyscale for ir16, 8-bit RGB for rgb) or .npy (the array as "
        "captured). For ir16 a colour-mapped preview NAME-preview.png is written too, with a "
        "colour bar and the frame's minimum and maximum.")
    add_camera_arguments(parser)
    parser.add_argument("-o", "--output", default="frame.png",
                        help="file to write (default frame.png)")
    parser.add_argument("--no-preview", action="store_true",
                        help="do not write the ir16 preview")
    calibrations.add_arguments(parser)
    parser.set_defaults(func=run)


def run(args):
    images.check_extension(args.output)
    try:
        calibration = calibrations.from_args(args)
    except ValueError as error:
        raise CliError(str(error), EXIT_USAGE)
    preview = None if args.no_preview or args.mode != "ir16" else images.preview_path(args.output)
    for path in [args.output] + ([preview] if preview else []):
        files.check_writable(path)
    ensure_virtual(args)
    with open_camera(args) as camera:
        frame = checked_capture(camera.captureSingle)
    note_other_size(args, frame)
    images.write_frame(frame, args.output)
    print("wrote %s (%s)" % (args.output, frame_size_text(frame)))
    if frame.ndim == 2 and preview:
        lo, hi = images.write_preview(frame, preview, calibration)
        print("wrote %s (colour map from %s to %s)" % (preview, calibration.text(lo), calibration.text(hi)))
    return EXIT_OK
