"""camsnap list: the cameras on /dev/video0 to /dev/video9 as a table."""
from camsnap_cli.common import CliError, EXIT_NO_CAMERA, EXIT_OK, fourcc_text, node_path, sizes_text
from camsnap_cli.virtual import ensure_virtual


def register(subparsers):
    parser = subparsers.add_parser("list", help="show the cameras, their formats and sizes",
                                   description="Show the cameras on /dev/video0 to /dev/video9: "
                                   "card name, the modes it can capture (ir16 through 'Y16 ' or 'BGR3', rgb "
                                   "through 'YU12', or none), formats (four-character codes) and "
                                   "frame sizes. "
                                   "Exits with 3 when there is none.")
    parser.add_argument("--virtual", action="store_true",
                        help="list the virtual camera (on /dev/video0)")
    parser.set_defaults(func=run, device=0)


# The formats each mode captures: ir16 reads "Y16 " (or falls back to "BGR3"), rgb "YU12".
MODE_FORMATS = (("ir16", ("Y16 ", "BGR3")), ("rgb", ("YU12",)))


def modes_text(camera):
    """The modes the camera can capture, or "none"."""
    codes = set(fourcc_text(f["fmt"]) for f in camera["fmts"])
    return " ".join(mode for mode, needs in MODE_FORMATS if codes.intersection(needs)) or "none"


def table(cameras):
    """Rows of (node, card, modes, format, sizes): one row per format, the camera named on its
    first."""
    rows = []
    for camera in cameras:
        node, card, modes = node_path(camera["id"]), camera["card"], modes_text(camera)
        if not camera["fmts"]:
            rows.append((node, card, modes, "-", "(no capture formats)"))
        for f in camera["fmts"]:
            rows.append((node, card, modes, "'%s'" % fourcc_text(f["fmt"]),
                         sizes_text(f) or "(no fixed sizes)"))
            node, card, modes = "", "", ""
    return rows


def render(rows):
    header = ("NODE", "CARD", "MODES", "FORMAT", "SIZES")
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header) - 1)]
    lines = []
    for row in [header] + rows:
        lines.append("  ".join(cell.ljust(w) for cell, w in zip(row, widths)) + "  " + row[-1])
    return "\n".join(line.rstrip() for line in lines)


def run(args):
    ensure_virtual(args)
    import camsnap
    cameras = camsnap.list()
    if not cameras:
        raise CliError("no cameras found on /dev/video0 to /dev/video9 (try --virtual)", EXIT_NO_CAMERA)
    print(render(table(cameras)))
    return EXIT_OK
