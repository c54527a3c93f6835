"""The camera program itself: the frames the tier computes are the ones it
makes (its --dump writes them without a bus), and it refuses a configuration
gadgetfs could not send whole rather than plugging in a camera uvcvideo would
read half of."""
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


# gadgetfs cuts control replies at 256 bytes, the configuration included.
CONFIGURATIONS = {
    "three-formats": (["Y16:160x120", "BGR3:160x172", "YU12:160x120"], False),
    "four-formats": (["Y16:160x120", "BGR3:160x172", "YU12:160x120", "Y16:320x240"], True),
    "one-format-four-sizes": (["YU12:160x120,320x240,640x480,800x600"], False),
    "one-format-five-sizes": (["YU12:160x120,320x240,640x480,800x600,1024x768"], True),
}


@pytest.mark.parametrize("name", CONFIGURATIONS)
def test_program_refuses_configurations_over_gadgetfs_reply_limit(tmp_path, name):
    formats, refused = CONFIGURATIONS[name]
    args = [PROGRAM, "--gadget", str(tmp_path)]
    for f in formats:
        args += ["--format", f]
    # An empty directory for gadgetfs: an accepted configuration stops there.
    run = subprocess.run(args, capture_output=True, text=True, timeout=30)
    assert run.returncode == 1
    assert ("gadgetfs sends at most 256" in run.stderr) == refused, run.stderr
    assert ("no controller in %s" % tmp_path in run.stderr) != refused, run.stderr
