"""Random sequences of the module's nine methods against the virtual camera's hostile driver.

    drive.py --seed S --sequences N [--calls K] [--seconds T] [--junit FILE]

Each sequence gets a freshly configured node 0 (random formats, a hostile generator seeded from
S and the sequence number) and K random calls with random arguments. After every call: the
result has a type the method may return, an array has the dtype and rank its mode gives and the
size asked for, standard error holds only diagnostic lines, and only a malformed call raised
(TypeError or OverflowError). After each sequence, stopStream() and close(), then the camera
must show no descriptor open, no buffer queued and the stream off.

The process must run with the virtual camera preloaded (and the sanitizer runtime before it in
sanitizer builds): see tests/hostile/README.md. A failure prints the seed and sequence that
replays it: --seed S --first I --sequences 1.
"""
import argparse
import collections
import os
import random
import re
import sys
import tempfile
import time
import traceback

import numpy as np

import camsnap
import camsnap_vcam as vcam

DIAGNOSTIC = re.compile(r"(E:[A-Za-z_]\w*:\d+:[^\n]*\n+)*\Z")
# The sanitizer's allocator says so when it refuses a huge request; the module then reports.
SANITIZER_REFUSAL = re.compile(r"==\d+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes\n")
INT_MAX = 2 ** 31 - 1

# What each method may hand back besides raising on a malformed call.
RESULT_TYPES = {
    "open": (bool,), "close": (bool,), "list": (list,), "init": (bool,),
    "captureSingle": (np.ndarray, type(None)), "captureSeries": (np.ndarray, type(None)),
    "startStream": (bool,), "captureStream": (np.ndarray, type(None)), "stopStream": (bool,),
}
# Argument formats: "i" a C int, "I" any int (masked to 32 bits), "" no argument.
FORMATS = {"open": "i", "init": "iII", "captureSeries": "i"}

FOURCCS = ("Y16 ", "YU12", "BGR3", "GREY")


class Failure(Exception):
    pass


class StderrCapture:
    """Standard error goes to a file while a call runs, so its lines can be checked (and a
    sanitizer report is still there if the process dies)."""

    def __init__(self, path):
        self.file = open(path, "w+b")
        self.saved = os.dup(2)
        self.progress_file = open(path + ".progress", "w")

    def progress(self, text):
        """What is about to run, kept in <path>.progress for when the process dies in the call."""
        self.progress_file.seek(0)
        self.progress_file.truncate()
        self.progress_file.write(text)
        self.progress_file.flush()

    def __enter__(self):
        sys.stderr.flush()
        self.file.seek(0)
        self.file.truncate()
        os.dup2(self.file.fileno(), 2)
        return self

    def __exit__(self, *exc):
        os.dup2(self.saved, 2)
        self.file.seek(0)
        self.text = self.file.read().decode("utf-8", "replace")


def random_int(rng, good):
    if good:
        return rng.choice([0, 1, 2, 3, 5, 8, 40, rng.randrange(-3, 70), -1, INT_MAX, -2 ** 31,
                           rng.randrange(0, 4000)])
    return rng.choice([2 ** 31, -2 ** 31 - 1, 2 ** 64, 10 ** 30])


def random_uint(rng):
    return rng.choice([0, 1, 2, 160, 120, 640, 480, 172, 641, 479, rng.randrange(0, 5000),
                       -1, 2 ** 31, 2 ** 32 + 160, 2 ** 70])


def bad_value(rng):
    return rng.choice([None, 1.5, float("nan"), "1", b"0", [], {}, object(), 2 ** 100])


def random_args(rng, method, sizes=()):
    """(args, well_formed)."""
    fmt = FORMATS.get(method)
    if fmt is None:  # the methods without arguments ignore whatever they are given
        return tuple(bad_value(rng) for _ in range(rng.choice([0, 0, 0, 1, 2]))), True
    if rng.random() < 0.15:  # wrong count
        n = len(fmt) + rng.choice([-1, 1, 2])
        return tuple(random_int(rng, True) for _ in range(n)), False
    args, good = [], True
    for code in fmt:
        if rng.random() < 0.08:
            value = bad_value(rng)
            # "I" masks any int to 32 bits; only other types are malformed there.
            args.append(value if code == "i" or not isinstance(value, int) else None)
            good = False
        elif code == "i":
            ok = rng.random() < 0.95
            args.append(random_int(rng, ok))
            good = good and ok
        else:
            args.append(random_uint(rng))
    if method == "init" and good and rng.random() < 0.7:
        args[0] = rng.choice([0, 1, 2, 0, 1, 2, 3, -1])
        if sizes and rng.random() < 0.6:  # a size the camera lists
            args[1:] = rng.choice(sizes)
    if method == "open" and good and rng.random() < 0.8:
        args[0] = rng.choice([0, 0, 0, 1])
    if method == "captureSeries" and good:
        # Not billions: a series that large of a tiny frame fits in memory and takes hours.
        args[0] = rng.choice([rng.randrange(-2, 12), rng.randrange(-2, 12), 40, -5, -2 ** 31])
    return tuple(args), good


