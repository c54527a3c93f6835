"""Writing frames to files a person can open: PNG, TIFF (16-bit for infrared) and .npy,
and the colour-mapped preview of an infrared frame."""
import os

import numpy as np

from camsnap_cli.common import CliError, EXIT_USAGE, colorbar, colorize

EXTENSIONS = (".png", ".tif", ".tiff", ".npy")
_BAR_WIDTH = 16
_MARGIN = 6
_TEXT = (255, 255, 255)
_BACKGROUND = (0, 0, 0)


def check_extension(path):
    extension = os.path.splitext(path)[1].lower()
    if extension not in EXTENSIONS:
        raise CliError("cannot write %r: the file name must end in %s" % (path, ", ".join(EXTENSIONS)),
                       EXIT_USAGE)
    return extension


def _picture(frame):
    from PIL import Image
    # A uint16 array becomes an "I;16" picture: 16-bit greyscale in PNG and TIFF alike.
    return Image.fromarray(np.ascontiguousarray(frame))


def write_frame(frame, path):
    """Writes one frame (HxW uint16 or HxWx3 uint8) by the file name's extension."""
    extension = check_extension(path)
    directory = os.path.dirname(path)
    if directory:
        os.makedirs(directory, exist_ok=True)
    if extension == ".npy":
        np.save(path, frame)
    else:
        _picture(frame).save(path)
    return path


def preview_path(path):
    return os.path.splitext(path)[0] + "-preview.png"


def preview(frame):
    """An 8-bit RGB picture of a 16-bit frame: the colour map stretched between the frame's
    minimum and maximum, a colour bar beside it, the maximum at its top and the minimum at its
    foot. Returns (PIL image, lo, hi)."""
    from PIL import Image, ImageDraw
    rgb, lo, hi = colorize(frame)
    height, width = rgb.shape[:2]
    draw_probe = ImageDraw.Draw(Image.new("RGB", (1, 1)))
    labels = [str(hi), str(lo)]
    text_width = max(_text_size(draw_probe, t)[0] for t in labels)
    text_height = max(_text_size(draw_probe, t)[1] for t in labels)
    panel = _MARGIN + _BAR_WIDTH + _MARGIN + text_width + _MARGIN
    canvas = np.zeros((max(height, 2 * text_height + 4), width + panel, 3), dtype=np.uint8)
    canvas[:height, :width] = rgb
    bar_left = width + _MARGIN
    canvas[:height, bar_left:bar_left + _BAR_WIDTH] = colorbar(height, _BAR_WIDTH)
    image = Image.fromarray(canvas)
    draw = ImageDraw.Draw(image)
    text_left = bar_left + _BAR_WIDTH + _MARGIN
    draw.text((text_left, 0), labels[0], fill=_TEXT)
    draw.text((text_left, max(height, canvas.shape[0]) - text_height - 2), labels[1], fill=_TEXT)
    return image, lo, hi


def _text_size(draw, text):
    # From the origin, so that the size includes the font's offset above the glyphs.
    _, _, right, bottom = draw.textbbox((0, 0), text)
    return right, bottom


def write_preview(frame, path):
    image, lo, hi = preview(frame)
    image.save(path)
    return lo, hi
