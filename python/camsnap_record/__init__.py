"""camsnap_record: reading the HDF5 files `camsnap record` writes.

    import camsnap_record

    with camsnap_record.open("run.h5") as recording:
        thermal = recording["video0"]
        print(len(thermal), thermal.attrs["format"], thermal.fps)
        first = thermal[0]                   # one frame, read from the file now
        times = thermal.timestamp            # ns, CLOCK_MONOTONIC, one per frame
        for heat, colour in recording.matched("video0", "video2"):
            ...                              # frames taken within the tolerance of each other

Nothing is loaded until asked: frames are read one at a time (or by slices), the per-frame
times once per camera (8 bytes a frame: 1 MB for an hour at 30 fps).

The file's layout, for h5py, MATLAB (`h5read`) or any HDF5 reader. One group per camera,
named after its node (`video0`; the root attribute `cameras` lists them in order):

    /video0/frames      N x H x W uint16 (16-bit formats), N x H x W x 3 uint8 (colour, RGB),
                        N x H x W uint8 ("GREY"), or N x sizeimage uint8 (--raw: the bytes as
                        delivered, the first `bytesused` of each row). One chunk per frame,
                        deflate (with shuffle before it for 16-bit): no plugin needed.
    /video0/sequence    N int64, the driver's frame number
    /video0/timestamp   N int64, ns of CLOCK_MONOTONIC (the driver's capture time; compare
                        across cameras of one recording)
    /video0/arrival     N int64, ns since 1970 (UTC) when the frame reached the program
    /video0/dropped     N int64, frames the driver numbered but never delivered, before this one
    /video0/lost        N int64, frames read but not written (the disk fell behind), before this one
    /video0/error       N uint8, 1 where the driver flagged the frame as damaged
    /video0/bytesused   N int64, the bytes the driver delivered
    /video0/controls    a group whose attributes are the camera's controls (key = value) at the start

Attributes of a camera's group: `device` (path), `card`, `format` (four characters), `width`,
`height`, `fps` (the rate the driver set; absent where it keeps none), `bytesperline`,
`sizeimage`, `quantization` and `encoding` (Y'CbCr formats), `raw` (1 for bytes as delivered),
`clock` ("monotonic"), `deflate_level`, `deflater` ("isal" or "zlib"), and whatever
`--attr NAME=VALUE` added (calibration).
Root attributes: `layout` ("camsnap-record 1"), `camsnap_version`, `started` (local time,
ISO 8601), `command`.

MATLAB reverses the order of dimensions: `h5read('run.h5', '/video0/frames')` is W x H x N
(permute(x, [2 1 3]) for H x W x N); `h5read(..., [1 1 k], [W H 1])` reads frame k alone.

After a crash (SIGKILL, power cut) the file holds what was flushed, at most half a second
before it: `frames` may then be a few frames longer than the per-frame datasets. Use the
length of `timestamp`, as this package does.
"""
import typing

import h5py
import numpy as np

__all__ = ["open", "Recording", "CameraRecording", "LAYOUT"]

LAYOUT = "camsnap-record 1"
FRAMES = "frames"
SEQUENCE, TIMESTAMP, ARRIVAL, DROPPED, LOST, ERROR, BYTESUSED = (
    "sequence", "timestamp", "arrival", "dropped", "lost", "error", "bytesused")
# The per-frame datasets, in the order of a row as the writer takes it.
ROWS = ((SEQUENCE, "int64"), (TIMESTAMP, "int64"), (ARRIVAL, "int64"), (DROPPED, "int64"),
        (LOST, "int64"), (ERROR, "uint8"), (BYTESUSED, "int64"))