def settle_module():
    """Every sequence starts from the same module state: geometry and mode of an honest
    160x120 "Y16 " init, no descriptor, no stream; so a sequence replays on its own."""
    vcam.reset()
    vcam.add_node(9)
    camsnap.stopStream()
    if not (camsnap.open(9) and camsnap.init(0, 160, 120) and camsnap.close()):
        raise Failure("an honest camera could not be opened and set up")


def configure_node(rng, seed, carry):
    if not carry:
        settle_module()
    formats, listed = [], []
    for code in rng.sample(FOURCCS, rng.randrange(1, len(FOURCCS) + 1)):
        sizes = [(rng.choice([1, 2, 3, 160, 161, 640]), rng.choice([1, 2, 120, 172, 121, 480]))
                 for _ in range(rng.randrange(1, 3))]
        formats.append(vcam.fmt(code, sizes, pad=rng.choice([0, 0, 1, 3, 64])))
        listed.extend(sizes)
    vcam.reset()
    least = rng.choice([1, 2])
    vcam.add_node(0, formats=formats, min_buffers=least, max_buffers=rng.choice([least, 4, 32]),
                  hostile=seed, hostile_rate=rng.choice([0.0, 0.01, 0.05, 0.2]))
    if rng.random() < 0.2:
        vcam.add_node(1, formats=formats)  # an honest second node next to it
    return listed


def check_array(method, args, value, width):
    rgb = value.dtype == np.uint8
    if value.dtype not in (np.uint8, np.uint16):
        raise Failure("%s returned dtype %s" % (method, value.dtype))
    series = method == "captureSeries" and args[0] != -1  # -1 asks for the single shape
    rank = 2 + series + rgb
    if value.ndim != rank or (rgb and value.shape[-1] != 3):
        raise Failure("%s returned shape %s dtype %s" % (method, value.shape, value.dtype))
    if series and value.shape[0] != args[0]:
        raise Failure("captureSeries(%d) returned %d frames" % (args[0], value.shape[0]))
    if width is not None and value.shape[rank - 1 - rgb] != width:
        raise Failure("%s returned shape %s after an init answered width %d" % (method, value.shape, width))
    if not value.flags["C_CONTIGUOUS"] or not value.flags["OWNDATA"]:
        raise Failure("%s returned an array that does not own contiguous data" % method)
    value.sum()  # every element is readable


def check_call(method, args, good, outcome, stderr, width=None):
    kind, value = outcome
    if not DIAGNOSTIC.match(SANITIZER_REFUSAL.sub("", stderr)):
        raise Failure("%s%r wrote something that is not a diagnostic line: %r" % (method, args, stderr))
    if kind == "raised":
        if good or not isinstance(value, (TypeError, OverflowError)):
            raise Failure("%s%r raised %r" % (method, args, value))
        return
    if not good:
        raise Failure("%s%r accepted a malformed call and returned %r" % (method, args, value))
    if method == "captureSeries" and (args[0] == 0 or args[0] < -1) and (value is not None or stderr):
        raise Failure("captureSeries%r returned %r and wrote %r" % (args, value, stderr))
    if not isinstance(value, RESULT_TYPES[method]):
        raise Failure("%s%r returned %r" % (method, args, value))
    if isinstance(value, np.ndarray):
        check_array(method, args, value, width)
    if method == "list":
        for entry in value:
            if not isinstance(entry, dict):
                raise Failure("list() entry %r" % (entry,))


def call(method, args):
    try:
        return "returned", getattr(camsnap, method)(*args)
    except Exception as e:  # the check decides which exceptions were allowed
        return "raised", e


def check_camera_released():
    for node in (0, 1):
        try:
            st = vcam.state(node)
        except KeyError:
            continue
        if st["open_fds"] or st["queued"] or st["streaming"]:
            raise Failure("node %d left in use: %r" % (node, st))


def track_module(module, method, args, outcome):
    """The node the module holds and the width its last accepted init gave the frames."""
    if method == "close" and outcome[0] == "returned":
        module["node"], module["ready"] = None, False
    if outcome[0] != "returned" or outcome[1] is not True:
        return
    if method == "open":
        module["node"], module["ready"] = args[0], False
    elif method == "init" and module["node"] is not None:
        module["width"] = vcam.state(module["node"])["width"]
        module["ready"] = True


def summary(value):
    if isinstance(value, np.ndarray):
        return "array%s %s" % (value.shape, value.dtype)
    return value


