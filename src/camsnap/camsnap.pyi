"""Types of the camsnap extension module.

Failures of the device or of memory never raise: the call writes "E:<function>:<line>:<text>"
lines on standard error and returns False or None. Only malformed arguments raise TypeError.

CameraInfo, FormatInfo, FrameSize and Frame exist for type checkers only, not in the module:
use them in annotations that are not evaluated (`from __future__ import annotations`, quotes).
"""
from typing import List, Optional, TypedDict

import numpy
import numpy.typing

class FrameSize(TypedDict):
    width: int
    height: int

class FormatInfo(TypedDict):
    fmt: int
    """Four-character code, first character in the lowest byte ("Y16 " is 0x20363159)."""
    res: List[FrameSize]
    """The discrete frame sizes; empty for a format with stepwise or continuous sizes."""

class CameraInfo(TypedDict):
    id: int
    """N of /dev/videoN."""
    card: str
    fmts: List[FormatInfo]

Frame = numpy.typing.NDArray[numpy.uint16] | numpy.typing.NDArray[numpy.uint8]

def open(n: int, /) -> bool:
    """Opens /dev/video<n>, closing any camera opened before."""
def close(*args: object) -> bool:
    """Closes the open camera."""
def list(*args: object) -> List[CameraInfo]:
    """The cameras on /dev/video0 to /dev/video9 with their formats and discrete sizes."""
def init(mode: int, width: int, height: int, /) -> bool:
    """Sets the mode (0: 16-bit infrared, 1: RGB, 2: 16-bit infrared carried in "BGR3") and
    the frame size of the open camera."""
def captureSingle(*args: object) -> Optional[Frame]:
    """One frame: (height, width) uint16 in modes 0 and 2, (height, width, 3) uint8 in mode 1."""
def captureSeries(n: int, /) -> Optional[Frame]:
    """n frames as one array: (n, height, width) uint16 or (n, height, width, 3) uint8."""
def startStream(*args: object) -> bool:
    """Starts a stream for captureStream."""
def captureStream(*args: object) -> Optional[Frame]:
    """The next frame of the running stream, shaped as captureSingle's."""
def stopStream(*args: object) -> bool:
    """Stops the stream and frees its memory."""
