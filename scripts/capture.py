"""Capture frames with camsnap and write them where a person can look at them.

IR modes write a 16-bit PNG (exact values), an 8-bit preview PNG (stretched
between the frame's minimum and maximum) and the raw array as .npy; RGB mode
writes a PNG. Without --device the frames come from the virtual camera.
"""
import argparse
import os
import sys
import time

import numpy as np
from PIL import Image

import camsnap

MODES = {"ir": 0, "rgb": 1}
FOURCC = {0x20363159: "Y16 ", 0x32315559: "YU12", 0x33524742: "BGR3"}


def describe(cameras):
    if not cameras:
        return "  (none)"
    lines = []
    for cam in cameras:
        fmts = ", ".join("%s %s" % (FOURCC.get(f["fmt"], hex(f["fmt"])),
                                    " ".join("%dx%d" % (r["width"], r["height"]) for r in f["res"]))
                         for f in cam["fmts"])
        lines.append("  /dev/video%d  %s: %s" % (cam["id"], cam["card"], fmts or "no capture formats"))
    return "\n".join(lines)


def start_virtual_camera(fps):
    import vcam
    vcam.reset()
    vcam.add_node(0, card=b"camsnap virtual camera",
                  formats=[vcam.fmt("Y16 ", [(160, 120), (640, 480)]),
                           vcam.fmt("YU12", [(160, 120), (640, 480)])],
                  fps=fps)


def save_ir(frame, stem):
    Image.fromarray(frame.astype(np.uint16)).save(stem + ".png")
    low, high = int(frame.min()), int(frame.max())
    span = max(high - low, 1)
    preview = ((frame.astype(np.float64) - low) * (255.0 / span)).astype(np.uint8)
    Image.fromarray(preview).save(stem + "-preview.png")
    np.save(stem + ".npy", frame)
    return [stem + ".png", stem + "-preview.png", stem + ".npy"]


def save_rgb(frame, stem):
    Image.fromarray(frame).save(stem + ".png")
    return [stem + ".png"]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("-d", "--device", type=int, help="capture from /dev/videoN "
                        "(default: the virtual camera)")
    parser.add_argument("-m", "--mode", choices=sorted(MODES), default="ir")
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=480)
    parser.add_argument("-n", "--frames", type=int, default=4, help="frames in the series")
    parser.add_argument("-o", "--out", default="out", help="folder for the pictures")
    args = parser.parse_args()

    if args.device is None:
        start_virtual_camera(fps=30.0)
        device, source = 0, "the virtual camera"
    else:
        device, source = args.device, "/dev/video%d" % args.device

    print("cameras found:\n" + describe(camsnap.list()))
    if not camsnap.open(device):
        sys.exit("cannot open %s (see the line above)" % source)
    try:
        if not camsnap.init(MODES[args.mode], args.width, args.height):
            sys.exit("%s refused the format (see the line above)" % source)
        started = time.monotonic()
        single = camsnap.captureSingle()
        series = camsnap.captureSeries(args.frames)
        elapsed = time.monotonic() - started
    finally:
        camsnap.close()
    if single is None and series is None:
        sys.exit("no frames captured from %s (see the lines above)" % source)

    os.makedirs(args.out, exist_ok=True)
    save = save_rgb if args.mode == "rgb" else save_ir
    written = []
    frames = ([("single", single)] if single is not None else []) + \
        ([("series-%d" % i, f) for i, f in enumerate(series)] if series is not None else [])
    for name, frame in frames:
        written += save(frame, os.path.join(args.out, "%s-%s" % (args.mode, name)))
    shape = (single if single is not None else series[0]).shape
    print("captured %d frames of %s %s from %s in %.2f s" % (
        len(frames), "x".join(map(str, shape)), frames[0][1].dtype, source, elapsed))
    for path in written:
        print("  wrote " + path)


if __name__ == "__main__":
    main()
