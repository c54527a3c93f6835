"""The module as Python sees it: its methods, doc strings, argument rules and
the import that fails without numpy."""
import os
import pydoc
import subprocess
import sys

import pytest

import camsnap
from conftest import NONUMPY_PYTHON

METHODS = [
    ("open", "Open the video device, takes the file name as the argument"),
    ("close", "Close the video device"),
    ("list", "Return array with video device names"),
    ("init", "Init the video device, takes the pixel format as the argument"),
    ("captureSingle", "Capture a single frame, returns a numpy array"),
    ("captureSeries", "Capture a series of frames, returns a numpy array"),
    ("startStream", "Start streaming frames"),
    ("captureStream", "Capture a single frame during streaming"),
    ("stopStream", "Stop streaming frames"),
]


def test_module_carries_exactly_its_nine_methods_and_doc_string():
    assert camsnap.__doc__ == "A Python module that grabs UVC frames."
    public = sorted(n for n in dir(camsnap) if not n.startswith("__"))
    assert public == sorted(name for name, _ in METHODS)
    for name, doc in METHODS:
        assert getattr(camsnap, name).__doc__ == doc


def test_help_shows_every_method_with_its_doc_string():
    text = pydoc.render_doc(camsnap, renderer=pydoc.plaintext)
    assert "A Python module that grabs UVC frames." in text
    for name, doc in METHODS:
        assert "%s(...)\n        %s" % (name, doc) in text


@pytest.mark.parametrize("call, args, error", [
    ("open", (), TypeError),
    ("open", ("0",), TypeError),
    ("open", (1, 2), TypeError),
    ("open", (2 ** 40,), OverflowError),
    ("init", (0, 640), TypeError),
    ("init", ("0", 640, 480), TypeError),
    ("init", (0, 640.0, 480), TypeError),
    ("captureSeries", (), TypeError),
    ("captureSeries", ("3",), TypeError),
])
def test_malformed_arguments_raise_and_touch_nothing(vcam, reports, call, args, error):
    vcam.add_node(0)
    assert camsnap.open(0) is True
    before = vcam.log(0)
    with pytest.raises(error):
        getattr(camsnap, call)(*args)
    assert vcam.log(0) == before
    assert reports() == []
    # Still the same device: nothing was closed or replaced.
    assert vcam.state(0)["open_fds"] == 1


def test_keyword_arguments_are_refused():
    with pytest.raises(TypeError):
        camsnap.open(device_number=0)


def test_methods_without_a_format_ignore_any_arguments(vcam):
    vcam.add_node(0, formats=[vcam.fmt("Y16 ", [(160, 120)])])
    assert [cam["id"] for cam in camsnap.list("x", 1)] == [0]
    assert camsnap.open(0) is True
    assert camsnap.init(0, 160, 120) is True
    assert camsnap.captureSingle(1, 2).shape == (120, 160)
    assert camsnap.startStream("a") is True
    assert camsnap.captureStream(None).shape == (120, 160)
    assert camsnap.stopStream(1) is True
    assert camsnap.close(1, 2) is True
    assert vcam.state(0)["open_fds"] == 0


def test_init_takes_minus_one_as_an_unsigned_size(vcam):
    vcam.add_node(0, formats=[vcam.fmt("YU12", [(640, 480)])])
    assert camsnap.open(0) is True
    assert camsnap.init(1, -1, 480) is True
    s_fmt = [args for name, args, _ in vcam.log(0) if name == "S_FMT"]
    assert s_fmt[-1]["width"] == 4294967295


def run_import(python, *flags):
    build = os.path.dirname(camsnap.__file__)
    code = "import sys; sys.path.insert(0, %r); import camsnap" % build
    return subprocess.run([python] + list(flags) + ["-c", code], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True,
                          env={"PATH": os.environ.get("PATH", "")})


def assert_numpy_import_failure(result):
    assert result.returncode != 0
    err = result.stderr
    # numpy's own reason comes first, then the import error importers look for.
    assert "ModuleNotFoundError: No module named 'numpy'" in err
    final = err.rstrip().splitlines()[-1]
    assert final == "ImportError: numpy.core.multiarray failed to import"
    assert err.index("No module named 'numpy'") < err.index("ImportError: numpy.core")


def test_import_fails_without_numpy():
    # -S leaves out every site-packages directory, numpy with them.
    assert_numpy_import_failure(run_import(sys.executable, "-S"))


def same_interpreter_version(python):
    if not python:
        return False
    version = subprocess.run([python, "-c", "import sys; print(sys.version_info[:2])"],
                             stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
    return version == str(sys.version_info[:2])


@pytest.mark.skipif(not same_interpreter_version(NONUMPY_PYTHON),
                    reason="scripts/test names a venv without numpy for this interpreter")
def test_import_fails_in_an_environment_without_numpy():
    assert_numpy_import_failure(run_import(NONUMPY_PYTHON))
