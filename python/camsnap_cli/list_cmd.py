"""camsnap list: the cameras on /dev/video0 to /dev/video9 as a table."""
from camsnap_cli.common import CliError, EXIT_NO_CAMERA, EXIT_OK, fourcc_text, node_path, sizes_text
from camsnap_cli.virtual import ensure_virtual


def register(subparsers):
    parser = subparsers.add_parser("list", help="show the cameras, their formats and sizes",
                                   description="Show the cameras on /dev/video0 to /dev/video9: "
                                   "card name, formats (four-character codes) and frame sizes. "
                                   "Exits with 3 when there is none.")
    parser.add_argument("--virtual", action="store_true",
                        help="list the built-in virtual camera (on /dev/video0)")
    parser.set_defaults(func=run, device=0)


def table(cameras):
    """Rows of (node, card, format, sizes): one row per format, the camera named on its first."""
    rows = []
    for camera in cameras:
        node, card = node_path(camera["id"]), camera["card"]
        if not camera["fmts"]:
            rows.append((node, card, "-", "(no capture formats)"))
        for f in camera["fmts"]:
            rows.append((node, card, "'%s'" % fourcc_text(f["fmt"]),
                         sizes_text(f) or "(no fixed sizes)"))
            node, card = "", ""
    return rows


def render(rows):
    header = ("NODE", "CARD", "FORMAT", "SIZES")
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(3)]
    lines = []
    for row in [header] + rows:
        lines.append("  ".join(cell.ljust(w) for cell, w in zip(row[:3], widths)) + "  " + row[3])
    return "\n".join(line.rstrip() for line in lines)


def run(args):
    ensure_virtual(args)
    import camsnap
    cameras = camsnap.list()
    if not cameras:
        raise CliError("no cameras found on /dev/video0 to /dev/video9 (try --virtual)", EXIT_NO_CAMERA)
    print(render(table(cameras)))
    return EXIT_OK
