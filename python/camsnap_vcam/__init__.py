"""Python side of the project's virtual camera (vcam/, libcamsnap_vcam.so).

The library must already be preloaded into this process (LD_PRELOAD); this module only
configures it and reads back what it saw. See vcam/README.md.
"""
import ctypes
import errno as _errno
import os

__all__ = ["reset", "add_node", "fmt", "stepwise", "continuous", "fault", "dqbuf_override",
           "set_frames", "set_hostile", "set_fps", "set_fixed_fps", "set_stop_after", "set_fmt_answer", "log", "state", "render",
           "fourcc", "REQUESTS"]

REQUESTS = ("OPEN", "CLOSE", "QUERYCAP", "ENUM_FMT", "ENUM_FRAMESIZES", "S_FMT", "REQBUFS",
            "QBUF", "DQBUF", "STREAMON", "STREAMOFF", "POLL", "SELECT", "MMAP", "G_FMT", "TRY_FMT",
            "QUERYBUF", "G_PARM", "S_PARM", "ENUMINPUT", "G_INPUT", "S_INPUT", "QUERYCTRL",
            "G_CTRL", "S_CTRL")

_HOW_TO_RUN = ("run the tests through scripts/test, which builds libcamsnap_vcam.so, points "
               "CAMSNAP_VCAM at it and puts it in LD_PRELOAD")


def _preloaded(lib):
    # A preloaded library is in the global scope, ahead of libc: the process's own lookup of
    # vcam_reset finds this library's. (/proc/self/maps does not list preloaded libraries
    # under qemu-user, so the maps cannot tell.)
    try:
        found = ctypes.CDLL(None).vcam_reset
    except AttributeError:
        return False
    address = ctypes.cast(found, ctypes.c_void_p).value
    return address == ctypes.cast(lib.vcam_reset, ctypes.c_void_p).value


def _load():
    path = os.environ.get("CAMSNAP_VCAM")
    if not path:
        raise RuntimeError("CAMSNAP_VCAM is not set: " + _HOW_TO_RUN)
    real = os.path.realpath(path)
    if not os.path.isfile(real):
        raise RuntimeError("CAMSNAP_VCAM names %r, which does not exist: %s" % (path, _HOW_TO_RUN))
    preload = os.environ.get("LD_PRELOAD", "").replace(":", " ").split()
    lib = ctypes.CDLL(real)
    if real not in [os.path.realpath(p) for p in preload] or not _preloaded(lib):
        raise RuntimeError("%s is not preloaded into this process (LD_PRELOAD): %s" % (real, _HOW_TO_RUN))
    u32, c_int, c_size = ctypes.c_uint32, ctypes.c_int, ctypes.c_size_t
    ull = ctypes.c_ulonglong
    signatures = {
        "vcam_reset": [],
        "vcam_add_node": [c_int, ctypes.c_char_p, c_size, u32, u32, c_int, c_int, u32, u32,
                          ctypes.c_double, ctypes.c_longlong],
        "vcam_add_format": [c_int, u32, u32],
        "vcam_add_size": [c_int, u32, u32, u32, u32, u32, u32, u32],
        "vcam_set_fmt_answer": [c_int, u32, u32, u32, u32, u32, u32],
        "vcam_clear_frames": [c_int],
        "vcam_add_frame": [c_int, ctypes.c_char_p, c_size],
        "vcam_set_fps": [c_int, ctypes.c_double],
        "vcam_set_stop_after": [c_int, ctypes.c_longlong],
        "vcam_set_fixed_fps": [c_int, c_int],
        "vcam_fault": [c_int, ctypes.c_char_p, ull, c_int],
        "vcam_dqbuf_override": [c_int, ull, u32, u32, u32, u32],
        "vcam_set_hostile": [c_int, ull, ctypes.c_double],
        "vcam_log": [c_int, ctypes.c_char_p, c_size],
        "vcam_state": [c_int, ctypes.c_char_p, c_size],
        "vcam_render": [u32, u32, u32, u32, u32, u32, ctypes.c_void_p],
    }
    for name, argtypes in signatures.items():
        f = getattr(lib, name)
        f.argtypes = argtypes
        f.restype = ctypes.c_long if name in ("vcam_log", "vcam_state") else ctypes.c_int
    return lib


