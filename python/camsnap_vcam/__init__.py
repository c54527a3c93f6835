"""The virtual camera: V4L2 nodes /dev/video<N> that exist in every process that preloads
libcamsnap_vcam.so, for testing camera code without a camera.

Cameras are described in JSON, the same text whether it comes from this package or from the
environment variable CAMSNAP_VCAM_CONFIG, which the library reads when it loads: so a child
process, or any program run with the variables of `environment()`, sees the cameras this
process described. Each process keeps its own camera state (queues, frame counters).

Importing the package works anywhere; the calls that change or read the cameras of this
process need the library preloaded into it and raise RuntimeError otherwise. See
vcam/README.md.
"""
import atexit
import base64
import collections.abc
import ctypes
import errno as _errno
import functools
import json
import os
import socket as _socket_module
import stat
import struct
import tempfile
from types import TracebackType
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Type, Union

__all__ = ["reset", "add_node", "fmt", "control", "Feed", "stepwise", "continuous", "fault", "dqbuf_override",
           "set_frames", "set_hostile", "set_fps", "set_fixed_fps", "set_stop_after",
           "set_fmt_answer", "set_skip", "log", "state", "render", "fourcc", "REQUESTS", "describe",
           "configure", "library_path", "environment", "standard_description", "preloaded"]

LIBRARY_NAME = "libcamsnap_vcam.so"
CONFIG_VARIABLE = "CAMSNAP_VCAM_CONFIG"

Code = Union[str, bytes, int]
Size = Union[Tuple[int, int], Dict[str, List[int]]]
Format = Dict[str, Any]
Description = Union[str, Mapping[str, Any]]
Control = Dict[str, Any]
Colour = Union[str, int]  # a colour field's name in a description, or its V4L2 number

_HOW_TO_RUN = ("run the program with the variables of camsnap_vcam.environment() "
               "(`camsnap virtual -- CMD` does), or through scripts/test")

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


def library_path() -> str:
    """The virtual camera library: the one installed beside this package (a wheel), else
    $CAMSNAP_VCAM, else the source tree's build (build/py3.11/vcam). RuntimeError if none
    exists."""
    beside = os.path.join(_PACKAGE_DIR, LIBRARY_NAME)
    named = os.environ.get("CAMSNAP_VCAM")
    built = os.path.join(os.path.dirname(os.path.dirname(_PACKAGE_DIR)), "build", "py3.11", "vcam",
                         LIBRARY_NAME)
    for path in (beside, named, built):
        if path and os.path.isfile(path):
            return os.path.realpath(path)
    raise RuntimeError("no %s: install camsnap from a wheel, build the source tree "
                       "(scripts/build 3.11), or set CAMSNAP_VCAM to the library" % LIBRARY_NAME)


_SIGNATURES = {
    "vcam_reset": [],
    "vcam_configure": [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t],
    "vcam_configure_node": [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t],
    "vcam_describe": [ctypes.c_char_p, ctypes.c_size_t],
    "vcam_set_fmt_answer_text": [ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t],
    "vcam_clear_frames": [ctypes.c_int],
    "vcam_add_frame": [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t],
    "vcam_set_fps": [ctypes.c_int, ctypes.c_double],
    "vcam_set_stop_after": [ctypes.c_int, ctypes.c_longlong],
    "vcam_set_fixed_fps": [ctypes.c_int, ctypes.c_int],
    "vcam_set_skip": [ctypes.c_int, ctypes.POINTER(ctypes.c_ulonglong), ctypes.c_size_t],
    "vcam_fault": [ctypes.c_int, ctypes.c_char_p, ctypes.c_ulonglong, ctypes.c_int],
    "vcam_dqbuf_override": [ctypes.c_int, ctypes.c_ulonglong] + [ctypes.c_uint32] * 4,
    "vcam_set_hostile": [ctypes.c_int, ctypes.c_ulonglong, ctypes.c_double],
    "vcam_log": [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t],
    "vcam_state": [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t],
    "vcam_render": [ctypes.c_uint32] * 6 + [ctypes.c_void_p],
    "vcam_requests": [ctypes.c_char_p, ctypes.c_size_t],
}
_LONG_RESULTS = ("vcam_configure", "vcam_configure_node", "vcam_set_fmt_answer_text", "vcam_describe", "vcam_log", "vcam_state",
                 "vcam_requests")


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    for name, argtypes in _SIGNATURES.items():
        f = getattr(lib, name)
        f.argtypes = argtypes
        f.restype = ctypes.c_long if name in _LONG_RESULTS else ctypes.c_int
    return lib


