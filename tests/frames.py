"""What the tests expect of frames: the virtual camera's raw frames read the way
the module documents, and the colour conversion written out independently."""
import numpy as np


def ir16_from_raw(raw, width, height, stride, bpp):
    """The uint16 image a 16-bit copy must produce from one raw driver frame."""
    data = np.frombuffer(raw, dtype=np.uint8)
    rows = np.arange(height)[:, None] * stride
    cols = np.arange(width)[None, :] * bpp
    at = rows + cols
    return (data[at].astype(np.uint16) | (data[at + 1].astype(np.uint16) << 8))


def yu12_planes(raw, width, height, stride, bpp):
    """Y, Cb, Cr per output pixel of a "YU12" frame: luma at y*stride + x*bpp;
    chroma planes at W*H and a further ((H/2)*W)/2, row offset ((y/2)*W)/2
    (in that order: it differs from (y/2)*(W/2) for odd W) and column x/2."""
    data = np.frombuffer(raw, dtype=np.uint8)
    y = np.arange(height)[:, None]
    x = np.arange(width)[None, :]
    luma = data[y * stride + x * bpp]
    cb_plane = width * height
    cr_plane = cb_plane + ((height // 2) * width) // 2
    chroma = ((y // 2) * width) // 2 + x // 2
    return luma, data[cb_plane + chroma], data[cr_plane + chroma]


def yu12_to_rgb(luma, cb, cr):
    """Full-range YCbCr to RGB in double precision, truncated toward zero, clamped."""
    c = luma.astype(np.float64)
    d = cb.astype(np.float64) - 128.0
    e = cr.astype(np.float64) - 128.0
    r = np.trunc(e * 1.402 + c)
    g = np.trunc((c - d * 0.34414) - e * 0.71414)
    b = np.trunc(c + d * 1.772)
    return np.clip(np.stack([r, g, b], axis=-1), 0, 255).astype(np.uint8)


def rgb_from_raw(raw, width, height, stride, bpp):
    return yu12_to_rgb(*yu12_planes(raw, width, height, stride, bpp))