class CameraRecording(object):
    """One camera's frames and times. `recording[name][i]` is frame i (a numpy array),
    slices give several; iterating reads one frame at a time. The per-frame arrays
    (`sequence`, `timestamp`, ...) are read on first use."""

    def __init__(self, group: h5py.Group) -> None:
        self.name = group.name.lstrip("/")
        self.group = group
        self.frames = group[FRAMES]  # type: h5py.Dataset
        self.attrs = {key: _plain(value) for key, value in group.attrs.items()}  # type: typing.Dict[str, typing.Any]
        self.controls = {key: _plain(value) for key, value in group["controls"].attrs.items()} \
            if "controls" in group else {}  # type: typing.Dict[str, typing.Any]
        self._rows = {}  # type: typing.Dict[str, np.ndarray]
        self._length = min(self.frames.shape[0], group[TIMESTAMP].shape[0])

    def __len__(self) -> int:
        return self._length

    def __getitem__(self, index: typing.Union[int, slice]) -> np.ndarray:
        if isinstance(index, slice):
            return self.frames[slice(*index.indices(self._length))]
        position = index + self._length if index < 0 else index
        if not 0 <= position < self._length:
            raise IndexError("frame %d of %d" % (index, self._length))
        return self.frames[position]

    def __iter__(self) -> typing.Iterator[np.ndarray]:
        for index in range(self._length):
            yield self.frames[index]

    def _row(self, name: str) -> np.ndarray:
        if name not in self._rows:
            self._rows[name] = self.group[name][:self._length]
        return self._rows[name]

    @property
    def sequence(self) -> np.ndarray:
        return self._row(SEQUENCE)

    @property
    def timestamp(self) -> np.ndarray:
        """ns of CLOCK_MONOTONIC, the driver's capture time."""
        return self._row(TIMESTAMP)

    @property
    def arrival(self) -> np.ndarray:
        """ns since the epoch (UTC) when the frame reached the program."""
        return self._row(ARRIVAL)

    @property
    def dropped(self) -> np.ndarray:
        return self._row(DROPPED)

    @property
    def lost(self) -> np.ndarray:
        return self._row(LOST)

    @property
    def error(self) -> np.ndarray:
        return self._row(ERROR)

    @property
    def bytesused(self) -> np.ndarray:
        return self._row(BYTESUSED)

    @property
    def fps(self) -> float:
        """Frames a second as recorded: the median interval of the timestamps (the driver's
        rate when fewer than two frames)."""
        if self._length >= 2:
            interval = float(np.median(np.diff(self.timestamp)))
            if interval > 0:
                return 1e9 / interval
        return float(self.attrs.get("fps") or 0.0)


class Recording(object):
    """An open recording: `recording.cameras` (names), `recording[name]`."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.file = h5py.File(path, "r")
        self.attrs = {key: _plain(value) for key, value in self.file.attrs.items()}  # type: typing.Dict[str, typing.Any]
        names = self.attrs.get("cameras")
        self.cameras = list(names) if names is not None else [
            key for key in self.file if isinstance(self.file[key], h5py.Group)]  # type: typing.List[str]
        self._cameras = {name: CameraRecording(self.file[name]) for name in self.cameras}

    def __getitem__(self, name: str) -> CameraRecording:
        return self._cameras[name]

    def close(self) -> None:
        self.file.close()

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc: typing.Any) -> None:
        self.close()

    def tolerance(self, *names: str) -> float:
        """The default matching tolerance in seconds: half the frame interval of the fastest
        of these cameras, so that each frame of a slower camera has at most one partner."""
        fastest = max(self[name].fps for name in names or self.cameras)
        return 0.5 / fastest if fastest > 0 else 0.0

    def match(self, *names: str, tolerance: typing.Optional[float] = None) -> np.ndarray:
        """Frame indices of matched sets, shape (M, len(names)), a column per camera in the
        order given (default: all). For each frame of the slowest camera, the frame of each
        other camera nearest in timestamp, when within `tolerance` seconds (default:
        tolerance()) of it; sets where any camera has none are left out."""
        names = names or tuple(self.cameras)
        limit = int(round((self.tolerance(*names) if tolerance is None else tolerance) * 1e9))
        reference = min(names, key=lambda name: self[name].fps)
        base = self[reference].timestamp
        columns = []
        keep = np.ones(len(base), dtype=bool)
        for name in names:
            times = self[name].timestamp
            if name == reference:
                columns.append(np.arange(len(base)))
                continue
            if len(times) == 0:
                return np.empty((0, len(names)), dtype=np.int64)
            after = np.clip(np.searchsorted(times, base), 0, len(times) - 1)
            before = np.clip(after - 1, 0, len(times) - 1)
            nearest = np.where(np.abs(times[before] - base) <= np.abs(times[after] - base), before, after)
            keep &= np.abs(times[nearest] - base) <= limit
            columns.append(nearest)
        if not columns:
            return np.empty((0, 0), dtype=np.int64)
        return np.stack(columns, axis=1)[keep].astype(np.int64)

    def matched(self, *names: str, tolerance: typing.Optional[float] = None
                ) -> typing.Iterator[typing.Tuple[np.ndarray, ...]]:
        """The frames of match(), one set at a time, read as they are reached."""
        names = names or tuple(self.cameras)
        cameras = [self[name] for name in names]
        for indices in self.match(*names, tolerance=tolerance):
            yield tuple(camera[int(index)] for camera, index in zip(cameras, indices))


def open(path: str) -> Recording:  # noqa: A001 (the package's one entry point reads as camsnap_record.open)
    """Opens a recording for reading (a context manager)."""
    return Recording(path)


def _plain(value: typing.Any) -> typing.Any:
    """Attribute values as Python values: text as str, one-element numbers as numbers."""
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray) and value.dtype.kind in "OSU":
        return [_plain(item) for item in value.tolist()]
    if isinstance(value, np.generic):
        return value.item()
    return value
