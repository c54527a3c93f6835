"""Writing frames to files a person can open: PNG, TIFF (16-bit for infrared) and .npy, the
colour-mapped preview of an infrared frame, and a .npy file that grows frame by frame.

Every file is written under a temporary name in its own directory and renamed into place once
complete, so that a full disk, an error or Ctrl-C never leaves a file cut short."""
import contextlib
import errno
import os
import uuid
from typing import Any, Tuple

import numpy as np

from camsnap_cli.calibration import Calibration
from camsnap_cli.colour_maps import INFERNO, colour_bar, colourise
from camsnap_cli.common import CliError, EXIT_USAGE

EXTENSIONS = (".png", ".tif", ".tiff", ".npy")
_PICTURE_FORMATS = {".png": "PNG", ".tif": "TIFF", ".tiff": "TIFF"}
_BAR_WIDTH = 16
_MARGIN = 6
_TEXT = (255, 255, 255)
_BACKGROUND = (0, 0, 0)


class WriteError(CliError):
    """A file could not be written: "cannot write PATH: reason"."""

    def __init__(self, path, reason):
        CliError.__init__(self, "cannot write %s: %s" % (path, reason))
        self.path = path
        self.reason = reason


def _reason(error):
    return error.strerror or str(error)


def check_extension(path):
    extension = os.path.splitext(path)[1].lower()
    if extension not in EXTENSIONS:
        raise CliError("cannot write %r: the file name must end in %s" % (path, ", ".join(EXTENSIONS)),
                       EXIT_USAGE)
    return extension


def _temporary_name(path):
    directory, name = os.path.split(path)
    return os.path.join(directory, ".%s.%s.part" % (name, uuid.uuid4().hex[:8]))


def _open_temporary(path, buffering=-1):
    """A new file beside path, for writing; mode 0666 less the umask, as open() gives."""
    directory = os.path.dirname(path)
    if directory:
        try:
            os.makedirs(directory, exist_ok=True)
        except FileExistsError:
            # A file where a folder of the path should be.
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR))
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
    temporary = _temporary_name(path)
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
    return os.fdopen(fd, "w+b", buffering), temporary


def check_writable(path):
    """Makes sure path can be written before a capture runs: path is not a folder, and the
    folder it goes in takes a new file (or, when it does not exist yet, the nearest folder
    above it that does, so that a failed capture leaves no empty folders). WriteError if not."""
    try:
        if os.path.isdir(path):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        existing = os.path.dirname(os.path.abspath(path))
        while not os.path.lexists(existing):
            existing = os.path.dirname(existing)
        if not os.path.isdir(existing):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR))
        handle, temporary = _open_temporary(os.path.join(existing, os.path.basename(path)))
    except OSError as error:
        raise WriteError(path, _reason(error))
    handle.close()
    os.unlink(temporary)


def _discard(handle, temporary):
    # Closing flushes what the file object still holds, which fails again on a full disk.
    for step in (handle.close, lambda: os.unlink(temporary)):
        try:
            step()
        except OSError:
            pass


def _write_all(raw, data):
    """Writes all of data to an unbuffered file, which may take it in parts."""
    view = memoryview(data).cast("B")
    while view:
        written = raw.write(view)
        if not written:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        view = view[written:]


def _commit(handle, temporary, path):
    """Puts a finished temporary file in place: on the disk first, then under its name."""
    handle.flush()
    os.fsync(handle.fileno())
    handle.close()
    os.replace(temporary, path)


@contextlib.contextmanager
def replacing(path):
    """Yields a binary file that becomes path once the block ends without an error; on any
    error (or Ctrl-C) the partial file is removed and path is left as it was. OSError becomes
    WriteError."""
    try:
        handle, temporary = _open_temporary(path)
    except OSError as error:
        raise WriteError(path, _reason(error))
    try:
        yield handle
        _commit(handle, temporary, path)
    except BaseException as error:
        _discard(handle, temporary)
        if isinstance(error, OSError):
            raise WriteError(path, _reason(error))
        raise


def _picture(frame):
    from PIL import Image
    # A uint16 array becomes an "I;16" picture: 16-bit greyscale in PNG and TIFF alike.
    return Image.fromarray(np.ascontiguousarray(frame))


def write_frame(frame, path):
    """Writes one frame (HxW uint16 or HxWx3 uint8) by the file name's extension."""
    extension = check_extension(path)
    with replacing(path) as handle:
        if extension == ".npy":
            np.save(handle, frame)
        else:
            _picture(frame).save(handle, format=_PICTURE_FORMATS[extension])
    return path


def preview_path(path):
    return os.path.splitext(path)[0] + "-preview.png"


