"""The colour map that shows 16-bit infrared frames: a lookup table, stretching a frame
between its minimum and maximum, and the matching colour bar."""
import numpy as np

# An inferno-like ramp: black through purple and orange to pale yellow.
_RAMP = np.array([
    (0, 0, 4), (31, 12, 72), (85, 15, 109), (136, 34, 106), (186, 54, 85),
    (227, 89, 51), (249, 140, 10), (249, 201, 50), (252, 255, 164)], dtype=np.float64)


def _make_lut():
    at = np.linspace(0.0, 1.0, len(_RAMP))
    x = np.linspace(0.0, 1.0, 256)
    return np.stack([np.interp(x, at, _RAMP[:, c]) for c in range(3)], axis=1).round().astype(np.uint8)


LUT = _make_lut()


def colorize(frame):
    """16-bit frame -> (HxWx3 uint8 picture, lo, hi): the colour map stretched between the
    frame's minimum (lo) and maximum (hi)."""
    index = np.asarray(frame).astype(np.int64)
    lo, hi = int(index.min()), int(index.max())
    # In place, on the one copy: the live view does this for every frame it shows.
    index -= lo
    index *= 255
    index //= max(hi - lo, 1)
    return LUT[index], lo, hi


def colorbar(height, width=16):
    """The colour map as a vertical bar, the maximum at the top."""
    index = np.round(np.linspace(255, 0, height)).astype(np.int64)
    return np.repeat(LUT[index][:, np.newaxis, :], width, axis=1)
