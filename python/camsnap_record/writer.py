"""Writing a recording (the layout is described in camsnap_record's docstring). One Writer per
file, used from one thread; chunks are compressed beforehand (compress_chunk, in any thread:
zlib releases the interpreter lock) and stored as they are with write_direct_chunk, so the
writer thread only copies bytes.

Crash safety: the file is never opened in SWMR mode (a file killed while open for SWMR writing
keeps a flag that stops plain h5py and MATLAB from opening it until h5clear runs). Instead
flush() runs at least twice a second: the per-frame rows go in, HDF5 writes its metadata, and
the file is fsynced. A kill or a power cut leaves the file as of the last flush, plus chunks
HDF5 does not point to yet."""
import errno
import importlib
import os
import time
import typing
import zlib

import h5py
import numpy as np

from camsnap_record import FRAMES, LAYOUT, ROWS

_isal_zlib = None  # type: typing.Any
try:
    # ISA-L writes the same zlib stream as zlib, four to seven times faster at levels 0 to 3
    # (bench/record): what lets 1080p colour keep up. Without it, zlib.
    _isal_zlib = importlib.import_module("isal.isal_zlib")
except ImportError:
    pass

# Deflate level 1: on a noisy thermal scene higher levels gain a few per cent of size for
# up to four times the processor time (bench/record measures it).
DEFAULT_LEVEL = 1
FLUSH_SECONDS = 0.5
# Rows of the per-frame datasets in one chunk: 16 kB of int64, two minutes at 60 fps.
ROW_CHUNK = 2048


def shuffled(array: np.ndarray) -> np.ndarray:
    """The array's bytes in the order HDF5's shuffle filter stores them: the first byte of
    every element, then the second, ..."""
    data = np.ascontiguousarray(array)
    size = data.dtype.itemsize
    if size == 1:
        return data.reshape(-1)
    return data.view(np.uint8).reshape(-1, size).T.copy()


def deflater(level: int) -> str:
    """The library that compresses at this level: "isal" or "zlib"."""
    return "isal" if _isal_zlib is not None and level <= 3 else "zlib"


def compress_chunk(array: np.ndarray, level: int = DEFAULT_LEVEL) -> bytes:
    """One frame as the dataset's filters (shuffle for more than a byte a pixel, then deflate)
    would store it."""
    data = shuffled(array).data
    if deflater(level) == "isal":
        return typing.cast(bytes, _isal_zlib.compress(data, level))
    return zlib.compress(data, level)


class Track(object):
    """One camera's group: the frames dataset and the per-frame rows, which are kept in memory
    between flushes (half a second of them)."""

    def __init__(self, group: h5py.Group, shape: typing.Tuple[int, ...], dtype: np.dtype,
                 level: int) -> None:
        self.group = group
        self.shape = tuple(shape)
        self.dtype = np.dtype(dtype)
        self.frames = group.create_dataset(
            FRAMES, (0,) + self.shape, self.dtype, maxshape=(None,) + self.shape,
            chunks=(1,) + self.shape, compression="gzip", compression_opts=level,
            shuffle=self.dtype.itemsize > 1)
        self.rows = {name: group.create_dataset(name, (0,), kind, maxshape=(None,), chunks=(ROW_CHUNK,))
                     for name, kind in ROWS}
        self.count = 0
        self.written_rows = 0
        self._pending = []  # type: typing.List[typing.Tuple[int, ...]]
        self._origin = (0,) * len(self.shape)

    def add(self, chunk: bytes, row: typing.Tuple[int, ...]) -> None:
        """A frame compressed by compress_chunk, with its row (one value per name of ROWS)."""
        self.frames.resize(self.count + 1, axis=0)
        self.frames.id.write_direct_chunk((self.count,) + self._origin, chunk)
        self.count += 1
        self._pending.append(row)

    def write_rows(self) -> None:
        if not self._pending:
            return
        start, end = self.written_rows, self.written_rows + len(self._pending)
        columns = list(zip(*self._pending))
        for (name, _), column in zip(ROWS, columns):
            dataset = self.rows[name]
            dataset.resize((end,))
            dataset[start:end] = column
        self.written_rows = end
        self._pending = []


class Writer(object):
    """A new recording at path. add_camera() for each camera before the first frame; add()
    per frame; flush() at least every FLUSH_SECONDS (maybe_flush() does it when due); close().
    The file is hidden (.NAME.PID.part beside path) until publish()."""

    def __init__(self, path: str, attributes: typing.Mapping[str, typing.Any]) -> None:
        self.path = path
        directory, name = os.path.split(path)
        # The file has its name only from publish() on, once its groups are on the disk: until
        # its first flush a new file's superblock points at nothing.
        self._temporary = os.path.join(directory, ".%s.%d.part" % (name, os.getpid()))
        # The oldest file format that holds what we write: readable by every HDF5 1.8 and later
        # (MATLAB R2011a on), and never marked as open for writing.
        self.file = h5py.File(self._temporary, "w", libver="earliest")
        self.file.attrs["layout"] = LAYOUT
        for name, value in attributes.items():
            self.file.attrs[name] = value
        self.tracks = []  # type: typing.List[Track]
        self._flushed = time.monotonic()

    def add_camera(self, name: str, shape: typing.Tuple[int, ...], dtype: typing.Any,
                   attributes: typing.Mapping[str, typing.Any],
                   controls: typing.Mapping[str, int], level: int = DEFAULT_LEVEL) -> int:
        """A group for one camera; returns its index for add()."""
        group = self.file.create_group(name)
        for key, value in attributes.items():
            if value is not None:
                group.attrs[key] = value
        control_group = group.create_group("controls")
        for key, value in controls.items():
            control_group.attrs[key] = value
        self.tracks.append(Track(group, shape, dtype, level))
        self.file.attrs["cameras"] = [track.group.name.lstrip("/") for track in self.tracks]
        return len(self.tracks) - 1

    def publish(self) -> None:
        """Flushes the cameras' groups to the disk and gives the file its name, never
        replacing a file (FileExistsError)."""
        self.flush()
        try:
            os.link(self._temporary, self.path)
        except FileExistsError:
            raise
        except OSError:
            # No hard links (FAT, some network file systems): a rename, after a last look.
            if os.path.lexists(self.path):
                raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), self.path)
            os.rename(self._temporary, self.path)
            self._temporary = ""
            return
        os.unlink(self._temporary)
        self._temporary = ""

    def add(self, camera: int, chunk: bytes, row: typing.Tuple[int, ...]) -> None:
        self.tracks[camera].add(chunk, row)

    def flush(self) -> None:
        for track in self.tracks:
            track.write_rows()
        self.file.flush()
        os.fsync(self.file.id.get_vfd_handle())
        self._flushed = time.monotonic()

    def maybe_flush(self) -> None:
        if time.monotonic() - self._flushed >= FLUSH_SECONDS:
            self.flush()

    def close(self) -> None:
        if self.file.id.valid:
            try:
                self.flush()
            finally:
                self.file.close()
                if self._temporary:    # never published: nothing worth a name
                    os.unlink(self._temporary)
                    self._temporary = ""