_process_lib = None  # type: Optional[ctypes.CDLL]


def _preloaded() -> Optional[ctypes.CDLL]:
    """The library as this process preloaded it, or None. A preloaded library is in the
    global scope ahead of libc, so the process's own lookup finds its functions (under
    qemu-user /proc/self/maps does not list preloaded libraries, so the maps cannot tell)."""
    global _process_lib
    if _process_lib is None:
        process = ctypes.CDLL(None)
        try:
            process.vcam_configure
        except AttributeError:
            return None
        _process_lib = _declare(process)
    return _process_lib


def preloaded() -> bool:
    """Whether this process preloads the library (LD_PRELOAD), so that its cameras can be
    set up from here. Asks the process's own symbol lookup, which also works under
    qemu-user, where /proc/self/maps does not list preloaded libraries."""
    return _preloaded() is not None


def _lib() -> ctypes.CDLL:
    lib = _preloaded()
    if lib is None:
        raise RuntimeError("%s is not preloaded into this process (LD_PRELOAD): %s"
                           % (LIBRARY_NAME, _HOW_TO_RUN))
    return lib


def _check(result: int, node: Optional[int] = None) -> int:
    if result == -_errno.ENOENT and node is not None:
        raise KeyError("no virtual node %d (add_node first)" % node)
    if result < 0:
        raise ValueError("virtual camera refused the configuration: %s" % os.strerror(-result))
    return result


# ---------------------------------------------------------------------------
# The environment children inherit

# execve refuses a variable longer than 32 pages (128 KiB); a longer description (exact
# frames, say) goes into a file that the variable names with a leading '@'.
_INLINE_LIMIT = 100000
_files = []  # type: List[str]


def _remove_files() -> None:
    while _files:
        try:
            os.unlink(_files.pop())
        except OSError:
            pass


atexit.register(_remove_files)


def _variable(text: str) -> str:
    if len(text) <= _INLINE_LIMIT:
        return text
    fd, path = tempfile.mkstemp(prefix="camsnap-vcam-", suffix=".json")
    with os.fdopen(fd, "w") as f:
        f.write(text)
    _files.append(path)
    return "@" + path


_changing = 0


def _changes(f: Callable[..., Any]) -> Callable[..., Any]:
    """Marks a call that changes the cameras: once the outermost one returns,
    CAMSNAP_VCAM_CONFIG describes the cameras as they are, for children started afterwards."""
    def changed(*args: Any, **kwargs: Any) -> Any:
        global _changing
        _changing += 1
        try:
            return f(*args, **kwargs)
        finally:
            _changing -= 1
            if _changing == 0:
                _sync()
    changed.__name__ = f.__name__
    changed.__doc__ = f.__doc__
    changed.__wrapped__ = f  # type: ignore[attr-defined]
    return changed


def _sync() -> None:
    previous = os.environ.get(CONFIG_VARIABLE, "")
    os.environ[CONFIG_VARIABLE] = _variable(describe())
    if previous.startswith("@") and previous[1:] in _files:
        _files.remove(previous[1:])
        try:
            os.unlink(previous[1:])
        except OSError:
            pass


def standard_description(node: int = 0) -> Dict[str, Any]:
    """The description of the camera `camsnap virtual` offers: node `node`, "Y16 " and
    "YU12" at 160x120, 640x480 and 1280x720, 30 frames a second."""
    sizes = [[160, 120], [640, 480], [1280, 720]]
    return {"nodes": [{"node": node, "card": "camsnap virtual camera", "fps": 30,
                       "formats": [{"fourcc": "Y16 ", "sizes": sizes},
                                   {"fourcc": "YU12", "sizes": sizes}]}]}


