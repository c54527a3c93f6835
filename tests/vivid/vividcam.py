"""What the vivid tier knows of vivid and how it takes frames by other means
than the module: v4l2-ctl's own streaming and descriptors of its own."""
import os
import subprocess

import numpy as np

import camsnap
import frames as reference  # the host tier's numpy conversion, independent of the module
import videodev

CAMERA, SPARE, NO_USERPTR = 0, 1, 2

SIZE = (640, 480)
# In the fallback mode the module reads the 3-byte-per-pixel frame as rows of
# 2-byte pixels: 480 driver rows of 1920 bytes hold 720 rows of 1280.
FALLBACK_ROWS = 720

OSD_NONE = 2
FRAME_RATE = 25


def vivid_problem():
    for number in (CAMERA, SPARE, NO_USERPTR):
        path = "/dev/video%d" % number
        if not os.path.exists(path):
            return "%s does not exist" % path
        with videodev.Node(number) as node:
            driver = node.querycap()["driver"]
        if driver != "vivid":
            return "%s is driven by %r, not vivid" % (path, driver)
    return None


def raw_frames(tmp_path, code, size, count, device=CAMERA):
    """count frames of the given format taken with v4l2-ctl's own user-pointer
    streaming, as the driver wrote them."""
    out = tmp_path / ("%s.raw" % code.strip())
    width, height = size
    subprocess.run(["v4l2-ctl", "-d%d" % device,
                    "--set-fmt-video=width=%d,height=%d,pixelformat=%s" % (width, height, code),
                    "--stream-user=2", "--stream-count=%d" % count,
                    "--stream-to=%s" % out],
                   check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    data = out.read_bytes()
    assert len(data) % count == 0, "v4l2-ctl wrote %d bytes for %d frames" % (len(data), count)
    frame = len(data) // count
    return [data[i * frame:(i + 1) * frame] for i in range(count)]


def still_frame(tmp_path, code, size):
    """One frame of vivid's static pattern; fails unless the driver really
    repeats it and it carries a picture."""
    frames = raw_frames(tmp_path, code, size, 3)
    assert frames[0] == frames[1] == frames[2], "vivid's %s frames change over time" % code
    assert len(set(frames[0])) > 1, "vivid's %s frame is uniform" % code
    return frames[0]


def expected_frame(pattern, mode):
    """The array a capture must hold for each frame, from the raw frames."""
    width, height = SIZE
    if mode == 1:
        return reference.rgb_from_raw(pattern["YU12"], width, height, width, 1)
    return np.frombuffer(pattern["BGR3"], dtype="<u2").reshape(FALLBACK_ROWS, width)


def driver_format(number=CAMERA):
    """The format vivid holds for the device, read on a descriptor of our own."""
    with videodev.Node(number) as node:
        pix = node.get_format()
        return {"code": videodev.fourcc_str(pix.pixelformat), "width": pix.width,
                "height": pix.height, "bytesperline": pix.bytesperline,
                "sizeimage": pix.sizeimage}


def opened(number, mode, width, height):
    assert camsnap.open(number) is True
    assert camsnap.init(mode, width, height) is True
