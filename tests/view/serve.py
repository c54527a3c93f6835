"""Runs `camsnap view` inside this process, with the virtual camera already preloaded, so
that the test can read the camera's state once the command has returned.

    serve.py STATE_JSON [camsnap arguments...]

Writes {"exit_code": ..., "state": vcam.state(0), "opens": OPEN requests node 0 saw} to
STATE_JSON (state None when there is no virtual node 0) and exits with the command's code.
The camera lives in the command's forked camera process: what it left is the state that
process saw once it had closed the camera (the fork copied this one's, so its count of
opens includes those made here before).
CAMSNAP_VIEW_FAULTS="REQUEST:NTH:ERRNO,..." makes node 0 fail those requests, counted from
the moment the command has set up the virtual camera.
CAMSNAP_VIEW_MIN_BUFFERS=K makes node 0 a camera whose driver grants K buffers at least.
CAMSNAP_VIEW_FPS=F sets node 0's frame rate.
"""
import json
import os
import sys

import camsnap_cli.view
import camsnap_process
from camsnap_cli.main import main


def after_set_up(change):
    """Runs change(vcam) right after the command has set up the virtual camera."""
    set_up = camsnap_cli.view.ensure_virtual

    def set_up_then_change(args):
        set_up(args)
        import camsnap_vcam as vcam
        change(vcam)

    camsnap_cli.view.ensure_virtual = set_up_then_change


def inject_faults(vcam, faults):
    for item in faults.split(","):
        request, nth, err = item.split(":")
        vcam.fault(0, request, nth=int(nth), errno=int(err))


def want_buffers(vcam, least):
    description = vcam.standard_description()
    description["nodes"][0]["min_buffers"] = least
    vcam.configure(description)


def camera_left():
    import camsnap_vcam as vcam
    try:
        return {"state": vcam.state(0),
                "opens": sum(1 for name, _, _ in vcam.log(0) if name == "OPEN")}
    except KeyError:  # the command never set up the virtual camera
        return {"state": None, "opens": 0}


def record_camera_process(path):
    """Makes the camera's process write camera_left() to `path` once it has closed the camera."""
    close = camsnap_process._Child.close_camera

    def close_then_record(child):
        close(child)
        with open(path, "w") as out:
            json.dump(camera_left(), out)

    camsnap_process._Child.close_camera = close_then_record


if __name__ == "__main__":
    child_state = sys.argv[1] + ".camera"
    record_camera_process(child_state)
    if os.environ.get("CAMSNAP_VIEW_MIN_BUFFERS"):
        after_set_up(lambda vcam: want_buffers(vcam, int(os.environ["CAMSNAP_VIEW_MIN_BUFFERS"])))
    if os.environ.get("CAMSNAP_VIEW_FPS"):
        after_set_up(lambda vcam: vcam.set_fps(0, float(os.environ["CAMSNAP_VIEW_FPS"])))
    if os.environ.get("CAMSNAP_VIEW_FAULTS"):
        after_set_up(lambda vcam: inject_faults(vcam, os.environ["CAMSNAP_VIEW_FAULTS"]))
    code = main(sys.argv[2:])
    if os.path.exists(child_state):
        with open(child_state) as saved:
            left = json.load(saved)
    else:  # no camera process was started
        left = camera_left()
    with open(sys.argv[1], "w") as out:
        json.dump(dict(left, exit_code=code), out)
    sys.exit(code)
