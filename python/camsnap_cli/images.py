"""Writing frames to files a person can open, by the file name's extension: PNG, TIFF (16-bit
for infrared) and .npy, and the colour-mapped preview of an infrared frame."""
import os

import numpy as np

from camsnap_cli import files
from camsnap_cli.calibration import Calibration
from camsnap_cli.colour_maps import INFERNO, colourise
from camsnap_cli.common import CliError, EXIT_USAGE
from camsnap_cli.pictures import picture, preview_picture

EXTENSIONS = (".png", ".tif", ".tiff", ".npy")
_PICTURE_FORMATS = {".png": "PNG", ".tif": "TIFF", ".tiff": "TIFF"}


def check_extension(path):
    extension = os.path.splitext(path)[1].lower()
    if extension not in EXTENSIONS:
        raise CliError("cannot write %r: the file name must end in %s" % (path, ", ".join(EXTENSIONS)),
                       EXIT_USAGE)
    return extension


def write_frame(frame, path):
    """Writes one frame (HxW uint16 or HxWx3 uint8) by the file name's extension."""
    extension = check_extension(path)
    with files.replacing(path) as handle:
        if extension == ".npy":
            np.save(handle, frame)
        else:
            picture(frame).save(handle, format=_PICTURE_FORMATS[extension])
    return path


def preview_path(path):
    return os.path.splitext(path)[0] + "-preview.png"


def preview(frame, calibration=None):
    """An 8-bit RGB picture of a 16-bit frame: the colour map stretched between the frame's
    minimum and maximum, a colour bar beside it, the maximum at its top and the minimum at its
    foot, both labelled in the calibration's terms. Returns (PIL image, lo, hi)."""
    calibration = calibration or Calibration()
    mapped, lo, hi = colourise(frame)
    return preview_picture(mapped, INFERNO, calibration.text(hi), calibration.text(lo)), lo, hi


def write_preview(frame, path, calibration=None):
    image, lo, hi = preview(frame, calibration)
    with files.replacing(path) as handle:
        image.save(handle, format="PNG")
    return lo, hi