def preview(frame, calibration=None):
    """An 8-bit RGB picture of a 16-bit frame: the colour map stretched between the frame's
    minimum and maximum, a colour bar beside it, the maximum at its top and the minimum at its
    foot, both labelled in the calibration's terms. Returns (PIL image, lo, hi)."""
    from PIL import Image, ImageDraw
    calibration = calibration or Calibration()
    rgb, lo, hi = colourise(frame)
    height, width = rgb.shape[:2]
    labels = [calibration.text(hi), calibration.text(lo)]
    text_width = max(text_size(t)[0] for t in labels)
    text_height = max(text_size(t)[1] for t in labels)
    panel = _MARGIN + _BAR_WIDTH + _MARGIN + text_width + _MARGIN
    canvas = np.zeros((max(height, 2 * text_height + 4), width + panel, 3), dtype=np.uint8)
    canvas[:height, :width] = rgb
    bar_left = width + _MARGIN
    canvas[:height, bar_left:bar_left + _BAR_WIDTH] = colour_bar(INFERNO, height, _BAR_WIDTH)
    image = Image.fromarray(canvas)
    draw = ImageDraw.Draw(image)
    text_left = bar_left + _BAR_WIDTH + _MARGIN
    draw.text((text_left, 0), labels[0], fill=_TEXT)
    draw.text((text_left, max(height, canvas.shape[0]) - text_height - 2), labels[1], fill=_TEXT)
    return image, lo, hi


def text_size(text):
    """(right, bottom) of text drawn at the origin in the default font, so that the size
    includes the font's offset above the glyphs. Measured by drawing it: Pillow before 9.2
    measures only TrueType fonts (textbbox), and its default font is a bitmap one."""
    from PIL import Image, ImageDraw
    scratch = Image.new("L", (16 * len(text) + 16, 64))
    ImageDraw.Draw(scratch).text((0, 0), text, fill=255)
    box = scratch.getbbox()
    return (box[2], box[3]) if box else (0, 0)


def write_preview(frame, path, calibration=None):
    image, lo, hi = preview(frame, calibration)
    with replacing(path) as handle:
        image.save(handle, format="PNG")
    return lo, hi


class GrowingNpy(object):
    """A .npy file of up to `total` frames written as they come, so that memory holds one
    batch, not the series. The header is written for `total` frames and padded to a fixed
    length, so that finish() can set the count actually written in place; the file takes its
    name only then. A write error keeps the frames written before it (finish() still works).
    """

    def __init__(self, path, total):
        self.path, self.total = path, total
        self.count = 0
        self._handle = None  # type: Any
        self._temporary = ""
        self._frame_bytes = self._header_length = 0
        self._descr = ""
        self._shape = ()  # type: Tuple[int, ...]

    def _header(self, count):
        text = "{'descr': %r, 'fortran_order': False, 'shape': %r, }" % (
            self._descr, (count,) + self._shape)
        return text.encode("latin1")

    def _start(self, frame):
        self._descr = np.lib.format.dtype_to_descr(frame.dtype)
        self._shape = tuple(frame.shape)
        self._frame_bytes = frame.nbytes
        # Magic (6), version (2), length (2), then the text padded with spaces and ended by a
        # newline so that the data start on a 64-byte boundary, as numpy writes it.
        longest = len(self._header(self.total)) + 1
        self._header_length = -(-(10 + longest) // 64) * 64 - 10
        try:
            # Unbuffered, so that a frame counts as written only once the system took all of it.
            self._handle, self._temporary = _open_temporary(self.path, buffering=0)
            self._write_header(self.total)
        except OSError as error:
            self._abandon()
            raise WriteError(self.path, _reason(error))

    def _write_header(self, count):
        text = self._header(count)
        text += b" " * (self._header_length - len(text) - 1) + b"\n"
        self._handle.seek(0)
        _write_all(self._handle, b"\x93NUMPY\x01\x00" + np.uint16(self._header_length).astype("<u2").tobytes())
        _write_all(self._handle, text)

    def append(self, frames):
        """Writes a batch of frames (first axis) after those written so far."""
        for frame in frames:
            if self._handle is None:
                self._start(frame)
            try:
                _write_all(self._handle, np.ascontiguousarray(frame))
            except OSError as error:
                raise WriteError(self.path, _reason(error))
            self.count += 1

    def finish(self):
        """Gives the file its name with the frames written so far (none: no file). Returns the
        count."""
        if self._handle is None:
            return 0
        if self.count == 0:
            self._abandon()
            return 0
        try:
            self._handle.truncate(10 + self._header_length + self.count * self._frame_bytes)
            self._write_header(self.count)
            _commit(self._handle, self._temporary, self.path)
        except OSError as error:
            self._abandon()
            raise WriteError(self.path, _reason(error))
        self._handle = None
        return self.count

    def _abandon(self):
        if self._handle is not None:
            _discard(self._handle, self._temporary)
        self._handle = None