def environment(description: Optional[Description] = None) -> Dict[str, str]:
    """The variables that run any program on the virtual camera: LD_PRELOAD (what this
    process preloads, in its order, with the library first unless it is among them),
    CAMSNAP_VCAM and CAMSNAP_VCAM_CONFIG.
    description None: the cameras of this process as they are now when it preloads the
    library, else its CAMSNAP_VCAM_CONFIG, else standard_description()."""
    library = library_path()
    if description is None:
        if _preloaded() is not None:
            text = describe()
        else:
            text = os.environ.get(CONFIG_VARIABLE) or json.dumps(standard_description())
    else:
        text = _description_text(description)
    # What this process preloads keeps its order, with the library in its own place (a
    # sanitizer's runtime must stay ahead of it); the library goes first when it is new.
    preloads = os.environ.get("LD_PRELOAD", "").replace(":", " ").split()
    ours = [os.path.realpath(p) == library or os.path.basename(p) == LIBRARY_NAME
            for p in preloads]
    if any(ours):
        preloads = [library if mine else p for p, mine in zip(preloads, ours)]
        preloads = [p for i, p in enumerate(preloads) if p != library or preloads.index(p) == i]
    else:
        preloads.insert(0, library)
    return {"LD_PRELOAD": " ".join(preloads), "CAMSNAP_VCAM": library,
            CONFIG_VARIABLE: text if text.startswith("@") else _variable(text)}


# ---------------------------------------------------------------------------
# Descriptions

def _card_json(card: Union[str, bytes]) -> Union[str, List[int]]:
    if isinstance(card, str):
        return card
    try:
        return bytes(card).decode("utf-8")
    except UnicodeDecodeError:
        return list(bytearray(card))  # bytes that are not text travel as byte values


def _node_json(node: Mapping[str, Any]) -> Dict[str, Any]:
    """A node description with bytes made JSON: the card as text or byte values, frames as
    base64."""
    out = dict(node)
    if isinstance(out.get("card"), (bytes, bytearray)):
        out["card"] = _card_json(out["card"])
    if out.get("frames") is not None:
        out["frames"] = [f if isinstance(f, str) else base64.b64encode(bytes(f)).decode("ascii")
                         for f in out["frames"]]
    return out


def _description_text(description: Description) -> str:
    if isinstance(description, str):
        return description
    if not isinstance(description, Mapping) or not isinstance(description.get("nodes"), (list, tuple)):
        raise ValueError('a description is {"nodes": [...]}: %r' % (description,))
    nodes = [_node_json(n) if isinstance(n, Mapping) else n for n in description["nodes"]]
    return json.dumps(dict(description, nodes=nodes))


def _configure_call(call: Callable[..., int], text: str) -> None:
    error = ctypes.create_string_buffer(1024)
    if call(text.encode("utf-8"), error, len(error)) < 0:
        raise ValueError("virtual camera refused the description: %s"
                         % error.value.decode("utf-8", "replace"))


def describe() -> str:
    """The JSON description of this process's cameras as they are now (frame rates set
    through S_PARM, faults not yet fired); configure() or CAMSNAP_VCAM_CONFIG makes the
    same cameras from it."""
    return _text(lambda out, cap: _lib().vcam_describe(out, cap))


@_changes
def configure(description: Description) -> None:
    """Replace every camera by those of `description`: a dict or JSON text
    {"nodes": [{"node": 0, "card": ..., "fps": ..., "formats": [...]}, ...]}, each node with
    the keywords of add_node as keys. ValueError, and nothing changed, for a bad one."""
    _configure_call(_lib().vcam_configure, _description_text(description))


# ---------------------------------------------------------------------------
# Nodes

def fourcc(code: Code) -> int:
    """'Y16 ' (or b'Y16 ', or an int already) -> the V4L2 32-bit code, first character lowest."""
    if isinstance(code, int):
        return code
    if isinstance(code, str):
        code = code.encode("latin-1")
    if len(code) != 4:
        raise ValueError("a four-character code has four characters: %r" % (code,))
    return code[0] | code[1] << 8 | code[2] << 16 | code[3] << 24


def stepwise(min_w: int, max_w: int, step_w: int, min_h: int, max_h: int, step_h: int) -> Dict[str, List[int]]:
    """Frame sizes from min to max in steps (V4L2_FRMSIZE_TYPE_STEPWISE)."""
    return {"stepwise": [min_w, max_w, step_w, min_h, max_h, step_h]}


