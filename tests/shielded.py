"""The way to capture beside signal handlers: the captures run in a thread that blocks the
handled signals, so none of them ends the module's frame wait, and the main thread runs the
handlers meanwhile. The README shows the same recipe."""
import contextlib
import signal
import threading


def shielded(work, signals=(signal.SIGALRM,)):
    """work() in a thread that blocks signals; what it returned (or raised)."""
    outcome = {}

    def run():
        signal.pthread_sigmask(signal.SIG_BLOCK, signals)
        try:
            outcome["value"] = work()
        except BaseException as error:  # handed to the caller
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


@contextlib.contextmanager
def ticking(interval_s):
    """A SIGALRM timer whose handler only counts; yields the list of ticks."""
    ticks = []
    saved = signal.signal(signal.SIGALRM, lambda number, frame: ticks.append(number))
    signal.setitimer(signal.ITIMER_REAL, interval_s, interval_s)
    try:
        yield ticks
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, saved)


def stream(count):
    """count captureStream results between a start and a stop."""
    import camsnap
    assert camsnap.startStream() is True
    frames = [camsnap.captureStream() for _ in range(count)]
    camsnap.stopStream()
    return frames
