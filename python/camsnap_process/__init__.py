"""camsnap_process: the camera in a child process, so the program's own threads keep running.

The camsnap module keeps the interpreter lock for the whole of each call, also while it waits
for the next frame (up to a frame period, 111 ms at 9 fps). A GUI, an asyncio server or a
control loop in the same interpreter stalls meanwhile. CameraProcess makes every camsnap call
in a child process; the child waits and copies, and hands frames over through anonymous shared
memory. The parent waits in select(), without the lock.

    with CameraProcess(0, 0, 640, 480) as camera:
        frame = camera.read()         # the next frame, a numpy array the caller owns
        newest = camera.latest()      # the newest frame without waiting, or None
        for frame in camera: ...      # and `async for frame in camera` in a coroutine
        frame = camera.read_frame()   # a Frame: .array, .sequence, .timestamp, .clock,
                                      # .dropped, .skipped, .received (latest_frame() too)

The child opens and sets the camera up with the module (its diagnostic lines say why it
cannot), and streams through a camsnap_camera.Camera in the format and conversion the
module's init chose, so the arrays are the module's, and each comes with the driver's
sequence number, timestamp and gaps. Those facts travel in the frame's own ring slot, never
apart from it.

Nothing has a name in /dev/shm (memfd, pipes), so nothing is left there whatever happens to
either process. The child stops the stream, closes the camera and exits within a second of
the parent closing it, dropping it, exiting or being killed (SIGKILL included).
"""
import asyncio
import errno
import mmap
import multiprocessing
import multiprocessing.connection
import multiprocessing.util  # noqa: F401  (its exit handler must be registered before ours)
import os
import re
import resource
import select
import signal
import sys
import tempfile
import threading
import time
import weakref
from multiprocessing import reduction

import numpy as np

__all__ = ["CameraProcess", "Frame", "CameraError", "CannotOpenCamera", "CannotSetUpCamera",
           "StreamFailed", "CameraProcessDied", "DiagnosticLine", "diagnostic_lines",
           "StderrCatcher", "ring_size", "RING_BYTES", "RING_MOST", "RING_LEAST"]

# Ring size. A parent that is late by up to RING_MOST frames loses nothing: 16 frames are
# 0.27 s at 60 fps and 1.8 s at 9 fps, longer than a garbage collection, a GUI redraw or a
# plot. Large frames are held to RING_BYTES of memory instead (1080p RGB: 10 frames, 0.17 s
# at 60 fps). Three slots at least: one being read, one being written, one holding the newest.
RING_BYTES = 64 << 20
RING_MOST = 16
RING_LEAST = 3

# How often a waiting child checks that its parent is still there; with a capture's own
# wait of at most 500 ms it notices a dead parent within a second.
_PARENT_CHECK = 0.25
# The child holds the token for a few microseconds at a time; far longer means it is stuck.
_TOKEN_WAIT = 10.0
# How long close() waits for the child to stop the stream and close the camera.
_CLOSE_WAIT = 3.0

_FREE, _WRITING, _READY, _READING = 0, 1, 2, 3
_HEADER_BYTES = 4096
_SLOT_ALIGN = 4096
_LINE = re.compile(r"E:[A-Za-z_]\w*:\d+:")