def continuous(min_w: int, max_w: int, min_h: int, max_h: int) -> Dict[str, List[int]]:
    """Any frame size from min to max (V4L2_FRMSIZE_TYPE_CONTINUOUS)."""
    return {"continuous": [min_w, max_w, min_h, max_h]}


def fmt(code: Code, sizes: Sequence[Size], pad: int = 0) -> Format:
    """A format of a node: its code, its frame sizes ((w, h) pairs, stepwise(), continuous())
    and extra padding bytes at the end of each line."""
    entries = []  # type: List[Any]
    for s in sizes:
        if isinstance(s, Mapping):
            entries.append(dict(s))
        elif len(s) == 2:
            entries.append([s[0], s[1]])
        else:
            raise ValueError("a frame size is (w, h), stepwise(...) or continuous(...): %r" % (s,))
    return {"fourcc": fourcc(code), "sizes": entries, "pad": pad}


def control(name: str, type: str = "integer", minimum: Optional[int] = None,
            maximum: Optional[int] = None, step: int = 1, default: int = 0,
            menu: Optional[Sequence[Union[str, int, None]]] = None, id: Optional[int] = None,
            flags: int = 0) -> Control:
    """A control of a node (add_node(controls=[...]), the description's "controls"): type
    "integer", "boolean", "menu", "integer_menu" or "button"; id None for a control the
    kernel names so ("Brightness", "Gain", "Power Line Frequency", ...); menu: the items by
    index (text for a menu, numbers for an integer menu, None for an index left out); a
    menu's maximum defaults to its last index. The node answers QUERYCTRL, QUERY_EXT_CTRL,
    QUERYMENU, G/S_CTRL and G/S/TRY_EXT_CTRLS for it as the kernel's control framework does."""
    c = {"name": name, "type": type, "step": step, "default": default, "flags": flags}  # type: Control
    for key, value in (("minimum", minimum), ("maximum", maximum), ("id", id)):
        if value is not None:
            c[key] = value
    if menu is not None:
        c["menu"] = list(menu)
    return c


def _fmt_answer(answer: Optional[Mapping[str, Any]]) -> Dict[str, Any]:
    answer = dict(answer or {})
    if "pixelformat" in answer:
        answer["pixelformat"] = fourcc(answer["pixelformat"])
    return answer


@_changes
def set_fmt_answer(n: int, answer: Optional[Mapping[str, Any]]) -> None:
    """Make S_FMT answer these fields whatever was asked: any of width, height, bytesperline,
    sizeimage, pixelformat, and the colour fields colorspace, ycbcr_enc, quantization,
    xfer_func (names as in a description, e.g. "rec709", "709", "lim_range", or the V4L2
    numbers). None or {} restores honest answers. ValueError for a field it does not know."""
    text = json.dumps(_fmt_answer(answer))
    error = ctypes.create_string_buffer(1024)
    result = _lib().vcam_set_fmt_answer_text(n, text.encode("utf-8"), error, len(error))
    if result == -_errno.EINVAL:
        raise ValueError("virtual camera refused the answer: %s" % error.value.decode("utf-8", "replace"))
    _check(result, n)


@_changes
def reset() -> None:
    """Remove every node, with its faults and records. Descriptors still open stay open
    but are plain descriptors from then on."""
    _check(_lib().vcam_reset())


