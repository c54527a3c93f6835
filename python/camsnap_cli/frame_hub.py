"""The view's latest frames and their rate: written by the thread that receives them from
the camera's process, read by the HTTP threads."""
import collections
import threading
import typing

# How long a request for a newer frame waits before it gets the current one again; short
# enough for the page to notice a stopped server.
FRAME_WAIT_S = 2.0
FPS_WINDOW = 30                  # frames per second are counted over the latest 30 frames
RECENT_FRAMES = 4                # a snapshot may name one of the latest few frames


class FrameHub:
    """The latest frames and the rate, in the web server process: written by the thread that
    receives them, read by HTTP threads."""

    def __init__(self):
        self._cond = threading.Condition()
        self._recent = collections.deque(maxlen=RECENT_FRAMES)  # type: typing.Deque[typing.Tuple[int, typing.Any]]
        self._held = None        # (number, frame) the page paused on
        self._number = 0
        self._times = collections.deque(maxlen=FPS_WINDOW)  # type: typing.Deque[float]
        self._closed = False
        self.recorder = None     # set by the server: gets every frame

    def publish(self, frame, captured_at):
        with self._cond:
            self._number += 1
            self._recent.append((self._number, frame))
            self._times.append(captured_at)
            self._cond.notify_all()
            number = self._number
        if self.recorder is not None:
            self.recorder.offer(number, frame)

    def close(self):
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    @property
    def closed(self):
        with self._cond:
            return self._closed

    def _fps(self):
        if len(self._times) < 2 or self._times[-1] <= self._times[0]:
            return 0.0
        return (len(self._times) - 1) / (self._times[-1] - self._times[0])

    def latest(self, after=0, wait=FRAME_WAIT_S):
        """(number, frame, fps) of the newest frame, waiting up to `wait` seconds for one
        numbered above `after`; frame is None until the first capture."""
        with self._cond:
            self._cond.wait_for(lambda: self._closed or self._number > after, timeout=wait)
            frame = self._recent[-1][1] if self._recent else None
            return self._number, frame, self._fps()

    def find(self, number):
        """Frame `number` if it is still held (one of the latest, or the paused one)."""
        with self._cond:
            for known, frame in list(self._recent) + [self._held or (None, None)]:
                if known == number:
                    return frame
        return None

    def hold(self, number):
        """Keeps frame `number` for snapshots while the page is paused on it (None: release)."""
        if number is None:
            with self._cond:
                self._held = None
            return True
        frame = self.find(number)
        if frame is None:
            return False
        with self._cond:
            self._held = (number, frame)
        return True
