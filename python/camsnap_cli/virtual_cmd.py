"""camsnap virtual: runs a program with the virtual camera in place of /dev/videoN."""
import json
import os
import subprocess
import sys

from camsnap_cli.common import CliError, EXIT_NO_VIRTUAL, EXIT_USAGE
from camsnap_cli.virtual import NO_LIBRARY, virtual_library


def register(subparsers):
    parser = subparsers.add_parser(
        "virtual", help="run a program with the virtual camera",
        description="Run PROGRAM with the virtual camera preloaded: /dev/videoN is a camera "
        "offering \"Y16 \" and \"YU12\" at 160x120, 640x480 and 1280x720, or the cameras "
        "--config describes (the description camsnap_vcam.configure() takes). The program's "
        "children see the same cameras. Exits with the program's exit code. "
        "--replay FILE serves a recording of camsnap record instead: each recorded camera is "
        "/dev/videoN of its group's name (video2: /dev/video2), offering exactly the recorded "
        "format, size and rate (16-bit frames as \"Y16 \", \"GREY\", RGB as \"RGB3\", --raw "
        "recordings as their fourcc), with the recorded frames, sequence numbers (gaps "
        "included) and timestamp spacing. Each process that streams a node gets the recording "
        "from its first frame, starting at its first STREAMON; a later stream of the same "
        "process goes on where the one before stopped. At the end of the recording the "
        "camera acts unplugged (ENODEV) unless --loop.",
        usage="camsnap virtual [-d N] [--fps F] [--config JSON|@FILE] -- PROGRAM [ARGS...]\n"
              "       camsnap virtual --replay FILE [--camera NAME] [-d N] [--speed X] [--loop] "
              "-- PROGRAM [ARGS...]")
    parser.add_argument("-d", "--device", type=int, default=None, metavar="N",
                        help="the virtual camera's node number (default 0)")
    parser.add_argument("--fps", type=float, default=None, metavar="F",
                        help="frames per second (default 30)")
    parser.add_argument("--config", metavar="JSON|@FILE",
                        help="cameras described in JSON, as text or @file, instead of the one above")
    parser.add_argument("--replay", metavar="FILE",
                        help="serve this recording (camsnap record's HDF5 file) as live cameras")
    parser.add_argument("--camera", action="append", default=[], metavar="NAME",
                        help="with --replay: serve only this recorded camera (video0, ...); "
                             "repeat for several; -d N then puts a single one at /dev/videoN")
    parser.add_argument("--speed", type=float, default=1.0, metavar="X",
                        help="with --replay: play X times as fast (2: frames half as far apart)")
    parser.add_argument("--loop", action="store_true",
                        help="with --replay: start again at the end, sequence numbers and "
                             "timestamps going on forward")
    parser.add_argument("program", nargs="...", metavar="PROGRAM",
                        help="the program and its arguments, after --")
    parser.set_defaults(func=run)


def _description(args):
    import camsnap_vcam as vcam
    if args.config is None:
        description = vcam.standard_description(args.device or 0)
    else:
        text = args.config
        if text.startswith("@"):
            try:
                with open(text[1:]) as source:
                    text = source.read()
            except OSError as error:
                raise CliError("cannot read %s: %s" % (text[1:], error.strerror), EXIT_USAGE)
        try:
            description = json.loads(text)
        except ValueError as error:
            raise CliError("--config is not JSON: %s" % error, EXIT_USAGE)
        if not isinstance(description, dict) or not isinstance(description.get("nodes"), list):
            raise CliError('--config needs an object with a "nodes" list', EXIT_USAGE)
    if args.fps is not None:
        if not args.fps > 0:
            raise CliError("--fps must be above 0", EXIT_USAGE)
        for node in description["nodes"]:
            if isinstance(node, dict):
                node["fps"] = args.fps
    return description


def run(args):
    program = list(args.program)
    if program[:1] == ["--"]:
        program = program[1:]
    if not program:
        raise CliError("name a program to run after --, e.g. camsnap virtual -- python my_script.py",
                       EXIT_USAGE)
    if virtual_library() is None:
        raise CliError(NO_LIBRARY, EXIT_NO_VIRTUAL)
    import camsnap_vcam as vcam
    if args.replay is None:
        if args.camera or args.loop or args.speed != 1.0:
            raise CliError("--camera, --speed and --loop go with --replay FILE", EXIT_USAGE)
        try:
            environment = vcam.environment(_description(args))
        except (ValueError, TypeError) as error:
            raise CliError("--config: %s" % error, EXIT_USAGE)
        return _call(program, environment)
    if args.config is not None or args.fps is not None:
        raise CliError("--replay serves the recording's own cameras and rates: leave out "
                       "--config and --fps (--speed X plays faster)", EXIT_USAGE)
    if not args.speed > 0:
        raise CliError("--speed must be above 0", EXIT_USAGE)
    from camsnap_cli.replay import Replay
    replay = Replay(args.replay, args.camera, args.device, args.speed, args.loop)
    try:
        environment = vcam.environment(replay.description())
        replay.start()
        return _call(program, environment)
    finally:
        replay.close()


def _call(program, environment):
    env = dict(os.environ)
    env.update(environment)
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        return subprocess.call(program, env=env)
    except OSError as error:
        raise CliError("cannot run %s: %s" % (program[0], error.strerror), 127)