@_changes
def add_node(n: int, card: Union[str, bytes] = b"IR cam", capabilities: int = 0x84200001,
             device_caps: Optional[int] = None, querycap_errno: int = 0, open_errno: int = 0,
             formats: Optional[Sequence[Format]] = None, min_buffers: int = 1, max_buffers: int = 32,
             fps: float = 0, stop_after: Optional[int] = None,
             fmt_answer: Optional[Mapping[str, Any]] = None, frames: Optional[Sequence[bytes]] = None,
             fixed_fps: bool = False, hostile: Optional[int] = None, hostile_rate: float = 0.05,
             rates: Optional[Sequence[float]] = None, skip: Optional[Sequence[int]] = None,
             colorspace: Colour = "srgb", ycbcr_enc: Colour = "default",
             quantization: Colour = "default", xfer_func: Colour = "default",
             controls: Optional[Sequence[Control]] = None, feed: Optional[str] = None) -> None:
    """Make /dev/video<n> exist (again, from scratch if it did). The keywords are the keys of
    a node in a description. device_caps None: capabilities without DEVICE_CAPS; formats
    None: "Y16 " at 160x120 and 640x480; rates None: fps is the one rate S_PARM offers;
    skip: sequence numbers each stream numbers but never delivers (see set_skip);
    colorspace, ycbcr_enc, quantization, xfer_func: what every format answer says of its
    colours, by name ("srgb", "rec709", "jpeg"; "601", "709"; "full_range", "lim_range";
    "709", "srgb", "none"; "default" for V4L2's default) or V4L2 number. The defaults are
    uvcvideo's: sRGB, the rest left to V4L2's defaults (Y'CbCr: BT.601, limited range);
    controls: the node's controls (see control()); None: none, every id answers EINVAL;
    feed: the path of a FIFO or Unix socket the frames come from instead of being drawn
    (see Feed)."""
    node = {"node": n, "card": _card_json(card), "capabilities": capabilities,
            "device_caps": device_caps, "querycap_errno": querycap_errno, "open_errno": open_errno,
            "min_buffers": min_buffers, "max_buffers": max_buffers, "fps": float(fps),
            "stop_after": stop_after, "fixed_fps": bool(fixed_fps), "hostile": hostile,
            "hostile_rate": float(hostile_rate),
            "rates": [float(r) for r in rates or []],
            "skip": [int(k) for k in skip or []], "colorspace": colorspace, "ycbcr_enc": ycbcr_enc,
            "quantization": quantization, "xfer_func": xfer_func,
            "controls": [dict(c) for c in controls or []],
            "feed": os.fspath(feed) if feed is not None else None}  # type: Dict[str, Any]
    if formats is not None:
        node["formats"] = list(formats)
    if fmt_answer:
        node["fmt_answer"] = _fmt_answer(fmt_answer)
    _configure_call(_lib().vcam_configure_node, json.dumps(node))
    if frames is not None:
        set_frames(n, frames)


@_changes
def set_frames(n: int, frames: Optional[Sequence[bytes]]) -> None:
    """Deliver these exact bytes instead of the pattern: frame with sequence k gets
    frames[k % len(frames)]. None or [] goes back to the pattern."""
    lib = _lib()
    _check(lib.vcam_clear_frames(n), n)
    for frame in frames or []:
        frame = bytes(frame)
        _check(lib.vcam_add_frame(n, frame, len(frame)), n)


@_changes
def set_hostile(n: int, seed: Optional[int], rate: float = 0.05) -> None:
    """Make node n a hostile driver: odd S_FMT answers, 0 to 64 granted buffers, wrong DQBUF
    index/flags/bytesused, and each request failing with a random errno at `rate` (the device
    vanishing for good at rate / 20). The same seed replays the same answers. seed None: honest."""
    if seed is None:
        _check(_lib().vcam_set_hostile(n, 0, -1.0), n)
    else:
        _check(_lib().vcam_set_hostile(n, seed, float(rate)), n)


@_changes
def set_fps(n: int, fps: float) -> None:
    """Frames a second (0: a frame whenever one is asked for); on a running stream the next
    frame falls due at once and the new rate applies from there."""
    _check(_lib().vcam_set_fps(n, float(fps)), n)


@_changes
def set_fixed_fps(n: int, fixed: bool = True) -> None:
    """Whether S_PARM leaves the frame rate alone (a camera with a single frame interval)."""
    _check(_lib().vcam_set_fixed_fps(n, 1 if fixed else 0), n)


@_changes
def set_skip(n: int, skip: Optional[Sequence[int]]) -> None:
    """Sequence numbers that every stream of node n numbers but never delivers, as a driver
    losing frames on the bus does: with [5, 6] the frame after 4 is 7, and a client counts
    two dropped. None or []: every frame is delivered. Applies from the next frame on."""
    numbers = sorted(set(int(k) for k in skip or []))
    if numbers and not 0 <= numbers[0] <= numbers[-1] < 1 << 32:
        raise ValueError("a sequence number is from 0 to 2**32 - 1: %r" % (skip,))
    array = (ctypes.c_ulonglong * max(len(numbers), 1))(*numbers)
    _check(_lib().vcam_set_skip(n, array, len(numbers)), n)


