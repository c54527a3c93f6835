"""Files that are never seen cut short: each is written under a hidden temporary name beside
its final one and gets that name only once complete and on the disk, so that a full disk, an
error or Ctrl-C leaves no partial file. New files get the permissions open() gives (0666 less
the umask). OSError becomes WriteError, "cannot write PATH: reason"."""
import contextlib
import datetime
import errno
import os
import uuid

from camsnap_cli.common import CliError


class WriteError(CliError):
    """A file could not be written: "cannot write PATH: reason"."""

    def __init__(self, path, reason):
        CliError.__init__(self, "cannot write %s: %s" % (path, reason))
        self.path = path
        self.reason = reason


def write_error(path, error):
    return WriteError(path, error.strerror or str(error))


def time_stamp():
    """The local date and time as files are named by it: 20250131-235959."""
    return datetime.datetime.now().strftime("%Y%m%d-%H%M%S")


def _temporary_name(path):
    directory, name = os.path.split(path)
    return os.path.join(directory, ".%s.%s.part" % (name, uuid.uuid4().hex[:8]))


def open_temporary(path, buffering=-1):
    """(a new file beside path, open for writing; its temporary name). The folders on the way
    are made."""
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
        handle, temporary = open_temporary(os.path.join(existing, os.path.basename(path)))
    except OSError as error:
        raise write_error(path, error)
    handle.close()
    os.unlink(temporary)


def discard(handle, temporary):
    """Closes and removes a temporary file that will not be finished."""
    # Closing flushes what the file object still holds, which fails again on a full disk.
    for step in (handle.close, lambda: os.unlink(temporary)):
        try:
            step()
        except OSError:
            pass


def write_all(raw, data):
    """Writes all of data to an unbuffered file, which may take it in parts."""
    view = memoryview(data).cast("B")
    while view:
        written = raw.write(view)
        if not written:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        view = view[written:]


def commit(handle, temporary, path, replace=True):
    """Puts a finished temporary file in place, on the disk first, then under its name:
    path (replace=True), or path or the first of path's stem-2, stem-3 ... that is free,
    never replacing a file. Returns the name."""
    handle.flush()
    os.fsync(handle.fileno())
    handle.close()
    if replace:
        os.replace(temporary, path)
        return path
    return _place(temporary, path)


def _place(temporary, path):
    stem, extension = os.path.splitext(path)
    for n in range(1, 1000):
        name = stem + ("" if n == 1 else "-%d" % n) + extension
        try:
            os.link(temporary, name)
        except FileExistsError:
            continue
        except OSError:
            # No hard links here (FAT on a USB stick, some network file systems): claim the
            # name with an empty file first, then rename over that claim.
            try:
                os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
            except FileExistsError:
                continue
            os.replace(temporary, name)
            return name
        os.unlink(temporary)
        return name
    raise OSError(errno.EEXIST, "no free file name for %s" % path)


@contextlib.contextmanager
def replacing(path):
    """Yields a binary file that becomes path once the block ends without an error; on any
    error (or Ctrl-C) the partial file is removed and path is left as it was."""
    try:
        handle, temporary = open_temporary(path)
    except OSError as error:
        raise write_error(path, error)
    try:
        yield handle
        commit(handle, temporary, path)
    except BaseException as error:
        discard(handle, temporary)
        if isinstance(error, OSError):
            raise write_error(path, error)
        raise


def write_new(path, data):
    """Writes bytes as path, or as the first free one of path's stem-2, stem-3 ... (never
    replacing a file). Returns the name."""
    try:
        handle, temporary = open_temporary(path)
        try:
            handle.write(data)
            return commit(handle, temporary, path, replace=False)
        except BaseException:
            discard(handle, temporary)
            raise
    except OSError as error:
        raise write_error(path, error)