_lib = _load()


def _check(result, node=None):
    if result == -_errno.ENOENT and node is not None:
        raise KeyError("no virtual node %d (add_node first)" % node)
    if result < 0:
        raise ValueError("virtual camera refused the configuration: %s" % os.strerror(-result))
    return result


def fourcc(code):
    """'Y16 ' (or b'Y16 ', or an int already) -> the V4L2 32-bit code, first character lowest."""
    if isinstance(code, int):
        return code
    if isinstance(code, str):
        code = code.encode("latin-1")
    if len(code) != 4:
        raise ValueError("a four-character code has four characters: %r" % (code,))
    return code[0] | code[1] << 8 | code[2] << 16 | code[3] << 24


_DISCRETE, _CONTINUOUS, _STEPWISE = 1, 2, 3


def stepwise(min_w, max_w, step_w, min_h, max_h, step_h):
    return (_STEPWISE, min_w, max_w, step_w, min_h, max_h, step_h)


def continuous(min_w, max_w, min_h, max_h):
    return (_CONTINUOUS, min_w, max_w, 1, min_h, max_h, 1)


def fmt(code, sizes, pad=0):
    """A format of a node: its code, its frame sizes ((w, h) pairs, stepwise(), continuous())
    and extra padding bytes at the end of each line."""
    entries = []
    for s in sizes:
        if len(s) == 2:
            entries.append((_DISCRETE, s[0], s[0], 1, s[1], s[1], 1))
        elif len(s) == 7:
            entries.append(tuple(s))
        else:
            raise ValueError("a frame size is (w, h), stepwise(...) or continuous(...): %r" % (s,))
    return {"fourcc": fourcc(code), "sizes": entries, "pad": pad}


_FMT_FIELDS = (("width", 1), ("height", 2), ("bytesperline", 4), ("sizeimage", 8), ("pixelformat", 16))


def set_fmt_answer(n, answer):
    """Make S_FMT answer these fields (any of width, height, bytesperline, sizeimage,
    pixelformat) whatever was asked; None or {} restores honest answers."""
    answer = dict(answer or {})
    unknown = set(answer) - set(name for name, _ in _FMT_FIELDS)
    if unknown:
        raise ValueError("fmt_answer knows no field %s" % ", ".join(sorted(unknown)))
    if "pixelformat" in answer:
        answer["pixelformat"] = fourcc(answer["pixelformat"])
    mask = 0
    for name, bit in _FMT_FIELDS:
        if name in answer:
            mask |= bit
    _check(_lib.vcam_set_fmt_answer(n, mask, *[answer.get(name, 0) for name, _ in _FMT_FIELDS]), n)


def reset():
    """Remove every node, with its faults and records. Descriptors still open stay open
    but are plain descriptors from then on."""
    _check(_lib.vcam_reset())


def add_node(n, card=b"IR cam", capabilities=0x84200001, device_caps=None, querycap_errno=0,
             open_errno=0, formats=None, min_buffers=1, max_buffers=32, fps=0, stop_after=None,
             fmt_answer=None, frames=None, fixed_fps=False, hostile=None, hostile_rate=0.05):
    """Make /dev/video<n> exist (again, from scratch if it did)."""
    if isinstance(card, str):
        card = card.encode("utf-8")
    if device_caps is None:
        device_caps = capabilities & ~0x80000000
    if formats is None:
        formats = [fmt("Y16 ", [(160, 120), (640, 480)])]
    _check(_lib.vcam_add_node(n, card, len(card), capabilities, device_caps, querycap_errno,
                              open_errno, min_buffers, max_buffers, fps,
                              -1 if stop_after is None else stop_after))
    for f in formats:
        _check(_lib.vcam_add_format(n, f["fourcc"], f["pad"]), n)
        for size in f["sizes"]:
            _check(_lib.vcam_add_size(n, *size), n)
    if fmt_answer:
        set_fmt_answer(n, fmt_answer)
    if frames is not None:
        set_frames(n, frames)
    if fixed_fps:
        set_fixed_fps(n, True)
    if hostile is not None:
        set_hostile(n, hostile, hostile_rate)


