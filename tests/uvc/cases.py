"""What the module must return from the tier's cameras, frame by frame."""
import collections

import camsnap
import frames
from usbcam import COLOUR_CAMERA, IR_CAMERA, Y16_CAMERA, YUYV_CAMERA, raw_frame

Case = collections.namedtuple("Case", "camera mode size code shape")

# mode 0 on a camera listing "BGR3" falls back to it: the 160x172 frame of
# 3-byte pixels is read as 256 rows of 160 16-bit pixels.
CASES = {
    "ir16-bgr3": Case(IR_CAMERA, 0, (160, 172), "BGR3", (256, 160)),
    "ir16-y16": Case(Y16_CAMERA, 0, (160, 120), "Y16", (120, 160)),
    "rgb-yu12": Case(IR_CAMERA, 1, (160, 120), "YU12", (120, 160, 3)),
    "rgb-yu12-640": Case(COLOUR_CAMERA, 1, (640, 480), "YU12", (480, 640, 3)),
    # The IR mode reads whatever the driver answers as 16-bit pixels.
    "ir16-yuyv": Case(YUYV_CAMERA, 0, (160, 120), "YUYV", (120, 160)),
}


def expected(case, number):
    width, height = case.size
    raw = raw_frame(case.code, width, height, number)
    if case.mode == 1:
        return frames.rgb_from_raw(raw, width, height, width, 1)
    return frames.ir16_from_raw(raw, width, case.shape[0], 2 * width, 2)


def opened(node, case):
    assert camsnap.open(node) is True
    assert camsnap.init(case.mode, *case.size) is True