@_changes
def set_stop_after(n: int, k: Optional[int]) -> None:
    """Deliver k frames after each STREAMON, then nothing; None: no limit."""
    _check(_lib().vcam_set_stop_after(n, -1 if k is None else k), n)


@_changes
def fault(n: int, request: str, nth: int = 1, errno: int = _errno.EIO) -> None:
    """Make the nth call of `request` on node n from now on fail with `errno`."""
    if request not in REQUESTS:
        raise ValueError("unknown request %r; one of %s" % (request, ", ".join(REQUESTS)))
    _check(_lib().vcam_fault(n, request.encode(), nth, errno), n)


@_changes
def dqbuf_override(n: int, nth: int = 1, index: Optional[int] = None, flags: Optional[int] = None,
                   bytesused: Optional[int] = None) -> None:
    """Make the nth DQBUF on node n from now on (if it dequeues a frame) answer these values."""
    mask = (1 if index is not None else 0) | (2 if flags is not None else 0) | (4 if bytesused is not None else 0)
    _check(_lib().vcam_dqbuf_override(n, nth, mask, index or 0, flags or 0, bytesused or 0), n)


class Feed(object):
    """Writes frames into a node's feed (add_node(feed=path), a description's "feed"), for a
    node to deliver instead of drawing them, as a recording plays back.

    Each record is a 24-byte little-endian header (b"CSVF", sequence u32, timestamp_ns u64,
    bytesused u32, flags u32) and then the frame's bytes, for the node's current format and
    size. The node delivers the first record of a stream at once and each next one when the
    difference of the timestamps has passed on CLOCK_MONOTONIC; DQBUF answers the record's
    sequence number (gaps show as dropped frames) and timestamps spaced exactly as the
    records' are. Records wait in the pipe or socket until due, so send() blocks once the
    node is a pipe's worth of frames behind. When the feed ends (close(), or the writer's
    process ending) and every frame read from it has been dequeued, the camera is gone as an
    unplugged one is: every request answers ENODEV, poll POLLERR | POLLHUP.

    path: a FIFO, made when it does not exist (and removed again by close()), opened at once
    so that frames sent before the node streams wait in it; with socket=True a Unix stream
    socket listening at path (made here, removed by close()): the node connects when it starts
    streaming, and the first send() waits for that. Every process that streams from the node
    connects once (each process has a camera of its own): accept() gives each of them a feed
    of its own."""

    MAGIC = b"CSVF"
    HEADER = struct.Struct("<4sIQII")
    ERROR = 0x40  # V4L2_BUF_FLAG_ERROR: the node passes it on in DQBUF's flags

    def __init__(self, path: str, socket: bool = False) -> None:
        self.path = os.fspath(path)
        self._listener = None  # type: Optional[Any]
        self._connection = None  # type: Optional[Any]
        self._fd = -1
        self._made = False
        if socket:
            self._listener = _socket_module.socket(_socket_module.AF_UNIX, _socket_module.SOCK_STREAM)
            self._listener.bind(self.path)
            self._made = True
            self._listener.listen(16)
            return
        if not os.path.exists(self.path):
            os.mkfifo(self.path)
            self._made = True
        elif not stat.S_ISFIFO(os.stat(self.path).st_mode):
            raise ValueError("%s is not a FIFO" % self.path)
        # Read and write: opening never waits for the node, and the pipe keeps what is sent
        # until the node reads it.
        self._fd = os.open(self.path, os.O_RDWR | getattr(os, "O_CLOEXEC", 0))

    def accept(self) -> "Feed":
        """A socket feed's next node to connect (a process's first STREAMON on it), as a Feed
        that writes to that node alone; its close() ends that process's feed only. Waits until
        one connects; raises OSError once this feed is closed."""
        if self._listener is None:
            raise ValueError("only a socket feed accepts nodes")
        connection, _ = self._listener.accept()
        feed = Feed.__new__(Feed)
        feed.path, feed._listener, feed._connection, feed._fd, feed._made = \
            self.path, None, connection, -1, False
        return feed

    def send(self, frame: bytes, sequence: int, timestamp_ns: int, flags: int = 0) -> None:
        """One frame: its bytes, the sequence number DQBUF answers, its timestamp in
        nanoseconds (any clock: only differences count) and flags (Feed.ERROR or 0)."""
        data = self.HEADER.pack(self.MAGIC, sequence, timestamp_ns, len(frame), flags) + bytes(frame)
        if self._connection is None and self._listener is not None:
            self._connection, _ = self._listener.accept()
        if self._connection is not None:
            self._connection.sendall(data)
            return
        if self._fd < 0:
            raise ValueError("the feed is closed")
        view = memoryview(data)
        while view:
            view = view[os.write(self._fd, view):]

    def close(self) -> None:
        """Ends the feed: once the node has delivered what it read, the camera is gone."""
        if self._listener is not None:
            try:  # wakes a thread waiting in accept(), which close() alone leaves asleep
                self._listener.shutdown(_socket_module.SHUT_RDWR)
            except OSError:
                pass
        for end in (self._connection, self._listener):
            if end is not None:
                end.close()
        self._connection = self._listener = None
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1
        if self._made:
            self._made = False
            try:
                os.unlink(self.path)
            except OSError:
                pass

    def __enter__(self) -> "Feed":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()