def set_frames(n, frames):
    """Deliver these exact bytes instead of the pattern: frame with sequence k gets
    frames[k % len(frames)]. None or [] goes back to the pattern."""
    _check(_lib.vcam_clear_frames(n), n)
    for frame in frames or []:
        frame = bytes(frame)
        _check(_lib.vcam_add_frame(n, frame, len(frame)), n)


def set_hostile(n, seed, rate=0.05):
    """Make node n a hostile driver: odd S_FMT answers, 0 to 64 granted buffers, wrong DQBUF
    index/flags/bytesused, and each request failing with a random errno at `rate` (the device
    vanishing for good at rate / 20). The same seed replays the same answers. seed None: honest."""
    if seed is None:
        _check(_lib.vcam_set_hostile(n, 0, -1.0), n)
    else:
        _check(_lib.vcam_set_hostile(n, seed, float(rate)), n)


def set_fps(n, fps):
    _check(_lib.vcam_set_fps(n, float(fps)), n)


def set_fixed_fps(n, fixed=True):
    """Whether S_PARM leaves the frame rate alone (a camera with a single frame interval)."""
    _check(_lib.vcam_set_fixed_fps(n, 1 if fixed else 0), n)


def set_stop_after(n, k):
    """Deliver k frames after each STREAMON, then nothing; None: no limit."""
    _check(_lib.vcam_set_stop_after(n, -1 if k is None else k), n)


def fault(n, request, nth=1, errno=_errno.EIO):
    """Make the nth call of `request` on node n from now on fail with `errno`."""
    if request not in REQUESTS:
        raise ValueError("unknown request %r; one of %s" % (request, ", ".join(REQUESTS)))
    _check(_lib.vcam_fault(n, request.encode(), nth, errno), n)


def dqbuf_override(n, nth=1, index=None, flags=None, bytesused=None):
    """Make the nth DQBUF on node n from now on (if it dequeues a frame) answer these values."""
    mask = (1 if index is not None else 0) | (2 if flags is not None else 0) | (4 if bytesused is not None else 0)
    _check(_lib.vcam_dqbuf_override(n, nth, mask, index or 0, flags or 0, bytesused or 0), n)


def _text(getter, n):
    size = _check(getter(n, None, 0), n)
    buf = ctypes.create_string_buffer(size + 1)
    getter(n, buf, size + 1)
    return buf.value.decode("ascii")


def log(n):
    """Every request node n saw, oldest first: (name, args, result), result 0 or -errno
    (for POLL the number of ready descriptors)."""
    entries = []
    for line in _text(_lib.vcam_log, n).splitlines():
        words = line.split()
        args = {}
        for word in words[2:]:
            key, value = word.split("=", 1)
            args[key] = int(value)
        entries.append((words[0], args, int(words[1])))
    return entries


def state(n):
    fields = dict(word.split("=", 1) for word in _text(_lib.vcam_state, n).split())
    result = dict((k, int(v)) for k, v in fields.items())
    result["streaming"] = bool(result["streaming"])
    return result


def render(code, width, height, bytesperline, sizeimage, seq):
    """The bytes the camera writes for frame `seq` when no exact frames are configured."""
    out = ctypes.create_string_buffer(sizeimage)
    _check(_lib.vcam_render(fourcc(code), width, height, bytesperline, sizeimage, seq, out))
    return out.raw
