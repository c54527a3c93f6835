"""camsnap_process: the camera in a child process, on the virtual camera."""
import asyncio
import os
import resource
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from camsnap_process import CameraError, CameraProcess, CameraProcessDied, StreamFailed, ring_size
from conftest import ir_camera
from frames import ir16_from_raw, rgb_from_raw

METHODS = ["fork", "forkserver", "spawn"]


def raw(vcam, fourcc, w, h, seq):
    stride, size = (w * 2, w * h * 2) if fourcc == "Y16 " else (w, w * h * 3 // 2)
    return vcam.render(fourcc, w, h, stride, size, seq)


def expected(vcam, mode, w, h, seq):
    if mode == 0:
        return ir16_from_raw(raw(vcam, "Y16 ", w, h, seq), w, h, w * 2, 2)
    return rgb_from_raw(raw(vcam, "YU12", w, h, seq), w, h, w, 1)


def seqs_of(vcam, frames, mode=0, w=160, h=120):
    """Which frame of the stream each is (None: none of the first 2000), matched exactly. A
    loaded machine may make the child miss frames of a fixed-rate camera: tests check the
    order and exactness, not that no number is missing."""
    seqs, k = [], 0
    for frame in frames:
        start = k
        while k < 2000 and not np.array_equal(frame, expected(vcam, mode, w, h, k)):
            k += 1
        seqs.append(k if k < 2000 else None)
        k = start if k == 2000 else k + 1
    return seqs


def camera(vcam, fps=30, **config):
    ir_camera(vcam, fps=fps, formats=[vcam.fmt("Y16 ", [(160, 120)]),
                                      vcam.fmt("YU12", [(160, 120)])], **config)


def process_gone(pid):
    """True once pid has exited (a zombie of a parent that does not reap counts)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except OSError:
        return True


def wait_gone(pid, limit):
    start = time.monotonic()
    while not process_gone(pid) and time.monotonic() - start < limit:
        time.sleep(0.02)
    return time.monotonic() - start


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("mode", [0, 1])
def test_child_sees_the_tests_camera_and_delivers_exact_frames(vcam, method, mode):
    camera(vcam)
    with CameraProcess(0, mode, 160, 120, start_method=method) as cam:
        seqs = seqs_of(vcam, [cam.read(timeout=5) for _ in range(3)], mode)
        # the driver's first is discarded; a busy machine may make the child miss the next
        assert seqs[0] >= 1 and seqs == sorted(set(seqs)), seqs
        assert cam.dropped == 0
        cam.stop()
        # each capture's own stream counts from 0 and discards two frames
        single, series = cam.single(), cam.series(2)
        assert series.shape[0] == 2
        assert seqs_of(vcam, [single], mode)[0] >= 2
        kept = seqs_of(vcam, list(series), mode)
        assert kept[0] >= 2 and kept[1] > kept[0], kept
        pid = cam.pid
    # join() can return a moment before the child is gone: under 3.6's forkserver the
    # child writes its exit code itself, then exits.
    measured = wait_gone(pid, 10)
    assert process_gone(pid), "child %d still there %.1f s after close" % (pid, measured)


@pytest.mark.parametrize("node, mode, w, h, message, function", [
    (3, 0, 160, 120, "cannot open /dev/video3", "cs_open"),
    (0, 5, 160, 120, "/dev/video0 refused mode 5 at 160x120", "cs_init"),
])
def test_a_camera_that_cannot_be_set_up_raises_with_the_modules_lines(vcam, node, mode, w, h,
                                                                       message, function):
    ir_camera(vcam)
    with pytest.raises(CameraError) as caught:
        CameraProcess(node, mode, w, h)
    assert str(caught.value).startswith(message)
    assert caught.value.lines and all(line.startswith("E:%s:" % function) for line in caught.value.lines)


def test_a_slow_reader_gets_frames_in_order_and_the_gaps_counted(vcam):
    camera(vcam, fps=0)          # a frame whenever asked: the child runs far ahead
    vcam.set_stop_after(0, 60)   # ... for 60 frames, more than the ring holds
    with CameraProcess(0, 0, 160, 120) as cam:
        frames = [cam.read(timeout=5)]
        time.sleep(0.3)
        frames += [cam.read(timeout=5) for _ in range(3)]
        frames.append(cam.latest())
        dropped = cam.dropped
    seqs = seqs_of(vcam, frames)
    assert None not in seqs and seqs == sorted(set(seqs)), seqs
    assert dropped == seqs[-1] - len(seqs) > 0, (dropped, seqs)


def test_a_failed_stream_raises_after_its_frames_and_starts_again(vcam):
    camera(vcam, fps=0)  # a frame whenever asked: none missed, however busy the machine
    vcam.set_stop_after(0, 4)   # the discarded frame and three more, then silence
    with CameraProcess(0, 0, 160, 120) as cam:
        got = [cam.read(timeout=5) for _ in range(3)]
        with pytest.raises(CameraError) as caught:
            cam.read(timeout=5)
        assert "stopped delivering" in str(caught.value) and caught.value.lines
        assert cam.read(timeout=5).shape == (120, 160)   # a new stream
    assert seqs_of(vcam, got) == [1, 2, 3]


def test_stop_after_a_failed_stream_keeps_the_camera(vcam):
    camera(vcam, fps=0)
    vcam.set_stop_after(0, 2)
    with CameraProcess(0, 0, 160, 120) as cam:
        cam.read(timeout=5)
        assert cam._link.control.poll(5)   # the failure waits, unread, when stop() is asked
        cam.stop()
        assert not cam.closed and cam.read(timeout=5).shape == (120, 160)


def test_async_for_gives_the_streams_frames_in_order(vcam):
    camera(vcam, fps=0)

    async def first(cam, n):
        frames = []
        async for frame in cam:
            frames.append(frame)
            if len(frames) == n:
                return frames

    with CameraProcess(0, 0, 160, 120) as cam:
        frames = asyncio.new_event_loop().run_until_complete(first(cam, 4))
    seqs = seqs_of(vcam, frames)
    assert None not in seqs and seqs == sorted(set(seqs)), seqs


def limit_file_size(slots, frame_bytes=160 * 120 * 2):
    """Sets ulimit -f so that the ring holds `slots` frames; returns the limits to restore."""
    saved = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096 + slots * (-(-frame_bytes // 4096) * 4096),
                                               saved[1]))
    return saved


def test_two_reader_threads_share_a_three_slot_ring(vcam):
    camera(vcam, fps=0)    # the child runs ahead: the ring stays full
    saved = limit_file_size(3)
    try:
        cam = CameraProcess(0, 0, 160, 120)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, saved)
    got = {0: [], 1: []}
    errors = []

    def reader(k):
        try:
            for _ in range(100):
                got[k].append(cam.read(timeout=5))
        except Exception as error:
            errors.append(error)

    threads = [threading.Thread(target=reader, args=(k,), daemon=True) for k in got]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(t.is_alive() for t in threads), "readers still waiting after 60 s"
    cam.close()
    assert errors == []
    seqs = [seqs_of(vcam, got[k]) for k in got]
    assert all(None not in s and s == sorted(set(s)) for s in seqs), seqs
    assert not set(seqs[0]) & set(seqs[1])


@pytest.mark.parametrize("slots_allowed", [4, 2])
def test_frame_memory_keeps_to_the_file_size_limit(vcam, slots_allowed):
    # Shared memory obeys ulimit -f: growing it past the limit raised SIGXFSZ in the child.
    camera(vcam, fps=0)
    slot = -(-160 * 120 * 2 // 4096) * 4096
    saved = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096 + slots_allowed * slot, saved[1]))
    try:
        assert ring_size(160 * 120 * 2) == slots_allowed
        cam = CameraProcess(0, 0, 160, 120)   # the child inherits the limit
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, saved)
    with cam:
        if slots_allowed >= 3:
            seqs = seqs_of(vcam, [cam.read(timeout=5) for _ in range(6)])
            assert None not in seqs and seqs == sorted(set(seqs)), seqs
        else:
            with pytest.raises(CameraError, match=r"ulimit -f"):
                cam.read(timeout=5)
            assert cam.single().shape == (120, 160)   # the camera is still usable


def test_a_dead_child_raises_on_the_next_read_never_hangs(vcam):
    camera(vcam)
    with CameraProcess(0, 0, 160, 120) as cam:
        cam.read(timeout=5)
        os.kill(cam.pid, signal.SIGKILL)
        with pytest.raises(CameraProcessDied):
            for _ in range(100):   # frames already in the ring come first
                cam.read(timeout=5)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_signals_the_parent_handles_do_not_reach_the_camera(vcam, method):
    camera(vcam, fps=100)
    received = []
    previous = signal.signal(signal.SIGUSR1, lambda *a: received.append(1))
    try:
        with CameraProcess(0, 0, 160, 120, start_method=method) as cam:
            frames = []
            for _ in range(30):
                os.kill(cam.pid, signal.SIGUSR1)   # what a process-group signal does
                frames.append(cam.read(timeout=5))
        seqs = seqs_of(vcam, frames)
        assert None not in seqs and seqs == sorted(set(seqs)), seqs
    finally:
        signal.signal(signal.SIGUSR1, previous)


def test_dropping_the_object_ends_the_child(vcam):
    camera(vcam)
    cam = CameraProcess(0, 0, 160, 120)
    cam.read(timeout=5)
    pid = cam.pid
    del cam
    measured = wait_gone(pid, 10)
    assert process_gone(pid), "the child still runs %.2f s after the object went" % measured


PARENT = textwrap.dedent("""
    import os, signal, sys, time
    from camsnap_process import CameraProcess
    if __name__ == "__main__":
        cam = CameraProcess(0, 0, 160, 120, start_method=sys.argv[1])
        cam.read(timeout=5)
        print(cam.pid, flush=True)
        if sys.argv[2] == "exit":
            sys.exit(0)
        if sys.argv[2] == "SIGKILL-holding-token":  # killed between its two token calls
            cam._link.token.take(5)
            os.kill(os.getpid(), signal.SIGKILL)
        while True:
            cam.read(timeout=5)
""")


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("end", ["SIGKILL", "SIGKILL-holding-token", "SIGINT", "exit"])
def test_the_child_stops_when_the_parent_ends_and_leaves_nothing(vcam, tmp_path, method, end):
    """SIGKILL of the parent mid-stream (also while it holds the ring's token), Ctrl-C (SIGINT
    to the process group) and a plain exit without close(): the child exits, /dev/shm is as it
    was, and the camera opens again. A forkserver child holds its server's liveness pipe, so
    the server outlives a killed parent as long as the child runs: the child must not wait
    for its parent process to change."""
    camera(vcam)
    script = tmp_path / "parent.py"
    script.write_text(PARENT)
    shm_before = sorted(os.listdir("/dev/shm"))
    parent = subprocess.Popen([sys.executable, str(script), method, end], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, start_new_session=True)
    try:
        child = int(parent.stdout.readline())
        if end == "SIGKILL":
            parent.kill()
        elif end == "SIGINT":
            os.killpg(parent.pid, signal.SIGINT)
        parent.wait(timeout=30)
        measured = wait_gone(child, 10)
        assert process_gone(child), "the child still runs %.2f s after its parent" % measured
    finally:
        if parent.poll() is None:
            parent.kill()
            parent.wait()
    errors = parent.stderr.read().decode()
    assert "camsnap-camera" not in errors   # no traceback from the child
    if end == "SIGINT":
        assert errors.rstrip().endswith("KeyboardInterrupt"), errors
    time.sleep(0.2)  # a forkserver goes when its parent has gone
    assert sorted(os.listdir("/dev/shm")) == shm_before
    with CameraProcess(0, 0, 160, 120) as cam:
        assert seqs_of(vcam, [cam.read(timeout=5)])[0] is not None


def served_sequences(path):
    """Makes a forked camera process write the sequence numbers its driver served (DQBUF) to
    `path` as it closes the camera: the virtual camera's log lives in that process."""
    import camsnap_process
    import camsnap_vcam
    close = camsnap_process._Child.close_camera

    def close_then_record(child):
        close(child)
        with open(path, "w") as out:
            out.write(" ".join(str(args["sequence"]) for name, args, result in camsnap_vcam.log(0)
                               if name == "DQBUF" and result == 0))
    return close_then_record


@pytest.mark.parametrize("mode", [0, 1])
def test_frames_come_with_the_drivers_numbers_and_times(vcam, tmp_path, monkeypatch, mode):
    fps = 30
    camera(vcam, fps=fps)
    log = tmp_path / "served"
    monkeypatch.setattr("camsnap_process._Child.close_camera", served_sequences(str(log)))
    before = time.clock_gettime(time.CLOCK_MONOTONIC) * 1e9
    with CameraProcess(0, mode, 160, 120, start_method="fork") as cam:
        frames = [cam.read_frame(timeout=5) for _ in range(6)]
    served = [int(n) for n in log.read_text().split()]
    sequences = [f.sequence for f in frames]
    # the first served frame is discarded; a busy machine may make the ring skip some after it
    assert served[0] == 0 and set(sequences) <= set(served[1:]), (sequences, served)
    assert seqs_of(vcam, [f.array for f in frames], mode) == sequences
    for a, b in zip(frames, frames[1:]):
        assert b.dropped + b.skipped == b.sequence - a.sequence - 1
        # the virtual camera stamps frame k at stream-on + k/fps, to the microsecond
        assert abs(b.timestamp - a.timestamp - (b.sequence - a.sequence) * 1e9 / fps) <= 2000
    assert all(f.clock == "monotonic" for f in frames)
    assert before <= frames[0].timestamp < frames[0].received <= frames[-1].received
    assert all(f.timestamp < f.received for f in frames)


@pytest.mark.parametrize("late", ["child", "parent"])
def test_frames_lost_count_where_they_were_lost(vcam, late):
    """A camera process that does not take frames in time loses them in the driver
    (`dropped`); a reader that does not, in the ring (`skipped`, CameraProcess.dropped)."""
    camera(vcam, fps=100 if late == "child" else 0)   # fps 0: a frame whenever asked
    with CameraProcess(0, 0, 160, 120) as cam:
        frames = [cam.read_frame(timeout=5)]
        if late == "child":
            os.kill(cam.pid, signal.SIGSTOP)
            time.sleep(0.3)
            os.kill(cam.pid, signal.SIGCONT)
        else:
            time.sleep(0.3)
        frames += [cam.read_frame(timeout=5) for _ in range(3)]
        newest = cam.latest_frame()
        frames += [newest] if newest is not None else []
        total_skipped = cam.dropped
    for a, b in zip(frames, frames[1:]):
        assert b.dropped + b.skipped == b.sequence - a.sequence - 1, (a, b)
    assert sum(f.skipped for f in frames) == total_skipped
    dropped = sum(f.dropped for f in frames)
    if late == "child":
        assert dropped >= 10, frames   # 30 frames fell due while it was stopped
    else:
        assert dropped == 0 and total_skipped > 0, frames


def test_a_driver_wanting_more_buffers_refuses_the_stream_in_the_modules_words(vcam):
    # The camsnap command reads this text to show series instead (needs_more_buffers).
    camera(vcam, fps=0, min_buffers=2)
    with CameraProcess(0, 0, 160, 120) as cam:
        with pytest.raises(StreamFailed) as caught:
            cam.start()
        assert [line.text for line in caught.value.lines] == ["Too many buffers required"]
        assert cam.series(2).shape == (2, 120, 160)   # the camera is the module's again
        with pytest.raises(StreamFailed):
            cam.start()
    with CameraProcess(0, 0, 160, 120, buffers=2) as cam:   # ... unless it gets them
        frames = [cam.read_frame(timeout=5) for _ in range(3)]
    # fps 0 serves frames as fast as they are taken: a busy parent lets the ring skip some
    sequences = [f.sequence for f in frames]
    assert sequences == seqs_of(vcam, [f.array for f in frames]) == sorted(set(sequences))
    for a, b in zip(frames, frames[1:]):
        assert b.dropped + b.skipped == b.sequence - a.sequence - 1, (a, b)


def test_a_driver_answering_y16_with_another_format_streams_through_the_module(vcam):
    # The module reads what comes as 16-bit pixels (thermal cameras carry theirs in "YUYV");
    # a camera object refuses the substitute, so the child streams as the module does,
    # without the driver's facts.
    camera(vcam, fps=0)
    vcam.set_fmt_answer(0, {"pixelformat": "YUYV"})
    with CameraProcess(0, 0, 160, 120) as cam:
        frames = [cam.read_frame(timeout=5) for _ in range(2)]
    # every byte of the driver's frame k is k, read as 16-bit pixels; a child that ran ahead
    # of a busy parent may have replaced the oldest frames in the ring
    values = [int(f.array.min()) for f in frames]
    assert values == [int(f.array.max()) for f in frames]
    assert all(v % 257 == 0 for v in values) and 0 < values[0] < values[1], values
    assert all(f.sequence is f.timestamp is f.clock is f.dropped is None for f in frames)
