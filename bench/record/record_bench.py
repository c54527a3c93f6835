"""What `camsnap record` costs, on the virtual camera serving a thermal-like scene.

Two parts:
1. The command end to end, as a separate process, for each scenario (640x480 "Y16 " at 60 fps;
   1920x1080 "YU12" at 30 fps, stored as RGB, and as delivered with --raw; a 640x480 thermal
   at 30 fps beside a 1080p colour camera at 30 fps, stored as RGB and as delivered) for
   --seconds each (--scenario N picks some): frames written, frames dropped or lost (must be
   0), CPU time per frame (the command's process, all threads, the virtual camera's copy
   into the buffers included), bytes per frame in the file and the compression ratio.
2. The same thermal frames written in this process, without a camera, to HDF5 at deflate
   levels through ISA-L (0 to 2) and zlib (1 to 9) (the writer the command uses), to a .npy
   file and to a 16-bit TIFF stack (tifffile; uncompressed and zlib): CPU per frame and bytes
   per frame.

The scene: a smooth background with a few warm blobs, in raw counts around 30000 (a 16-bit
radiometric camera in hundredths of a kelvin), with Gaussian noise of 8 counts a pixel, as a
real sensor's temporal noise; the colour frames are the same scene in Y with smooth chroma and
noise of 2 levels. The virtual camera's own pattern (a ramp naming the frame number) would
compress far better than any real scene. Run through bench/record/run.
"""
import argparse
import base64
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import camsnap_vcam as vcam

DISTINCT = 8    # frames the camera cycles through


def thermal_scene(width, height, count, seed=5):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    background = 29500 + 400 * (x / width) + 200 * (y / height)
    frames = []
    for k in range(count):
        scene = background.copy()
        for cx, cy, r, heat in ((0.3, 0.4, 0.08, 900), (0.7, 0.6, 0.12, 600), (0.5 + 0.01 * k, 0.2, 0.05, 1500)):
            scene += heat * np.exp(-((x - cx * width) ** 2 + (y - cy * height) ** 2) / (2 * (r * width) ** 2))
        frames.append(np.clip(scene + rng.normal(0, 8, scene.shape), 0, 65535).astype(np.uint16))
    return frames