def _writable(size: int) -> Tuple[bytearray, Any]:
    """Memory the library writes into, and the pointer to pass it. Not
    create_string_buffer: ctypes keeps a new array type for every length it is
    asked for, so texts and frames of ever new sizes would grow the process."""
    data = bytearray(max(size, 1))  # from_buffer needs a byte to point at
    return data, ctypes.byref(ctypes.c_char.from_buffer(data))


def _text(getter: Callable[[Any, int], int], n: Optional[int] = None) -> str:
    """The whole text of a getter that answers its full length, as snprintf does. Another
    thread's request may lengthen it between two calls: read again until it fits."""
    length = _check(getter(None, 0), n)
    while True:
        size = length + length // 8 + 64
        data, pointer = _writable(size)
        length = _check(getter(pointer, size), n)
        if length < size:
            return data[:length].decode("utf-8")


def log(n: int) -> List[Tuple[str, Dict[str, int], int]]:
    """The last 10 000 requests node n saw, oldest first: (name, args, result), result 0 or
    -errno (for POLL the number of ready descriptors). state(n) counts every call."""
    entries = []
    for line in _text(lambda out, cap: _lib().vcam_log(n, out, cap), n).splitlines():
        words = line.split()
        args = {}
        for word in words[2:]:
            key, value = word.split("=", 1)
            args[key] = int(value)
        entries.append((words[0], args, int(words[1])))
    return entries


def state(n: int) -> Dict[str, Any]:
    """Node n's queue, stream, format and counters (vcam/README.md lists the keys)."""
    text = _text(lambda out, cap: _lib().vcam_state(n, out, cap), n)
    result = dict((k, int(v)) for k, v in (word.split("=", 1) for word in text.split()))  # type: Dict[str, Any]
    result["streaming"] = bool(result["streaming"])
    return result


_loaded_lib = None  # type: Optional[ctypes.CDLL]


def _any_lib() -> ctypes.CDLL:
    """The library preloaded into this process, else loaded (only for what needs no camera)."""
    global _loaded_lib
    lib = _preloaded()
    if lib is None:
        if _loaded_lib is None:
            _loaded_lib = _declare(ctypes.CDLL(library_path()))
        lib = _loaded_lib
    return lib


class _Requests(collections.abc.Sequence):
    """The request names that fault() takes and log() shows: the library's table (read when
    first used, so that importing needs no library)."""
    @functools.lru_cache(maxsize=None)
    def _names(self) -> Tuple[str, ...]:
        return tuple(_text(lambda out, cap: _any_lib().vcam_requests(out, cap)).split())

    def __getitem__(self, i: Any) -> Any:
        return self._names()[i]

    def __len__(self) -> int:
        return len(self._names())


REQUESTS = _Requests()


def render(code: Code, width: int, height: int, bytesperline: int, sizeimage: int, seq: int) -> bytes:
    """The bytes the camera writes for frame `seq` when no exact frames are configured.
    Works without the library preloaded (it is loaded for this)."""
    lib = _any_lib()
    out, pointer = _writable(sizeimage)
    _check(lib.vcam_render(fourcc(code), width, height, bytesperline, sizeimage, seq, pointer))
    return bytes(out[:sizeimage])
