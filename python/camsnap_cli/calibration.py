"""Linear calibration of raw 16-bit values for display: shown = raw * scale + offset, in a unit.

Radiometric thermal cameras deliver, for example, hundredths of a kelvin:
--scale 0.01 --offset -273.15 --unit °C. Only what people read is calibrated (the view's
readouts and colour bar, snap's preview labels); saved data stay raw and exact.
"""
import math


class Calibration:
    """How raw values are shown. The default (scale 1, offset 0, no unit) shows them as they are."""

    def __init__(self, scale=1.0, offset=0.0, unit=""):
        if not (math.isfinite(scale) and math.isfinite(offset)) or scale == 0:
            raise ValueError("the scale must be a finite non-zero number and the offset finite")
        self.scale = float(scale)
        self.offset = float(offset)
        self.unit = unit

    @property
    def identity(self):
        return self.scale == 1.0 and self.offset == 0.0 and not self.unit

    @property
    def decimals(self):
        """Enough decimals to tell neighbouring raw values apart (scale 0.01: 2, 1 and above: 0)."""
        if self.scale == int(self.scale) and self.offset == int(self.offset):
            return 0
        return max(0, min(6, int(math.ceil(-math.log10(abs(self.scale)) - 1e-9))))

    def apply(self, raw):
        """The calibrated value of a raw value, or of a numpy array of them (as float64)."""
        return raw * self.scale + self.offset

    def text(self, raw):
        """A raw value as a person reads it: '1234' uncalibrated, '27.35 °C' calibrated."""
        if self.identity:
            return str(int(raw))
        value = "%.*f" % (self.decimals, self.apply(float(raw)))
        return value + (" " + self.unit if self.unit else "")

    def as_dict(self):
        """What crosses to a page or another process: {"scale", "offset", "unit", "decimals"}."""
        return {"scale": self.scale, "offset": self.offset, "unit": self.unit, "decimals": self.decimals}


def _finite(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(text)
    return value


def add_arguments(parser):
    group = parser.add_argument_group("calibration (display only; saved data stay raw)")
    group.add_argument("--scale", type=_finite, default=1.0, metavar="A",
                       help="show raw values as raw * A + B (default 1)")
    group.add_argument("--offset", type=_finite, default=0.0, metavar="B", help="see --scale (default 0)")
    group.add_argument("--unit", default="", metavar="U", help="unit of the shown values, e.g. °C")


def from_args(args):
    """The Calibration the command line asks for; ValueError for a scale of 0."""
    return Calibration(getattr(args, "scale", 1.0), getattr(args, "offset", 0.0), getattr(args, "unit", ""))
