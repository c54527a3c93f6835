"""The camsnap command: capture from UVC cameras (or the virtual one installed with camsnap)."""
import argparse
import importlib
import sys

from camsnap_cli import __version__
from camsnap_cli.common import CliError, EXIT_FAILURE, EXIT_USAGE

SUBCOMMANDS = ("list_cmd", "snap", "series", "stream", "record", "view", "virtual_cmd")


def _subcommand_modules():
    for name in SUBCOMMANDS:
        full = "camsnap_cli." + name
        try:
            yield importlib.import_module(full)
        except ImportError as error:
            # Only a subcommand that is not there is skipped; a broken import inside one is not.
            if getattr(error, "name", None) != full:
                raise


def build_parser():
    parser = argparse.ArgumentParser(
        prog="camsnap",
        description="Capture frames from UVC cameras (16-bit infrared or colour) as files.",
        epilog="Exit codes: 0 done, 1 capture or write failed, 2 bad arguments, 3 no camera, 4 camera busy, "
               "5 permission denied, 6 driver needs more buffers, 7 mode or size refused, "
               "8 no virtual camera library, 130 Ctrl-C.")
    parser.add_argument("--version", action="version", version="camsnap " + __version__)
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    for module in _subcommand_modules():
        module.register(subparsers)
    # main() shows a subcommand's own usage on its argument errors.
    for command_parser in subparsers.choices.values():
        command_parser.set_defaults(command_parser=command_parser)
    return parser


def main(argv=None):
    """Runs one command; returns its exit code (the console entry point exits with it)."""
    parser = build_parser()
    # Arguments the subcommand does not know are its own error, shown with its own usage
    # (parse_args would show the top-level usage).
    args, unknown = parser.parse_known_args(argv)
    if not getattr(args, "func", None):
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    command_parser = args.command_parser
    if unknown:
        command_parser.error("unrecognized arguments: %s" % " ".join(unknown))
    try:
        result = args.func(args)
    except CliError as error:
        sys.stdout.flush()
        if error.exit_code == EXIT_USAGE:
            command_parser.print_usage(sys.stderr)
        sys.stderr.write("camsnap: %s\n" % error.message)
        return error.exit_code
    except KeyboardInterrupt:
        sys.stdout.flush()
        sys.stderr.write("\ncamsnap: interrupted\n")
        return 130
    return EXIT_FAILURE if result is False else int(result or 0)


if __name__ == "__main__":
    sys.exit(main())