def run_sequence(seed, index, calls, capture, counters, verbose=False, carry=False):
    rng = random.Random("%d/%d" % (seed, index))
    with capture:
        sizes = configure_node(rng, seed * 1000003 + index, carry)
    # Settled: the honest 160x120 init of settle_module(); carried: not known.
    module = {"node": None, "width": None if carry else 160, "ready": False}
    methods = list(RESULT_TYPES)
    weights = [6, 3, 1, 6, 5, 4, 4, 8, 3]
    for k in range(calls):
        method = rng.choices(methods, weights)[0]
        # Mostly the order a user follows, so that captures get past the closed device.
        if module["node"] is None and rng.random() < 0.5:
            method = "open"
        elif not module["ready"] and rng.random() < 0.3:
            method = "init"
        args, good = random_args(rng, method, sizes)
        capture.progress("sequence %d call %d: %s%r (replay: --seed %d --first %d --sequences 1 --calls %d)\n"
                         % (index, k, method, args, seed, index, calls))
        with capture:
            outcome = call(method, args)
        counters["calls"] += 1
        if verbose:
            print("%d.%d %s%r -> %s %r %r" % (index, k, method, args, outcome[0], summary(outcome[1]),
                                              capture.text), flush=True)
        if outcome[0] == "returned" and outcome[1] is not None and outcome[1] is not False:
            counters["succeeded"] += 1
            if isinstance(outcome[1], np.ndarray):
                counters["frames"] += 1
        for line in re.findall(r"^E:cs_init:\d+:(.*)$", capture.text, re.M):
            counters["init refusals"][re.sub(r"(?<![A-Z0-9])\d+", "N", line)] += 1
        try:
            check_call(method, args, good, outcome, capture.text, module["width"])
        except Failure as f:
            raise Failure("call %d: %s" % (k, f))
        track_module(module, method, args, outcome)
        outcome = None  # the array goes before the next call allocates its own
    with capture:
        outcomes = [call("stopStream", ()), call("close", ())]
    for method, outcome in zip(("stopStream", "close"), outcomes):
        check_call(method, (), True, outcome, capture.text)
    check_camera_released()
    counters["sequences"] += 1


def write_junit(path, counters, failure, seconds):
    from xml.sax.saxutils import escape, quoteattr
    body = ""
    if failure:
        body = "<failure message=%s>%s</failure>" % (quoteattr(failure.splitlines()[0]), escape(failure))
    with open(path, "w") as f:
        f.write('<?xml version="1.0" encoding="utf-8"?>\n'
                '<testsuite name="hostile" tests="1" failures="%d" errors="0" skipped="0" time="%.1f">'
                '<testcase classname="hostile.drive" name="random_sequences" time="%.1f">%s'
                '<system-out>sequences=%d calls=%d</system-out></testcase></testsuite>\n'
                % (1 if failure else 0, seconds, seconds, body, counters["sequences"], counters["calls"]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--first", type=int, default=0, help="number of the first sequence")
    ap.add_argument("--sequences", type=int, default=100)
    ap.add_argument("--calls", type=int, default=40, help="calls per sequence")
    ap.add_argument("--seconds", type=float, default=None, help="stop after this long")
    ap.add_argument("--junit")
    ap.add_argument("--carry", action="store_true",
                    help="start each sequence in the module state the last one left (geometry, "
                    "mode); a replay then needs the sequences before it too (--first 0)")
    ap.add_argument("--verbose", action="store_true", help="print every call and its outcome")
    ap.add_argument("--stderr", help="file that holds each call's standard error (and a sanitizer's "
                    "report when the process dies); <file>.progress names the call")
    opts = ap.parse_args()
    counters = {"sequences": 0, "calls": 0, "succeeded": 0, "frames": 0,
                "init refusals": collections.Counter()}
    capture = StderrCapture(opts.stderr or os.path.join(tempfile.gettempdir(), "camsnap-hostile-stderr.%d" % os.getpid()))
    start = time.monotonic()
    failure = None
    index = opts.first
    try:
        for index in range(opts.first, opts.first + opts.sequences):
            if opts.seconds is not None and time.monotonic() - start > opts.seconds:
                break
            run_sequence(opts.seed, index, opts.calls, capture, counters, opts.verbose, opts.carry)
    except Exception:
        failure = "sequence %d (replay: --seed %d --first %d --sequences 1 --calls %d)\n%s" % (
            index, opts.seed, index, opts.calls, traceback.format_exc())
    seconds = time.monotonic() - start
    if opts.junit:
        write_junit(opts.junit, counters, failure, seconds)
    print("hostile: seed %d, %d sequences, %d calls (%d succeeded, %d returned arrays), %.1f s, %s" % (
        opts.seed, counters["sequences"], counters["calls"], counters["succeeded"], counters["frames"],
        seconds, "FAILED" if failure else "ok"))
    print("hostile: init refused with: %s" % "; ".join(
        "%r %d" % item for item in counters["init refusals"].most_common()))
    if failure:
        print(failure, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
