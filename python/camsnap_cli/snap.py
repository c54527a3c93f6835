"""camsnap snap: one frame to a file."""
from camsnap_cli import images
from camsnap_cli.common import (EXIT_OK, add_camera_arguments, checked_capture, ensure_virtual,
                                open_camera)


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
    parser.set_defaults(func=run)


def run(args):
    images.check_extension(args.output)
    ensure_virtual(args)
    with open_camera(args) as camera:
        frame = checked_capture(camera.captureSingle)
    images.write_frame(frame, args.output)
    print("wrote %s (%s %s)" % (args.output, "x".join(map(str, frame.shape)), frame.dtype))
    if frame.ndim == 2 and not args.no_preview:
        path = images.preview_path(args.output)
        lo, hi = images.write_preview(frame, path)
        print("wrote %s (colour map from %d to %d)" % (path, lo, hi))
    return EXIT_OK
