"""A .npy file that grows frame by frame (a series, the view's recording), so that memory
holds one frame or one batch, not all of them. The header (numpy.lib.format's) is written for
the most frames the file may take and rewritten in place at the end with the count written;
the file takes its name only then (files.commit)."""
import io
import struct
import typing

import numpy as np

from camsnap_cli import files

# A recording of unknown length leaves room in the header for any count.
UNBOUNDED = 2 ** 63 - 1


class GrowingNpy(object):
    """Frames appended to path as they come, up to `total` (None: any number). finish()
    gives the file its name: path (replace=True), or path's first free stem-2, stem-3 ...
    (replace=False, never replacing a file). A write error keeps the frames written before
    it (finish() still works). Errors are files.WriteError."""

    def __init__(self, path, total=None, replace=True):
        self.path, self.total, self.replace = path, total, replace
        self.count = 0
        self._handle = None  # type: typing.Any
        self._temporary = ""
        self._dtype = np.dtype(np.uint16)
        self._shape = ()  # type: typing.Tuple[int, ...]
        self._frame_bytes = self._header_bytes = 0

    def _header(self, count):
        out = io.BytesIO()
        np.lib.format.write_array_header_1_0(out, {
            "descr": np.lib.format.dtype_to_descr(self._dtype), "fortran_order": False,
            "shape": (count,) + self._shape})
        header = out.getvalue()
        if len(header) < self._header_bytes:
            # Fewer digits than the count it was made for: padded to where the frames start.
            header = (header[:8] + struct.pack("<H", self._header_bytes - 10) + header[10:-1] +
                      b" " * (self._header_bytes - len(header)) + b"\n")
        return header

    def start(self, frame):
        """Creates the file for frames like this one; append() does it for the first frame."""
        self._dtype, self._shape = frame.dtype, tuple(frame.shape)
        self._frame_bytes = frame.nbytes
        self._header_bytes = len(self._header(UNBOUNDED if self.total is None else self.total))
        try:
            # Unbuffered, so that a frame counts as written only once the system took all of it.
            self._handle, self._temporary = files.open_temporary(self.path, buffering=0)
            files.write_all(self._handle, self._header(self.count))
        except OSError as error:
            self._abandon()
            raise files.write_error(self.path, error)

    def append(self, frames):
        """Writes a batch of frames (first axis) after those written so far."""
        for frame in frames:
            if self._handle is None:
                self.start(frame)
            try:
                files.write_all(self._handle, np.ascontiguousarray(frame))
            except OSError as error:
                raise files.write_error(self.path, error)
            self.count += 1

    def finish(self):
        """Gives the file its name with the frames written so far (none: no file). Returns the
        count; `path` is the file's name."""
        if self._handle is None:
            return 0
        if self.count == 0:
            self._abandon()
            return 0
        try:
            self._handle.truncate(self._header_bytes + self.count * self._frame_bytes)
            self._handle.seek(0)
            files.write_all(self._handle, self._header(self.count))
            self.path = files.commit(self._handle, self._temporary, self.path, self.replace)
        except OSError as error:
            self._abandon()
            raise files.write_error(self.path, error)
        self._handle = None
        return self.count

    def _abandon(self):
        if self._handle is not None:
            files.discard(self._handle, self._temporary)
        self._handle = None
