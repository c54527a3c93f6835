"""Makes the wheel of one older CPython out of the stable-ABI wheel: the same packages, the
virtual camera and metadata, with that interpreter's own extensions in place of each
NAME.abi3.so (camsnap, camsnap_camera: NAME.so beside EXTENSION) and its own tags and numpy
requirement. The `wheel` tool unpacks it and packs the result, which names the wheel by its
tags and writes RECORD anew.

    wheel_for.py ABI3_WHEEL EXTENSION PYTAG ABITAG NUMPY_REQUIREMENT OUT_DIR
e.g. wheel_for.py dist/x.whl build/camsnap.so cp36 cp36m "numpy>=1.11.3" dist/
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile


def wheel_tool(*args):
    subprocess.check_call([sys.executable, "-m", "wheel"] + list(args), stdout=subprocess.DEVNULL)


def rewrite(path, change):
    with open(path, encoding="utf-8") as text:
        changed = change(text.read())
    with open(path, "w", encoding="utf-8") as text:
        text.write(changed)


def main(abi3_wheel, extension, pytag, abitag, numpy_requirement, out_dir):
    match = re.match(r"^(.+?-.+?)-cp38-abi3-(.+)\.whl$", os.path.basename(abi3_wheel))
    if not match:
        sys.exit("wheel_for: %s is not a cp38-abi3 wheel" % abi3_wheel)
    name_version, platform = match.groups()
    arch = platform.split("_", 1)[1]
    suffix = ".cpython-%s%s-%s-linux-gnu.so" % (
        pytag[2], pytag[3:] + ("m" if abitag.endswith("m") else ""), arch)
    built_dir = os.path.dirname(extension)
    with tempfile.TemporaryDirectory() as work:
        wheel_tool("unpack", "--dest", work, abi3_wheel)
        tree = os.path.join(work, name_version)
        for stable in glob.glob(os.path.join(tree, "*.abi3.so")):
            module = os.path.basename(stable)[:-len(".abi3.so")]
            os.remove(stable)
            shutil.copy(os.path.join(built_dir, module + ".so"), os.path.join(tree, module + suffix))
        info = os.path.join(tree, name_version + ".dist-info")
        rewrite(os.path.join(info, "WHEEL"),
                lambda text: text.replace("Tag: cp38-abi3-", "Tag: %s-%s-" % (pytag, abitag)))
        rewrite(os.path.join(info, "METADATA"),
                lambda text: re.sub(r"(?m)^Requires-Dist: numpy\b.*$",
                                    "Requires-Dist: " + numpy_requirement, text))
        wheel_tool("pack", "--dest-dir", out_dir, tree)
    print(glob.glob(os.path.join(out_dir, "%s-%s-%s-%s.whl" % (name_version, pytag, abitag, platform)))[0])


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    main(*sys.argv[1:])
