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


# Kr, Kb in ten-thousandths (BT.601 0.299, 0.114; BT.709 0.2126, 0.0722).
WEIGHTS = {"bt601": (2990, 1140), "bt709": (2126, 722)}


def ycbcr_to_rgb(luma, cb, cr, encoding, quantization):
    """Y'CbCr to RGB as camera objects give it: full-range BT.601 as the module does
    (yu12_to_rgb); the other variants with exact fractions, rounded half up, clamped."""
    if (encoding, quantization) == ("bt601", "full"):
        return yu12_to_rgb(luma, cb, cr)
    kr, kb = WEIGHTS[encoding]
    unit = 10000
    kg = unit - kr - kb
    limited = quantization == "limited"
    y0, ys, cs = (16, (255, 219), (255, 224)) if limited else (0, (1, 1), (1, 1))
    y = np.asarray(luma, np.int64) - y0
    d = np.asarray(cb, np.int64) - 128
    e = np.asarray(cr, np.int64) - 128
    den = ys[1] * cs[1] * unit * kg
    c = y * ys[0] * cs[1] * unit * kg
    scale = cs[0] * ys[1]
    r = c + e * scale * 2 * (unit - kr) * kg
    g = c - d * scale * 2 * kb * (unit - kb) - e * scale * 2 * kr * (unit - kr)
    b = c + d * scale * 2 * (unit - kb) * kg
    return np.clip(np.stack([(2 * v + den) // (2 * den) for v in (r, g, b)], -1), 0, 255).astype(np.uint8)


def ycbcr_planes(code, raw, width, height, stride):
    """Y, Cb, Cr per pixel of a "YU12", "NV12" or "YUYV" frame as V4L2 lays each out
    (rows `stride` bytes apart; "YU12" chroma rows stride / 2 apart)."""
    a = np.frombuffer(raw, np.uint8)
    y = np.arange(height)[:, None]
    x = np.arange(width)[None, :]
    if code == "YUYV":
        row = y * stride + 4 * (x // 2)
        return a[y * stride + 2 * x], a[row + 1], a[row + 3]
    luma = a[y * stride + x]
    if code == "NV12":
        pair = stride * height + (y // 2) * stride + 2 * (x // 2)
        return luma, a[pair], a[pair + 1]
    half = stride // 2
    cb = stride * height + (y // 2) * half + x // 2
    return luma, a[cb], a[cb + half * ((height + 1) // 2)]