def yu12_scene(width, height, count, seed=6):
    rng = np.random.default_rng(seed)
    out = []
    for frame in thermal_scene(width, height, count, seed):
        luma = np.clip((frame.astype(np.float64) - 29000) / 12 + rng.normal(0, 2, frame.shape), 16, 235)
        yy, xx = np.mgrid[0:height // 2, 0:width // 2]
        cb = np.clip(128 + 20 * np.sin(xx / 40.0) + rng.normal(0, 2, yy.shape), 16, 240)
        cr = np.clip(128 + 20 * np.cos(yy / 30.0) + rng.normal(0, 2, yy.shape), 16, 240)
        out.append(np.concatenate([luma.astype(np.uint8).ravel(), cb.astype(np.uint8).ravel(),
                                   cr.astype(np.uint8).ravel()]))
    return out


def node(n, code, width, height, fps, frames):
    return {"node": n, "card": "bench %s" % code.strip(), "fps": fps, "fixed_fps": True,
            "max_buffers": 32, "formats": [{"fourcc": code, "sizes": [[width, height]]}],
            "frames": [base64.b64encode(f.tobytes()).decode("ascii") for f in frames]}


# (format, width, height, fps, --raw)
SCENARIOS = [
    ("640x480 Y16 at 60 fps", [("Y16 ", 640, 480, 60, False)]),
    ("1080p RGB (YU12) at 30 fps", [("YU12", 1920, 1080, 30, False)]),
    ("1080p YU12 as delivered (--raw) at 30 fps", [("YU12", 1920, 1080, 30, True)]),
    ("thermal 640x480 Y16 + colour 1080p, 30 fps", [("Y16 ", 640, 480, 30, False), ("YU12", 1920, 1080, 30, False)]),
    ("thermal 640x480 Y16 + colour 1080p as delivered (--raw), 30 fps",
     [("Y16 ", 640, 480, 30, False), ("YU12", 1920, 1080, 30, True)]),
]


def run_scenario(cameras, seconds, directory, level):
    nodes, argv = [], []
    for n, (code, width, height, fps, raw) in enumerate(cameras):
        frames = thermal_scene(width, height, DISTINCT) if code == "Y16 " else yu12_scene(width, height, DISTINCT)
        nodes.append(node(n, code, width, height, fps, frames))
        argv += ["-d", str(n), "--format", code.strip(), "--width", str(width), "--height", str(height),
                 "--fps", str(fps)] + (["--raw"] if raw else [])
    env = dict(os.environ, **vcam.environment({"nodes": nodes}))
    path = os.path.join(directory, "bench.h5")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    run = subprocess.run([sys.executable, "-m", "camsnap_cli", "record", "-o", path, "--seconds", str(seconds),
                          "--level", str(level)] + argv, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True)
    wall = time.monotonic() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    # A full disk ends the recording with a complete file: report what it kept, and why it stopped.
    if run.returncode != 0 and "the disk is full" not in run.stderr:
        sys.exit("record failed: %s" % run.stderr)
    stopped = run.stderr.strip().splitlines()[-1] if run.returncode != 0 else None
    import camsnap_record
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    rows = []
    with camsnap_record.open(path) as recording:
        total = sum(len(recording[name]) for name in recording.cameras)
        for name in recording.cameras:
            camera = recording[name]
            stored = camera.frames.id.get_storage_size()
            raw = camera.frames.dtype.itemsize * int(np.prod(camera.frames.shape[1:]))
            rows.append((name, len(camera), int(camera.dropped.sum()), int(camera.lost.sum()),
                         stored / max(len(camera), 1), raw / max(stored / max(len(camera), 1), 1), camera.fps))
    os.unlink(path)
    return wall, cpu, total, rows, stopped


def write_cost(frames, count, directory):
    """(name, CPU ms per frame, bytes per frame) for the same frames written several ways."""
    from camsnap_record.writer import Writer, compress_chunk
    import tifffile
    results = []

    def measure(name, write, path):
        cpu0 = time.process_time()
        write(path)
        cpu = time.process_time() - cpu0
        results.append((name, 1e3 * cpu / count, os.path.getsize(path) / count))
        os.unlink(path)

    def hdf5(level):
        def write(path):
            writer = Writer(path, {})
            index = writer.add_camera("video0", frames[0].shape, frames[0].dtype, {}, {}, level)
            writer.publish()
            for k in range(count):
                writer.add(index, compress_chunk(frames[k % len(frames)], level), (k, k, k, 0, 0, 0, 0))
                writer.maybe_flush()
            writer.close()
        return write

    from camsnap_record import writer as writer_module
    isal = writer_module._isal_zlib
    for library, levels in (("isal", (0, 1, 2)), ("zlib", (1, 2, 4, 6, 9))):
        writer_module._isal_zlib = isal if library == "isal" else None
        for level in levels:
            if writer_module.deflater(level) == library:
                measure("HDF5 shuffle + deflate %d (%s)" % (level, library), hdf5(level),
                        os.path.join(directory, "w.h5"))
    writer_module._isal_zlib = isal

    def npy(path):
        with open(path, "wb") as handle:
            np.lib.format.write_array_header_1_0(handle, {"descr": np.lib.format.dtype_to_descr(frames[0].dtype),
                                                          "fortran_order": False, "shape": (count,) + frames[0].shape})
            for k in range(count):
                handle.write(frames[k % len(frames)].tobytes())
    measure(".npy", npy, os.path.join(directory, "w.npy"))

    def tiff(compression):
        def write(path):
            with tifffile.TiffWriter(path, bigtiff=True) as stack:
                for k in range(count):
                    stack.write(frames[k % len(frames)], contiguous=compression is None, compression=compression)
        return write
    measure("TIFF stack (16-bit, uncompressed)", tiff(None), os.path.join(directory, "w.tif"))
    measure("TIFF stack (16-bit, zlib)", tiff("zlib"), os.path.join(directory, "w.tif"))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=60, help="each scenario (default 60)")
    parser.add_argument("--frames", type=int, default=600, help="frames for the file-format comparison")
    parser.add_argument("--level", type=int, default=1, help="deflate level of the scenarios")
    parser.add_argument("--dir", default=None, help="where to write (default: a folder in /var/tmp)")
    parser.add_argument("--scenario", type=int, action="append", choices=range(len(SCENARIOS)),
                        help="run only this scenario (0 to %d, repeatable); default all" % (len(SCENARIOS) - 1))
    args = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="camsnap-bench-", dir=args.dir or "/var/tmp")
    try:
        print("camsnap record, %g s each, deflate level %d, %d cores" % (args.seconds, args.level, os.cpu_count()))
        print("| scenario | camera | frames | fps | dropped | lost | CPU ms/frame (all cameras) | bytes/frame | compression |")
        print("|---|---|---|---|---|---|---|---|---|")
        for n, (title, cameras) in enumerate(SCENARIOS):
            if args.scenario and n not in args.scenario:
                continue
            wall, cpu, total, rows, stopped = run_scenario(cameras, args.seconds, directory, args.level)
            for name, count, dropped, lost, stored, ratio, fps in rows:
                print("| %s | %s | %d | %.1f | %d | %d | %.2f | %.0f | %.2f |" % (
                    title, name, count, fps, dropped, lost, 1e3 * cpu / max(total, 1), stored, ratio))
            if stopped:
                print("(stopped after %.0f s: %s)" % (wall, stopped))
            sys.stdout.flush()
        if args.scenario:
            return
        frames = thermal_scene(640, 480, DISTINCT)
        print("\nThe thermal scene (640x480 uint16, %d frames, %d bytes each) written in-process:" % (
            args.frames, frames[0].nbytes))
        print("| format | CPU ms/frame | bytes/frame | ratio |")
        print("|---|---|---|---|")
        for name, ms, size in write_cost(frames, args.frames, directory):
            print("| %s | %.2f | %.0f | %.2f |" % (name, ms, size, frames[0].nbytes / size))
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
