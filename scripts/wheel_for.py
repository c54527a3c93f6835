"""Makes the wheel of one older CPython out of the stable-ABI wheel: the same packages, the
virtual camera and metadata, with that interpreter's own extensions in place of each
NAME.abi3.so (camsnap, camsnap_camera: NAME.so beside EXTENSION) and its own tags and numpy
requirement.

    wheel_for.py ABI3_WHEEL EXTENSION PYTAG ABITAG NUMPY_REQUIREMENT OUT_DIR
e.g. wheel_for.py dist/x.whl build/camsnap.so cp36 cp36m "numpy>=1.11.3" dist/
"""
import base64
import hashlib
import os
import re
import sys
import zipfile


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def main(abi3_wheel, extension, pytag, abitag, numpy_requirement, out_dir):
    base = os.path.basename(abi3_wheel)
    match = re.match(r"^(.+?-.+?)-cp38-abi3-(.+)\.whl$", base)
    if not match:
        sys.exit("wheel_for: %s is not a cp38-abi3 wheel" % base)
    name_version, platform = match.groups()
    arch = platform.split("_", 1)[1]
    suffix = ".cpython-%s%s-%s-linux-gnu.so" % (
        pytag[2], pytag[3:] + ("m" if abitag.endswith("m") else ""), arch)
    built_dir = os.path.dirname(extension)
    out = os.path.join(out_dir, "%s-%s-%s-%s.whl" % (name_version, pytag, abitag, platform))
    records = []
    with zipfile.ZipFile(abi3_wheel) as source, \
            zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as target:
        def put(item, name, data):  # keeps the entry's date and permissions
            entry = zipfile.ZipInfo(name, item.date_time)
            entry.external_attr = item.external_attr
            entry.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(entry, data)
            records.append(record_line(name, data))

        record_name = None
        for item in source.infolist():
            name = item.filename
            if name.endswith(".dist-info/RECORD"):
                record_name = name
                continue
            module = re.match(r"^(\w+)\.abi3\.so$", name)
            if module:
                with open(os.path.join(built_dir, module.group(1) + ".so"), "rb") as built:
                    put(item, module.group(1) + suffix, built.read())
                continue
            data = source.read(name)
            if name.endswith(".dist-info/WHEEL"):
                data = data.replace(b"Tag: cp38-abi3-", ("Tag: %s-%s-" % (pytag, abitag)).encode())
            elif name.endswith(".dist-info/METADATA"):
                data = re.sub(rb"(?m)^Requires-Dist: numpy\b.*$",
                              ("Requires-Dist: %s" % numpy_requirement).encode(), data)
            put(item, name, data)
        if record_name is None:
            sys.exit("wheel_for: %s has no RECORD" % base)
        records.append("%s,," % record_name)
        target.writestr(record_name, "\n".join(records) + "\n")
    print(out)


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    main(*sys.argv[1:])