def ring_size(frame_bytes):
    """Slots of the ring for frames of this many bytes (see RING_BYTES, RING_MOST), fewer
    where the file size limit (ulimit -f), which shared memory obeys too, allows fewer."""
    slots = max(RING_LEAST, min(RING_MOST, RING_BYTES // max(1, frame_bytes)))
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
    if limit != resource.RLIM_INFINITY:
        slots = min(slots, (limit - _HEADER_BYTES) // _slot_bytes(frame_bytes))
    return slots


def _slot_bytes(frame_bytes):
    return -(-frame_bytes // _SLOT_ALIGN) * _SLOT_ALIGN


class DiagnosticLine(str):
    """One line the module wrote to standard error, "E:<function>:<line>:<text>", as it
    wrote it, with its parts: `function`, `line` (the reporting source line) and `text`."""
    function = property(lambda self: self.split(":", 3)[1])
    line = property(lambda self: int(self.split(":", 3)[2]))
    text = property(lambda self: self.split(":", 3)[3].strip())


def diagnostic_lines(text):
    """The DiagnosticLines in standard error text."""
    starts = [m.start() for m in _LINE.finditer(text)] + [len(text)]
    return [DiagnosticLine(text[a:b].rstrip("\n")) for a, b in zip(starts, starts[1:])]


class StderrCatcher:
    """Calls camsnap functions with their standard error caught: the module writes its lines
    to descriptor 2 itself. What they write still reaches standard error."""

    def __init__(self):
        self._file = tempfile.TemporaryFile()

    def call(self, function, *args):
        """(function(*args), the DiagnosticLines it wrote)."""
        sys.stderr.flush()
        self._file.seek(0)
        self._file.truncate()
        saved = os.dup(2)
        try:
            os.dup2(self._file.fileno(), 2)
            try:
                result = function(*args)
            finally:
                os.dup2(saved, 2)
        finally:
            os.close(saved)
        if not self._file.tell():
            return result, []
        self._file.seek(0)
        text = self._file.read().decode("utf-8", "replace")
        sys.stderr.write(text)
        sys.stderr.flush()
        return result, diagnostic_lines(text)

    def close(self):
        self._file.close()


class CameraError(RuntimeError):
    """The camera could not be opened, set up or read. `lines` holds the module's own
    diagnostic lines (DiagnosticLine), as it wrote them to standard error; a failure of the
    stream's camera object comes as such a line too (its function, line 0, its message)."""

    def __init__(self, message, lines=()):
        self.lines = list(lines)
        details = "".join("\n  " + line.strip() for line in self.lines)
        super().__init__(message + details)


class CannotOpenCamera(CameraError):
    """The camera's node could not be opened (missing, busy or not yours)."""


class CannotSetUpCamera(CameraError):
    """The camera refused the mode or the size."""


class StreamFailed(CameraError):
    """The stream did not start, or stopped delivering frames; the next read starts it again."""


class CameraProcessDied(CameraError):
    """The child process ended on its own (killed, or crashed)."""


# The child's failures cross the pipe as (class name, message, lines).
_ERRORS = {error.__name__: error for error in (CameraError, CannotOpenCamera,
                                               CannotSetUpCamera, StreamFailed)}


# ---------------------------------------------------------------------------
# Descriptors that cross to the child under every start method

class _Fd:
    """A descriptor handed to the child: inherited under fork, passed by the start method's
    own means under spawn and forkserver."""

    def __init__(self, fd):
        self.fd = fd

    def __reduce__(self):
        return _rebuild_fd, (reduction.DupFd(self.fd),)


def _rebuild_fd(dup):
    return _Fd(dup.detach())


def _close_quietly(fd):
    try:
        os.close(fd)
    except OSError:
        pass


class _Token:
    """A lock both processes take: one byte in a pipe. Taking it is a read, giving it back a
    write, so each side sees the other's writes to the shared memory (both are system calls),
    no name exists anywhere, and a process killed while holding it cannot wedge the other:
    waits are bounded and the caller decides what a timeout means."""

    def __init__(self, read_fd, write_fd):
        self.read_fd, self.write_fd = read_fd, write_fd

    def take(self, timeout, watch=()):
        """True once taken; False after `timeout` seconds, or when a descriptor in `watch`
        becomes readable first."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                if os.read(self.read_fd, 1):
                    return True
            except BlockingIOError:
                pass
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            ready, _, _ = select.select([self.read_fd] + list(watch), [], [], remaining)
            if any(fd in ready for fd in watch):
                return False

    def give(self):
        os.write(self.write_fd, b"\0")


# What the header says of each slot's frame besides its state and the child's number for it:
# the driver's sequence number and timestamp (ns), the timestamp's clock (_CLOCKS), and the
# frames the driver numbered but never delivered since the stream began, summed over the
# child's streams, so that a reader who skipped frames still learns how many the driver lost.
# The driver's fields are -1 for frames of the module's own stream, which carries none.
_META = np.dtype([("sequence", "<i8"), ("timestamp", "<i8"), ("clock", "<i8"), ("lost", "<i8")])
_CLOCKS = ("unknown", "monotonic", "copy")


class _Ring:
    """Frames in anonymous shared memory: a header (state, the child's number and the
    driver's word (_META) of each slot's frame), then the slots, page-aligned. The
    header travels with the frame: a slot's fields change only while the slot is the
    child's, so a reader gets a frame and its facts together or not at all."""

    def __init__(self, fd, shape, dtype, slots):
        self.shape, self.dtype, self.slots = tuple(shape), np.dtype(dtype), slots
        self.slot_bytes = _slot_bytes(int(np.prod(self.shape)) * self.dtype.itemsize)
        self.map = mmap.mmap(fd, _HEADER_BYTES + slots * self.slot_bytes)
        self.state = np.frombuffer(self.map, np.int64, slots, 0)
        self.seq = np.frombuffer(self.map, np.int64, slots, slots * 8)
        self.meta = np.frombuffer(self.map, _META, slots, slots * 16)
        self.frames = [np.frombuffer(self.map, self.dtype, int(np.prod(self.shape)),
                                     _HEADER_BYTES + i * self.slot_bytes).reshape(self.shape)
                       for i in range(slots)]

    @staticmethod
    def create(shape, dtype):
        frame_bytes = int(np.prod(shape)) * np.dtype(dtype).itemsize
        slots = ring_size(frame_bytes)
        size = _HEADER_BYTES + max(slots, RING_LEAST) * _slot_bytes(frame_bytes)
        if slots < RING_LEAST:
            # Growing the memory past the limit would raise SIGXFSZ, which ends the process.
            raise CameraError("%d frames of %d bytes need %d bytes of shared memory, more than "
                              "the file size limit (ulimit -f) allows" % (RING_LEAST, frame_bytes, size))
        fd = _anonymous_memory()
        try:
            os.ftruncate(fd, size)
            return _Ring(fd, shape, dtype, slots), fd
        except BaseException:
            os.close(fd)
            raise

    def close(self):
        self.state = self.seq = self.meta = self.frames = None
        try:
            self.map.close()
        except BufferError:
            pass  # a view is still out there; the mapping goes with it


def _anonymous_memory():
    """A descriptor of memory without a name: memfd where Python has it (3.8 and later),
    else a file in /dev/shm that is unlinked before anyone can see it (O_TMPFILE)."""
    if hasattr(os, "memfd_create"):
        return os.memfd_create("camsnap-frames", os.MFD_CLOEXEC)
    directory = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryFile(dir=directory) as f:
        return os.dup(f.fileno())


# ---------------------------------------------------------------------------
# The child

class _Stop(Exception):
    pass


# How long a stream waits for a frame before it counts as failed: the module's own wait.
_FRAME_WAIT = 0.5
# The driver's fields of a frame of the module's own stream: none known.
_NO_FACTS = (-1, -1, -1, 0)


class _StreamFailed(Exception):
    """A stream call failed; `lines` say why (DiagnosticLines)."""

    def __init__(self, lines):
        super().__init__()
        self.lines = lines


def _camera_line(function, error):
    """A camera object's failure as a DiagnosticLine, written to standard error as the module
    writes its own: callers read the texts of both alike ("Too many buffers required"). A
    camera object names no source line: the line is 0, the function is its method's."""
    line = DiagnosticLine("E:%s:0:%s" % (function, error.strerror or error))
    sys.stderr.write(line + "\n")
    sys.stderr.flush()
    return [line]


class _ModuleStream:
    """The module's own stream, whose frames carry no facts from the driver: for cameras a
    camera object cannot take as the module does (a driver that answers "Y16 " with another
    format, which the module reads as 16-bit pixels all the same) and for mode 2."""

    def __init__(self, child):
        self.call = child.call
        self.camsnap = child.camsnap

    def start(self):
        ok, lines = self.call(self.camsnap.startStream)
        if not ok:
            raise _StreamFailed(lines)

    def read(self):
        frame, lines = self.call(self.camsnap.captureStream)
        if frame is None:  # the module has ended the stream itself
            raise _StreamFailed(lines)
        return frame, _NO_FACTS

    def stop(self):
        ok, lines = self.call(self.camsnap.stopStream)
        if not ok:
            raise _StreamFailed(lines)


class _CameraStream:
    """The stream through a camsnap_camera.Camera, which tells each frame's sequence number,
    timestamp and the driver's gaps. It does what the module's stream does, so frames are
    the same arrays: one buffer (unless the caller asked for more), the first frame after
    stream-on discarded, a frame awaited for _FRAME_WAIT, a buffer the driver flags as
    failed ends the stream, and so does any failure (the next start begins anew)."""

    def __init__(self, child, camera):
        self.child, self.camera = child, camera
        self.discard = False

    def start(self):
        self.child.release_module_buffers()
        try:
            self.camera.start(buffers=self.child.setup["buffers"])
        except self.child.camera_error as error:
            raise _StreamFailed(_camera_line("camera_start", error))
        self.discard = True

    def read(self):
        try:
            if self.discard:
                self.camera.read(timeout=_FRAME_WAIT)
                self.discard = False
            frame = self.camera.read(timeout=_FRAME_WAIT)
        except self.child.camera_error as error:
            self.end()
            raise _StreamFailed(_camera_line("camera_read", error))
        if frame.error:
            # It holds no new frame, only what an earlier one left in the buffer (uvcvideo
            # flags them so when the camera is unplugged).
            self.end()
            raise _StreamFailed(_camera_line("camera_read", OSError(
                "Driver returned frame %d with an error" % frame.sequence)))
        return frame.array, (frame.sequence, frame.timestamp, _CLOCKS.index(frame.clock),
                             frame.dropped)

    def stop(self):
        try:
            self.camera.stop()
        except self.child.camera_error as error:
            raise _StreamFailed(_camera_line("camera_stop", error))

    def end(self):
        try:
            self.camera.stop()
        except self.child.camera_error:
            pass  # the camera closed itself; the next start says so


class _Child:
    """Everything the child does: one camera, one module, one loop."""

    def __init__(self, setup, control, notify, token):
        self.setup, self.control, self.notify, self.token = setup, control, notify, token
        self.parent = os.getppid()
        self.streaming = False
        self.ring = None
        self.seq = 0
        self.lost = 0
        self.pending = []
        self.stderr = StderrCatcher()
        self.call = self.stderr.call
        self.camsnap = None
        self.camera = None
        self.camera_error = None
        self.stream = None
        self.module_buffers = False

    def check_parent(self):
        if os.getppid() != self.parent:
            raise _Stop()
        # Under forkserver the parent of this process is the server, which outlives the
        # program by as long as its own exit takes: a closed control pipe says it sooner,
        # also when the program died holding the token.
        if self.control.poll(0):
            try:
                self.pending.append(self.control.recv())
            except (EOFError, OSError):
                raise _Stop()
        if _terminate_requested or (signal.SIGTERM not in self.setup["blocked_by_parent"] and
                                    signal.SIGTERM in signal.sigpending()):
            raise _Stop()

    def next_command(self, timeout):
        if self.pending:
            return self.pending.pop(0)
        if not self.control.poll(timeout):
            return None
        try:
            return self.control.recv()
        except (EOFError, OSError):
            raise _Stop()

    def open_camera(self):
        # The module opens and sets up the camera: its lines say why one cannot be, in the
        # texts callers read (the camsnap command's advice).
        import camsnap
        self.camsnap = camsnap
        s = self.setup
        ok, lines = self.call(camsnap.open, s["node"])
        if not ok:
            raise CannotOpenCamera("cannot open /dev/video%d" % s["node"], lines)
        ok, lines = self.call(camsnap.init, s["mode"], s["width"], s["height"])
        if not ok:
            self.call(camsnap.close)
            raise CannotSetUpCamera("/dev/video%d refused mode %d at %dx%d" % (
                s["node"], s["mode"], s["width"], s["height"]), lines)
        self.stream = self.camera_stream() or _ModuleStream(self)

    def camera_stream(self):
        """A stream through a camera object in the format and conversion the module's init
        chose, or None where it cannot have them."""
        s = self.setup
        if s["mode"] not in (0, 1):
            return None
        try:
            import camsnap_camera
        except ImportError:
            return None
        self.camera_error = camsnap_camera.CameraError
        try:
            camera = camsnap_camera.Camera(s["node"])
        except camsnap_camera.CameraError:
            return None
        try:
            if s["mode"] == 1:
                # The module's conversion, whatever range the driver names.
                camera.configure("YU12", s["width"], s["height"], quantization="full",
                                 encoding="bt601")
            else:
                # Cameras that carry 16-bit pixels in a 24-bit format list "BGR3".
                bgr3 = any(f["format"] == "BGR3" for f in camera.formats())
                camera.configure("BGR3" if bgr3 else "Y16 ", s["width"], s["height"])
        except camsnap_camera.CameraError:
            camera.close()
            return None
        self.camera = camera
        return _CameraStream(self, camera)

    def release_module_buffers(self):
        """The module's captures leave their buffers with the driver, which then refuses
        another descriptor's; its init gives them back."""
        if not self.module_buffers:
            return
        s = self.setup
        ok, lines = self.call(self.camsnap.init, s["mode"], s["width"], s["height"])
        if not ok:
            raise _StreamFailed(lines)
        self.module_buffers = False

    def close_camera(self):
        if self.camsnap is None:
            return
        if self.streaming:
            try:
                self.stream.stop()
            except _StreamFailed:
                pass
            self.streaming = False
        if self.camera is not None:
            self.camera.close()
            self.camera = None
        self.call(self.camsnap.close)
        self.camsnap = None

    def run(self):
        try:
            self.open_camera()
        except CameraError as error:
            self.control.send(("error", type(error).__name__, str(error).split("\n")[0],
                               error.lines))
            return
        except Exception as error:  # camsnap missing or broken in the child's interpreter
            self.control.send(("error", "CameraError", "the camera process cannot start: %s: %s" % (
                type(error).__name__, error), []))
            return
        try:
            self.control.send(("ready",))
            while True:
                self.check_parent()
                command = self.next_command(0 if self.streaming else _PARENT_CHECK)
                if command is not None:
                    if command[0] == "close":
                        return
                    self.control.send(self.answer(command))
                elif self.streaming:
                    self.capture_one()
        except (_Stop, BrokenPipeError, ConnectionResetError, EOFError):
            pass
        finally:
            self.close_camera()
            if self.ring is not None:
                self.ring.close()

    def answer(self, command):
        name = command[0]
        camsnap = self.camsnap
        if name == "stream":
            if self.streaming:
                return ("ok",)
            try:
                self.stream.start()
            except _StreamFailed as failure:
                return ("error", "StreamFailed", "the stream did not start", failure.lines)
            self.streaming = True
            return ("ok",)
        if name == "stop":
            if not self.streaming:
                return ("ok",)
            self.streaming = False
            try:
                self.stream.stop()
            except _StreamFailed as failure:
                return ("error", "CameraError", "the stream did not stop", failure.lines)
            return ("ok",)
        if name in ("single", "series"):
            if self.streaming:
                return ("error", "CameraError",
                        "a stream is running: stop() it before a %s capture" % name, [])
            self.module_buffers = True
            if name == "single":
                frames, lines = self.call(camsnap.captureSingle)
            else:
                frames, lines = self.call(camsnap.captureSeries, command[1])
            if frames is None:
                return ("error", "CameraError", "the %s capture failed" % name, lines)
            return ("frames", frames)
        return ("error", "CameraError", "unknown request %r" % (name,), [])

    def capture_one(self):
        try:
            frame, facts = self.stream.read()
        except _StreamFailed as failure:
            # The stream has ended; the parent's next read says why.
            self.streaming = False
            self.control.send(("stream-failed", self.seq, failure.lines))
            return
        if self.ring is None:
            try:
                self.ring, fd = _Ring.create(frame.shape, frame.dtype)
            except (CameraError, OSError) as error:
                self.streaming = False
                try:
                    self.stream.stop()
                except _StreamFailed:
                    pass
                self.control.send(("stream-refused", "no memory for the frames: %s" % error))
                return
            self.control.send(("ring", frame.shape, frame.dtype.str, self.ring.slots))
            try:
                with _socket_of(self.control) as sock:
                    reduction.sendfds(sock, [fd])
            finally:
                os.close(fd)
        self.seq += 1
        self.lost += facts[3]
        slot = self.claim_slot()
        self.ring.frames[slot][...] = frame
        self.with_token(self.publish, slot, facts[:3] + (self.lost,))
        try:
            os.write(self.notify, b"\0")
        except BlockingIOError:
            pass  # the parent has a wake-up waiting already

    def with_token(self, action, *args):
        while not self.token.take(_PARENT_CHECK):
            self.check_parent()
        try:
            return action(*args)
        finally:
            self.token.give()

    def claim_slot(self):
        def claim():
            state, seq = self.ring.state, self.ring.seq
            free = [i for i in range(self.ring.slots) if state[i] == _FREE]
            if free:
                slot = free[0]
            else:  # the parent is behind: the oldest unread frame makes room
                slot = min((i for i in range(self.ring.slots) if state[i] == _READY),
                           key=lambda i: seq[i])
            state[slot] = _WRITING
            return slot
        return self.with_token(claim)

    def publish(self, slot, facts):
        self.ring.seq[slot] = self.seq
        self.ring.meta[slot] = facts
        self.ring.state[slot] = _READY


def _socket_of(connection):
    """The connection's socket (a socketpair under every start method) for passing a
    descriptor; the object owns a duplicate, so closing it leaves the connection open."""
    import socket
    return socket.socket(socket.AF_UNIX, socket.SOCK_STREAM, fileno=os.dup(connection.fileno()))


def _child_main(setup, control, notify, token_read, token_write, close_fds):
    for fd in close_fds:
        _close_quietly(fd)
    _hold_signals(setup)
    description = setup.get("virtual")
    if description is not None:
        _configure_virtual(description)
    token = _Token(token_read.fd, token_write.fd)
    child = _Child(setup, control, notify.fd, token)
    try:
        child.run()
    finally:
        child.stderr.close()


_terminate_requested = []


def _hold_signals(setup):
    """The parent's signals are the parent's business: a Ctrl-C reaches the whole process
    group, and a handled signal that lands in the camera's wait ends it with EINTR (a
    failed capture). They are blocked in this thread, so its waits are never cut short, and
    ignored, since threads of numpy's maths libraries do not block them. A SIGTERM that the
    parent does not handle asks the child to stop the stream and close the camera."""
    # Blocked already when the child was forked from the thread that started it (_start);
    # a spawned child's interpreter clears the mask before this runs.
    signal.pthread_sigmask(signal.SIG_BLOCK, setup["blocked"])
    for number in setup["blocked"]:
        if number == signal.SIGTERM and number not in setup["blocked_by_parent"]:
            signal.signal(number, lambda *_: _terminate_requested.append(True))
        else:
            signal.signal(number, signal.SIG_IGN)


def _configure_virtual(description):
    """The virtual cameras the parent had when it started the child, as every start method
    sees them. Configured without rewriting this process's environment (nothing it starts
    needs it, and a description written to a file would outlive a child's quick exit)."""
    import camsnap_vcam
    configure = getattr(camsnap_vcam.configure, "__wrapped__", camsnap_vcam.configure)
    configure(description)


def _virtual_description():
    """The parent's virtual cameras, or None when it has none (the library not preloaded)."""
    try:
        import camsnap_vcam
        return camsnap_vcam.describe()
    except (ImportError, RuntimeError):
        return None


def _signals_handled_here():
    """Signals with a Python handler in this process (SIGINT's KeyboardInterrupt included)."""
    # The C function under signal.getsignal: the wrapper turns each answer into a Handlers
    # enum through a ValueError, which Python 3.9.2's enum (Debian 11's) keeps in a reference
    # cycle with its frames, and those frames reach the CameraProcess being built: dropping
    # it would then not end the child until the next garbage collection.
    getsignal = getattr(signal.getsignal, "__wrapped__", signal.getsignal)
    handled = set()
    for number in signal.Signals:
        try:
            handler = getsignal(number)
        except (ValueError, OSError):
            continue
        if callable(handler):
            handled.add(number)
    return handled


# ---------------------------------------------------------------------------
# The parent

class _Link:
    """The parent's side of one child: its process, descriptors and ring. Kept apart from
    CameraProcess so that dropping the CameraProcess closes it (weakref.finalize)."""

    def __init__(self):
        self.process = None
        self.control = None
        self.notify_read = self.notify_write = None
        self.token = None
        self.ring = None
        self.closed = False

    def close(self):
        if self.closed:
            return
        self.closed = True
        process = self.process
        try:
            if process is not None and process.is_alive():
                try:
                    self.control.send(("close",))
                except (OSError, ValueError):
                    pass
                process.join(_CLOSE_WAIT)
                if process.is_alive():
                    process.kill() if hasattr(process, "kill") else os.kill(process.pid, signal.SIGKILL)
                    process.join()
        finally:
            if self.control is not None:
                self.control.close()
            for fd in (self.notify_read, self.notify_write):
                if fd is not None:
                    _close_quietly(fd)
            if self.token is not None:
                _close_quietly(self.token.read_fd)
                _close_quietly(self.token.write_fd)
            if self.ring is not None:
                self.ring.close()
                self.ring = None


_monotonic_ns = getattr(time, "monotonic_ns", lambda: int(time.monotonic() * 1e9))  # 3.7 on


class Frame:
    """A frame of a CameraProcess's stream with the facts about it, named as on
    camsnap_camera.Frame:

    - `array`: the numpy array read() returns (also numpy.asarray(frame));
    - `sequence`: the driver's number for it (0 for the first after stream-on, which the
      stream discards, as the module does);
    - `timestamp`: when the driver captured it, in nanoseconds of the clock named by `clock`
      ("monotonic": time.monotonic_ns(), "copy", "unknown");
    - `dropped`: frames the driver numbered but never delivered since the previous frame read
      (the camera's process was late to take them);
    - `skipped`: frames the camera's process delivered but this process did not get since the
      previous frame read (the ring was full, or latest() passed them over): CameraProcess's
      `dropped` counts these;
    - `received`: when it was taken here, in nanoseconds of time.monotonic_ns(), so that
      `received - timestamp` is its age for a monotonic clock.

    The driver's facts are None where the camera is read through the module's own stream
    (mode 2, and drivers that answer "Y16 " with another format)."""

    __slots__ = ("array", "sequence", "timestamp", "clock", "dropped", "skipped", "received")

    def __init__(self, array, sequence, timestamp, clock, dropped, skipped, received):
        self.array, self.sequence, self.timestamp, self.clock = array, sequence, timestamp, clock
        self.dropped, self.skipped, self.received = dropped, skipped, received

    def __array__(self, dtype=None, copy=None):
        array = self.array if dtype is None else self.array.astype(dtype, copy=False)
        return array.copy() if copy else array

    def __repr__(self):
        return "<Frame %s %s sequence=%s timestamp=%s clock=%s dropped=%s skipped=%s>" % (
            self.array.dtype, self.array.shape, self.sequence, self.timestamp, self.clock,
            self.dropped, self.skipped)


class CameraProcess:
    """The camera /dev/video<node> in a child process: `mode` 0 (16-bit IR) or 1 (RGB), at
    width x height, as camsnap's init takes them. A context manager; close() ends it.

    read(timeout=None) gives the next frame of the stream, latest() the newest without
    waiting; iterating (also `async for`) gives frames one after another. The stream starts
    with the first of these (or start()) and runs until stop() or close(). single() and
    series(n) take frames as captureSingle and captureSeries do, while no stream runs.
    read_frame(timeout=None) and latest_frame() give read()'s and latest()'s frames as
    Frame objects, with the driver's sequence number, timestamp and gaps.

    `dropped` counts the frames the camera delivered that the parent did not get: the ring
    (ring_size()) was full because it read too slowly, or latest() skipped them.

    Threads may share it: their calls take turns, and each frame goes to one of them.

    start_method: "fork", "forkserver" or "spawn" (default: multiprocessing's). A virtual
    camera set up in this process (camsnap_vcam) is the one the child sees.

    buffers: how many the stream hands the driver. One, as the module's stream does, is
    refused by drivers that want more (vivid wants two; StreamFailed says "Too many buffers
    required"); more let the stream run there, and let the child be late by as many frames
    before the driver loses any. The module's own stream (Frame says when) takes one."""

    def __init__(self, node, mode, width, height, start_method=None, buffers=1):
        if not 1 <= buffers <= 64:
            raise ValueError("buffers must be between 1 and 64 (not %r)" % (buffers,))
        self._link = _Link()
        self._finalizer = weakref.finalize(self, self._link.close)
        self._streaming = False
        self._last_seq = 0
        self._last_lost = 0
        self.dropped = 0
        # Threads take turns: one talks to the child and takes frames at a time (two slots
        # being read at once, and the child writing a third, would leave a three-slot ring no
        # slot for the next frame; two threads reading the pipe would split its messages).
        self._turn = threading.RLock()
        self.node = node
        try:
            self._start(start_method, {"node": node, "mode": mode, "width": width,
                                       "height": height, "buffers": buffers})
        except BaseException:
            self.close()
            raise

    # -- life cycle ---------------------------------------------------------
    def _start(self, start_method, setup):
        link = self._link
        context = multiprocessing.get_context(start_method)
        parent_control, child_control = context.Pipe(duplex=True)
        link.control = parent_control
        link.notify_read, link.notify_write = os.pipe()
        os.set_blocking(link.notify_read, False)
        os.set_blocking(link.notify_write, False)
        token_read, token_write = os.pipe()
        os.set_blocking(token_read, False)
        link.token = _Token(token_read, token_write)
        link.token.give()
        handled = _signals_handled_here()
        setup["blocked_by_parent"] = handled
        setup["blocked"] = handled | {signal.SIGINT, signal.SIGTERM}
        setup["virtual"] = _virtual_description()
        close_fds = [parent_control.fileno(), link.notify_read] \
            if context.get_start_method() == "fork" else []
        link.process = context.Process(
            target=_child_main, name="camsnap-camera-%d" % setup["node"], daemon=True,
            args=(setup, child_control, _Fd(link.notify_write), _Fd(token_read),
                  _Fd(token_write), close_fds))
        if context.get_start_method() == "forkserver":
            # The server itself must start with this thread's usual mask.
            from multiprocessing import forkserver
            forkserver.ensure_running()
        # The child is born with the signals blocked, so a Ctrl-C during its start-up does not
        # reach its Python code.
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, setup["blocked"])
        try:
            link.process.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)
        child_control.close()
        answer = self._answer()
        if answer[0] == "error":
            raise _ERRORS[answer[1]](answer[2], answer[3])

    def close(self):
        """Stops the stream, closes the camera and ends the child (within a few seconds at
        most; it is killed if it does not). Safe to call more than once."""
        self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    @property
    def closed(self):
        return self._link.closed

    @property
    def pid(self):
        """The child's process id."""
        return self._link.process.pid

    # -- talking to the child -----------------------------------------------
    def _check_open(self):
        if self._link.closed:
            raise ValueError("the CameraProcess is closed")

    def _died(self):
        process = self._link.process
        process.join(1.0)
        raise CameraProcessDied("the camera process ended (exit code %s)" % process.exitcode)

    def _handle(self, message):
        """Messages the child sends on its own; a frame's arrival is signalled apart."""
        if message[0] == "ring":
            _, shape, dtype, slots = message
            with _socket_of(self._link.control) as sock:
                fd = reduction.recvfds(sock, 1)[0]
            try:
                self._link.ring = _Ring(fd, shape, dtype, slots)
            finally:
                os.close(fd)
        elif message[0] == "stream-refused":
            self._streaming = False
            raise StreamFailed(message[1])
        elif message[0] == "stream-failed":
            self._streaming = False
            raise StreamFailed("the camera stopped delivering frames (the stream has ended; "
                               "the next read starts it again)", message[2])

    def _receive(self):
        try:
            return self._link.control.recv()
        except (EOFError, OSError):
            self._died()

    def _answer(self):
        """Waits (without the interpreter lock) for the child's answer to a request."""
        link = self._link
        while True:
            ready = multiprocessing.connection.wait([link.control, link.process.sentinel])
            if link.control in ready:
                message = self._receive()
                if message[0] in ("ok", "error", "frames", "ready"):
                    return message
                try:
                    self._handle(message)
                except CameraError:
                    # The stream failed while this request (a stop) was on its way: it has
                    # ended either way, and the answer is still to come.
                    pass
            elif link.process.sentinel in ready:
                self._died()

    def _request(self, *command):
        self._check_open()
        try:
            self._link.control.send(command)
        except OSError:
            self._died()
        try:
            answer = self._answer()
        except BaseException:
            # Interrupted (Ctrl-C, a signal handler's exception) before the answer came, or the
            # child died: a late answer would be taken for the next request's. The child goes;
            # a new CameraProcess starts afresh.
            self.close()
            raise
        if answer[0] == "error":
            raise _ERRORS[answer[1]](answer[2], answer[3])
        return answer

    def _poll_messages(self):
        """Handles what the child has sent; raises for a failed stream or a dead child."""
        link = self._link
        while link.control.poll():
            self._handle(self._receive())
        if not link.process.is_alive():
            self._died()

    # -- streaming ----------------------------------------------------------
    def start(self):
        """Starts the stream, if it is not running; read(), latest() and iterating start it
        themselves. CameraError (with the module's lines) when the camera does not start."""
        self._check_open()
        with self._turn:
            if not self._streaming:
                self._request("stream")
                self._streaming = True

    def _take(self, newest):
        """The next (or newest) frame in the ring as a Frame holding a copy, or None."""
        ring = self._link.ring
        if ring is None:
            return None

        def choose():
            waiting = [i for i in range(ring.slots)
                       if ring.state[i] == _READY and ring.seq[i] > self._last_seq]
            if not waiting:
                return None
            slot = (max if newest else min)(waiting, key=lambda i: ring.seq[i])
            if newest:
                for i in waiting:
                    if i != slot:
                        ring.state[i] = _FREE
            ring.state[slot] = _READING
            return slot

        slot = self._with_token(choose)
        if slot is None:
            return None
        try:
            seq = int(ring.seq[slot])
            sequence, timestamp, clock, lost = (int(v) for v in ring.meta[slot])
            array = ring.frames[slot].copy()
        finally:
            self._with_token(ring.state.__setitem__, slot, _FREE)
        received = _monotonic_ns()
        skipped = seq - self._last_seq - 1
        self.dropped += skipped
        self._last_seq = seq
        dropped, self._last_lost = lost - self._last_lost, lost
        if sequence < 0:
            return Frame(array, None, None, None, None, skipped, received)
        return Frame(array, sequence, timestamp, _CLOCKS[clock], dropped, skipped, received)

    def _with_token(self, action, *args):
        link = self._link
        if not link.token.take(_TOKEN_WAIT, watch=[link.process.sentinel]):
            if link.process.is_alive():
                self.close()
                raise CameraError("the camera process does not answer (closed)")
            self._died()
        try:
            return action(*args)
        finally:
            link.token.give()

    def _drain_wakeups(self):
        try:
            while os.read(self._link.notify_read, 4096):
                pass
        except BlockingIOError:
            pass

    def read(self, timeout=None):
        """The next frame of the stream (starting it if needed), as a numpy array the caller
        owns. Frames come in order; ones the ring could not keep count in `dropped`.
        TimeoutError after `timeout` seconds without a frame; CameraError when the stream
        has failed (after the frames it delivered); CameraProcessDied when the child has.
        Threads may read at once: each frame goes to one of them."""
        return self.read_frame(timeout).array

    def read_frame(self, timeout=None):
        """read(), as a Frame: the array with the driver's sequence number, timestamp and
        gaps, and when it reached this process."""
        deadline = None if timeout is None else time.monotonic() + timeout
        if not self._turn.acquire(timeout=-1 if timeout is None else max(timeout, 0)):
            raise self._no_frame(timeout)
        try:
            return self._read(deadline, timeout)
        finally:
            self._turn.release()

    def _no_frame(self, timeout):
        return TimeoutError("no frame from /dev/video%d within %.3g s" % (self.node, timeout))

    def _read(self, deadline, timeout):
        self.start()
        link = self._link
        while True:
            self._drain_wakeups()
            frame = self._take(newest=False)
            if frame is not None:
                return frame
            self._poll_messages()
            remaining = None if deadline is None else deadline - time.monotonic()
            if remaining is not None and remaining <= 0:
                raise self._no_frame(timeout)
            select.select([link.notify_read, link.control, link.process.sentinel], [], [],
                          remaining)

    def latest(self):
        """The newest frame not yet returned, without waiting (starting the stream if
        needed), or None. Older waiting frames are skipped and count in `dropped`."""
        frame = self.latest_frame()
        return None if frame is None else frame.array

    def latest_frame(self):
        """latest(), as a Frame (or None)."""
        with self._turn:
            self.start()
            self._drain_wakeups()
            frame = self._take(newest=True)
            if frame is None:
                self._poll_messages()
            return frame

    def stop(self):
        """Stops the stream; frames not yet read are discarded. read() starts it again."""
        self._check_open()
        with self._turn:
            if not self._streaming:
                return
            self._streaming = False
            self._request("stop")
            ring = self._link.ring
            if ring is not None:
                def discard():
                    for i in range(ring.slots):
                        if ring.state[i] == _READY:
                            ring.state[i] = _FREE
                self._with_token(discard)

    def __iter__(self):
        while True:
            yield self.read()

    def __aiter__(self):
        return self

    async def __anext__(self):
        """The next frame, waiting in the event loop (not in a thread)."""
        self.start()
        loop = asyncio.get_running_loop() if hasattr(asyncio, "get_running_loop") \
            else asyncio.get_event_loop()
        link = self._link
        while True:
            self._drain_wakeups()
            frame = self._take(newest=False)
            if frame is not None:
                return frame.array
            self._poll_messages()
            woken = loop.create_future()

            def wake():
                if not woken.done():
                    woken.set_result(None)
            fds = (link.notify_read, link.control.fileno(), link.process.sentinel)
            for fd in fds:
                loop.add_reader(fd, wake)
            try:
                await woken
            finally:
                for fd in fds:
                    loop.remove_reader(fd)

    # -- single and series --------------------------------------------------
    def single(self):
        """One frame as captureSingle takes it (its own short stream, the first two frames
        discarded). CameraError if a stream is running or the capture fails."""
        return self._capture("single")

    def series(self, n):
        """n frames in one array as captureSeries(n) takes them. CameraError if a stream is
        running or the capture fails."""
        if n <= 0:
            raise ValueError("a series needs at least one frame (not %d)" % n)
        return self._capture("series", n)

    def _capture(self, *command):
        with self._turn:
            if self._streaming:
                raise CameraError("a stream is running: stop() it before a %s capture" % command[0])
            return self._request(*command)[1]
