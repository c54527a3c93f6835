"""mypy with camsnap_camera's stub: the README's camera examples pass; the typing mistakes
a user makes with camera objects are caught."""
import os
import re

import pytest

from test_typing import run_mypy

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
with open(os.path.join(TOP, "README.md")) as readme:
    EXAMPLES = re.findall(r"^```py\n(.*?)^```$", readme.read(), re.M | re.S)

MISTAKES = [
    ("device_as_float", "camsnap_camera.Camera(0.5)\n", "arg-type"),
    ("configure_without_height", "camsnap_camera.Camera(0).configure('YUYV', 640)\n", "call-arg"),
    ("fps_may_be_none", "print(camsnap_camera.Camera(0).configure('YUYV', 640, 480)['fps'] * 2)\n", "operator"),
    ("timeout_as_text", "camsnap_camera.Camera(0).read(timeout='1')\n", "arg-type"),
    ("controls_by_name", "print(camsnap_camera.Camera(0).controls['gain'])\n", "call-overload"),
    ("control_value_as_text", "camsnap_camera.Camera(0).set_control('gain', 'high')\n", "arg-type"),
    ("timestamp_is_nanoseconds", "print(camsnap_camera.Camera(0).read().timestamp.seconds)\n", "attr-defined"),
    ("unknown_configuration_key", "print(camsnap_camera.Camera(0).configure('Y16 ', 1, 1)['rate'])\n", "typeddict-item"),
]

@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """One mypy run over the examples and the mistakes: {file name: [error codes]}."""
    folder = tmp_path_factory.mktemp("camera_typing")
    files = []
    for k, block in enumerate(EXAMPLES):
        path = folder / ("example_%d.py" % k)
        path.write_text(block)
        files.append(str(path))
    for name, body, _ in MISTAKES:
        path = folder / ("%s.py" % name)
        path.write_text("import camsnap_camera\n" + body)
        files.append(str(path))
    return run_mypy(files, [os.path.join(TOP, "src", "camera")])


def test_the_readme_examples_type_check(mypy_errors):
    errors, output = mypy_errors
    assert len(EXAMPLES) >= 4 and not [name for name in errors if name.startswith("example_")], output


@pytest.mark.parametrize("name,body,code", MISTAKES, ids=[m[0] for m in MISTAKES])
def test_a_typing_mistake_is_caught(mypy_errors, name, body, code):
    errors, output = mypy_errors
    assert errors.get(name + ".py") == [code], output
