"""The tier computes the camera's frames itself; they must be the ones the
camera program makes (its --dump writes them without a bus)."""
import subprocess

import pytest

from usbcam import PROGRAM, raw_frame

SIZES = {"Y16": (160, 120), "BGR3": (160, 172), "YU12": (64, 48)}


@pytest.mark.parametrize("code", SIZES)
def test_program_frames_match_the_tiers_formula(tmp_path, code):
    width, height = SIZES[code]
    first = 0xFFFFFFFE  # the number wraps within the three frames
    subprocess.run([PROGRAM, "--format", "%s:%dx%d" % (code, width, height), "--dump",
                    str(tmp_path), "--count", "3", "--first", str(first)], check=True, timeout=30)
    for i in range(3):
        number = (first + i) & 0xFFFFFFFF
        dumped = (tmp_path / ("%s-%dx%d-%d.raw" % (code, width, height, number))).read_bytes()
        assert dumped == raw_frame(code, width, height, number), "frame %d" % number
