"""Types of the camsnap_camera extension module: camera objects.

Every failure raises CameraError (an OSError carrying errno, strerror and the device path as
filename); nothing is written to standard error. Waits, copies and conversions run without
the interpreter lock; each camera serialises the calls made on it.

FrameSizeInfo, FormatInfo, Configuration, ControlInfo and PixelArray exist for type checkers only, not in the
module: use them in annotations that are not evaluated.
"""
import os
from types import TracebackType
from typing import Any, Dict, Iterator, List, Literal, Optional, Type, TypedDict, Union

import numpy
import numpy.typing

class CameraError(OSError): ...

class FrameSizeInfo(TypedDict):
    width: int
    height: int
    fps: List[float]
    """The frame rates the driver lists for this size, fastest first as the driver orders them."""

class FormatInfo(TypedDict):
    format: str
    """Four characters: "YUYV", "MJPG", "Y16 "."""
    description: str
    compressed: bool
    sizes: List[FrameSizeInfo]

class Configuration(TypedDict):
    format: str
    width: int
    height: int
    bytesperline: int
    sizeimage: int
    fps: Optional[float]
    """The frame rate the driver set; None where it keeps none."""
    quantization: Optional[Literal["full", "limited"]]
    """For Y'CbCr formats, the range the conversion to RGB follows; None otherwise."""
    encoding: Optional[Literal["bt601", "bt709"]]

class ControlInfo(TypedDict):
    name: str
    """The driver's name: "Percentage of Dropped Buffers"."""
    key: str
    """The name in lower case with underscores: "percentage_of_dropped_buffers"."""
    id: int
    type: Literal["integer", "boolean", "menu", "integer_menu", "button", "integer64", "bitmask", "other"]
    minimum: int
    maximum: int
    step: int
    default: int
    menu: Dict[int, str]
    value: Optional[int]
    """None for a control without a readable value (a button, a write-only control)."""

PixelArray = Union[numpy.typing.NDArray[numpy.uint8], numpy.typing.NDArray[numpy.uint16]]

class Frame:
    @property
    def array(self) -> PixelArray:
        """uint16 (H, W) for "Y16 " and 16-bit "BGR3"; RGB uint8 (H, W, 3) for "YU12", "YUYV",
        "NV12", "RGB3"; uint8 (H, W) for "GREY"; with raw=True the bytes delivered, uint8 (bytesused,)."""
    @property
    def sequence(self) -> int: ...
    @property
    def timestamp(self) -> int:
        """Nanoseconds of the clock named by `clock` (time.monotonic_ns for "monotonic")."""
    @property
    def clock(self) -> Literal["monotonic", "copy", "unknown"]: ...
    @property
    def dropped(self) -> int:
        """Frames the driver numbered but did not deliver since the previous frame read."""
    @property
    def error(self) -> bool: ...
    @property
    def bytesused(self) -> int: ...
    @property
    def format(self) -> str: ...
    def __array__(self, dtype: Any = ..., copy: Optional[bool] = ...) -> PixelArray: ...

class Camera:
    def __init__(self, device: Union[int, str, "os.PathLike[str]"]) -> None:
        """An index N (/dev/videoN) or a path."""
    @property
    def path(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    @property
    def controls(self) -> List[ControlInfo]: ...
    def formats(self) -> List[FormatInfo]: ...
    def configure(self, format: str, width: int, height: int, fps: Optional[float] = None,
                  quantization: Optional[Literal["full", "limited"]] = None,
                  encoding: Optional[Literal["bt601", "bt709"]] = None) -> Configuration:
        """quantization and encoding: the Y'CbCr variant to convert with, over the driver's word
        (None: the driver's)."""
    def start(self, buffers: int = 4) -> None: ...
    def read(self, timeout: Optional[float] = None, out: Optional[PixelArray] = None, raw: bool = False) -> Frame: ...
    def latest(self, timeout: Optional[float] = None, out: Optional[PixelArray] = None, raw: bool = False) -> Frame: ...
    def stop(self) -> None: ...
    def close(self) -> None: ...
    def get_control(self, name: str) -> int: ...
    def set_control(self, name: str, value: int) -> None: ...
    def __enter__(self) -> "Camera": ...
    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None: ...
    def __iter__(self) -> Iterator[Frame]: ...
    def __next__(self) -> Frame: ...
