"""mypy with the module's stub: a correct script and the command's package pass; the typing
mistakes a user makes with the module are caught."""
import argparse
import os
import re
import subprocess
import sys

import pytest

from camsnap_cli import virtual

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
PACKAGE = os.path.join(TOP, "python", "camsnap_cli")
# The live view (view.py) is left to the view tier's own checks.
RECORD_PACKAGE = os.path.join(TOP, "python", "camsnap_record")
PACKAGE_FILES = sorted(os.path.join(PACKAGE, name) for name in os.listdir(PACKAGE)
                       if name.endswith(".py") and name != "view.py") + sorted(
    os.path.join(RECORD_PACKAGE, name) for name in os.listdir(RECORD_PACKAGE) if name.endswith(".py"))

MISTAKES = [
    ("device_as_text", "camsnap.open('0')\n", "arg-type"),
    ("frame_may_be_none", "frame = camsnap.captureSingle()\nprint(frame.shape)\n", "union-attr"),
    ("init_without_height", "camsnap.init(0, 640)\n", "call-arg"),
    ("unknown_key", "print(camsnap.list()[0]['name'])\n", "typeddict-item"),
    ("card_is_text", "n: int = camsnap.list()[0]['card']\n", "assignment"),
    ("no_constants", "print(camsnap.MODE_IR16)\n", "attr-defined"),
    ("keyword_argument", "camsnap.open(n=0)\n", "call-arg"),
    ("series_count_as_float", "camsnap.captureSeries(2.0)\n", "arg-type"),
    ("bool_result_as_array", "camsnap.startStream().shape\n", "attr-defined"),
    ("process_facts_may_be_none", "from camsnap_process import CameraProcess\n"
     "print(CameraProcess(0, 0, 160, 120).read_frame().sequence + 1)\n", "operator"),
]

ERROR = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$", re.M)


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """One mypy run over everything: {file name: [error codes]}."""
    folder = tmp_path_factory.mktemp("mistakes")
    files = []
    for name, body, _ in MISTAKES:
        path = folder / ("%s.py" % name)
        path.write_text("import camsnap\n" + body)
        files.append(str(path))
    return run_mypy([os.path.join(HERE, "typed_example.py")] + PACKAGE_FILES + files,
                    [os.path.join(TOP, "src", "camsnap"), os.path.join(TOP, "src", "camera"),
                     os.path.join(TOP, "python")])


def run_mypy(files, stub_dirs):
    """mypy over files with the stubs of stub_dirs: ({file name: [error codes]}, its output)."""
    env = dict(os.environ, MYPYPATH=os.pathsep.join(stub_dirs))
    command = [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull, "--check-untyped-defs",
               "--config-file", os.path.join(HERE, "mypy.ini")] + files
    run = subprocess.run(command, env=env, cwd=TOP, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True, timeout=600)
    assert re.search(r"^(Found \d+ errors? in|Success:)", run.stdout, re.M), run.stdout
    errors = {}
    for match in ERROR.finditer(run.stdout):
        errors.setdefault(os.path.basename(match.group("path")), []).append(match.group("code"))
    return errors, run.stdout


def test_a_correct_script_type_checks(mypy_errors):
    errors, output = mypy_errors
    assert "typed_example.py" not in errors, output


def test_the_command_package_type_checks(mypy_errors):
    errors, output = mypy_errors
    ours = [name for name in errors if name in set(os.path.basename(f) for f in PACKAGE_FILES)]
    assert len(PACKAGE_FILES) >= 9 and ours == [], output


@pytest.mark.parametrize("name,body,code", MISTAKES, ids=[m[0] for m in MISTAKES])
def test_a_typing_mistake_is_caught(mypy_errors, name, body, code):
    errors, output = mypy_errors
    assert errors.get(name + ".py") == [code], output


def test_the_example_script_runs(vcam):
    sys.path.insert(0, HERE)
    try:
        import typed_example
    finally:
        sys.path.remove(HERE)
    virtual.ensure_virtual(argparse.Namespace(virtual=True, device=0))
    assert typed_example.main() == 0


def test_the_package_is_marked_typed():
    assert os.path.isfile(os.path.join(PACKAGE, "py.typed"))
