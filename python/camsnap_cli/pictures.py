"""Frames as pictures: PNG and TIFF (16-bit greyscale for infrared, exact), and the preview
of an infrared frame, colour-mapped, with a colour bar and the ends of its range beside it."""
import io

import numpy as np

from camsnap_cli.colour_maps import colour_bar

_BAR_WIDTH = 16
_MARGIN = 6
_TEXT = (255, 255, 255)


def picture(frame):
    from PIL import Image
    # A uint16 array becomes an "I;16" picture: 16-bit greyscale in PNG and TIFF alike.
    return Image.fromarray(np.ascontiguousarray(frame))


def encode_png(image, compress_level=1):
    """A picture (or a frame) as PNG bytes; level 1 keeps encoding fast."""
    out = io.BytesIO()
    image = picture(image) if isinstance(image, np.ndarray) else image
    image.save(out, format="PNG", compress_level=compress_level)
    return out.getvalue()


def text_size(text):
    """(right, bottom) of text drawn at the origin in the default font, so that the size
    includes the font's offset above the glyphs. Measured by drawing it: Pillow before 9.2
    measures only TrueType fonts (textbbox), and its default font is a bitmap one."""
    from PIL import Image, ImageDraw
    scratch = Image.new("L", (16 * len(text) + 16, 64))
    ImageDraw.Draw(scratch).text((0, 0), text, fill=255)
    box = scratch.getbbox()
    return (box[2], box[3]) if box else (0, 0)


def preview_picture(mapped, lut, top, foot):
    """A colour-mapped frame (HxWx3) with the bar of its colour map `lut` beside it, the text
    `top` written at the bar's top and `foot` at its foot. A PIL image."""
    from PIL import Image, ImageDraw
    height, width = mapped.shape[:2]
    sizes = [text_size(text) for text in (top, foot)]
    text_width = max(size[0] for size in sizes)
    text_height = max(size[1] for size in sizes)
    canvas = np.zeros((max(height, 2 * text_height + 4), width + 3 * _MARGIN + _BAR_WIDTH + text_width, 3),
                      dtype=np.uint8)
    canvas[:height, :width] = mapped
    canvas[:height, width + _MARGIN:width + _MARGIN + _BAR_WIDTH] = colour_bar(lut, height, _BAR_WIDTH)
    image = Image.fromarray(canvas)
    draw = ImageDraw.Draw(image)
    text_left = width + 2 * _MARGIN + _BAR_WIDTH
    draw.text((text_left, 0), top, fill=_TEXT)
    draw.text((text_left, canvas.shape[0] - text_height - 2), foot, fill=_TEXT)
    return image
