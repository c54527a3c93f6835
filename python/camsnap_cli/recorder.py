"""The view's recording: every frame appended to a .npy file as it arrives, by a thread of its
own so that a slow disk holds up neither the frames nor the page."""
import os
import queue
import threading
import typing

from camsnap_cli import files
from camsnap_cli.npy import GrowingNpy

# Frames waiting for the disk, at most this many bytes of them, before a recording drops one.
RECORD_QUEUE_BYTES = 64 << 20


class Recording:
    """One recording, camsnap-DATE-TIME.npy in `directory`. The file gets its name at stop,
    never over an existing file, with the header counting exactly the frames it holds; until
    then it is a hidden .part file."""

    def __init__(self, directory, first):
        self.shape = first.shape
        self.dropped = 0
        self.error = None
        self.path = None
        self._npy = GrowingNpy(os.path.join(directory, "camsnap-%s.npy" % files.time_stamp()),
                               replace=False)
        self._npy.start(first)
        self._queue = queue.Queue(maxsize=max(4, RECORD_QUEUE_BYTES // first.nbytes))  # type: queue.Queue
        self._thread = threading.Thread(target=self._write_frames, name="camsnap-view-record", daemon=True)
        self._thread.start()

    @property
    def frames(self):
        return self._npy.count

    def offer(self, number, frame):
        """Queues a frame; a full queue (the disk is behind) drops it and counts it."""
        if self.error is not None or frame.shape != self.shape:
            return
        try:
            self._queue.put_nowait(frame)
        except queue.Full:
            self.dropped += 1

    def _write_frames(self):
        while True:
            frame = self._queue.get()
            if frame is None:
                return
            if self.error is None:
                try:
                    self._npy.append((frame,))
                except files.WriteError as error:
                    self.error = error.message

    def finish(self):
        """Writes what is queued, counts the frames in the header and names the file; a
        frame cut short by a full disk is cut off. Returns the path (None for no frame)."""
        self._queue.put(None)
        self._thread.join()
        try:
            if self._npy.finish():
                self.path = self._npy.path
        except files.WriteError as error:
            self.error = self.error or error.message
        return self.path

    def status(self):
        return {"frames": self.frames, "dropped": self.dropped, "error": self.error,
                "path": self.path}


class Recorder:
    """The view's one recording at a time; gets every frame from the FrameHub."""

    def __init__(self, directory):
        self.directory = directory
        self._lock = threading.Lock()
        self._recording = None  # type: typing.Optional[Recording]
        self._last = None  # type: typing.Optional[Recording]

    def offer(self, number, frame):
        recording = self._recording
        if recording is not None:
            recording.offer(number, frame)

    def start(self, first):
        """The recording, started with frame `first` if none runs; WriteError when its file
        cannot be made."""
        with self._lock:
            if self._recording is None:
                self._recording = Recording(self.directory, first)
            return self._recording

    def stop(self):
        with self._lock:
            recording, self._recording = self._recording, None
        if recording is not None:
            recording.finish()
            self._last = recording
        return recording

    def status(self):
        recording = self._recording
        last = self._last
        if recording is not None:
            return dict(recording.status(), recording=True)
        return dict(last.status() if last else {}, recording=False)
