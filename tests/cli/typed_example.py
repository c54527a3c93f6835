"""A script written against the module's types: mypy must accept it as it stands, and it runs.
The TypedDicts (camsnap.CameraInfo, ...) exist for type checkers only, hence the postponed
annotations."""
from __future__ import annotations

from typing import Dict, List, Optional

import numpy as np

import camsnap
from camsnap_process import CameraProcess, Frame


def sizes_by_format(camera: camsnap.CameraInfo) -> Dict[str, List[str]]:
    result: Dict[str, List[str]] = {}
    for f in camera["fmts"]:
        code = "".join(chr((f["fmt"] >> shift) & 0xFF) for shift in (0, 8, 16, 24))
        result[code] = ["%dx%d" % (r["width"], r["height"]) for r in f["res"]]
    return result


def mean_of(frame: Optional[np.ndarray]) -> float:
    if frame is None:
        return float("nan")
    return float(frame.mean())


def newest_sequence(camera: CameraProcess) -> Optional[int]:
    frame: Optional[Frame] = camera.latest_frame()
    return None if frame is None else frame.sequence


def main() -> int:
    cameras: List[camsnap.CameraInfo] = camsnap.list()
    for camera in cameras:
        print(camera["id"], camera["card"], sizes_by_format(camera))
    if not camsnap.open(0):
        return 1
    ok: bool = camsnap.init(0, 640, 480)
    single = camsnap.captureSingle()
    series = camsnap.captureSeries(4)
    if single is not None and series is not None:
        print(single.shape, series.shape, single.dtype)
    if camsnap.startStream():
        print(mean_of(camsnap.captureStream()))
        camsnap.stopStream()
    if not (ok and camsnap.close()):
        return 1
    with CameraProcess(0, 0, 160, 120) as process:
        frame = process.read_frame(timeout=5)
        print(frame.sequence, frame.clock, frame.array.shape, newest_sequence(process))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
