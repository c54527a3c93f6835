"""The virtual camera behind --virtual (installed with camsnap): finding its library, re-running the command
with it preloaded, and making /dev/video<N> a virtual camera."""
import os
import sys

from camsnap_cli.common import CliError, EXIT_NO_VIRTUAL

_REEXEC_MARK = "CAMSNAP_CLI_REEXECUTED"

NO_LIBRARY = ("no virtual camera library (libcamsnap_vcam.so): install camsnap from a wheel or "
              "the sdist, which include it, or in a source tree run scripts/build 3.11, or set "
              "CAMSNAP_VCAM to the library")


def virtual_library():
    """The virtual camera library: the installed one, $CAMSNAP_VCAM, or the source tree's
    build (camsnap_vcam.library_path()); None if there is none."""
    import camsnap_vcam
    try:
        return camsnap_vcam.library_path()
    except RuntimeError:
        return None


def _reexec_preloaded(library):
    env = dict(os.environ)
    env["CAMSNAP_VCAM"] = library
    env["LD_PRELOAD"] = library
    env[_REEXEC_MARK] = "1"
    package_dir = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    paths = [package_dir]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    sys.stdout.flush()
    sys.stderr.flush()
    os.execve(sys.executable, [sys.executable, "-m", "camsnap_cli"] + sys.argv[1:], env)


def ensure_virtual(args, devices=None):
    """With --virtual: run this command with the virtual camera preloaded (re-executing the
    process when it is not yet), then make /dev/video<device> (or each of `devices`) the camera
    `camsnap virtual` offers (camsnap_vcam.standard_description)."""
    if not getattr(args, "virtual", False):
        return
    library = virtual_library()
    if library is None:
        raise CliError(NO_LIBRARY, EXIT_NO_VIRTUAL)
    import camsnap_vcam as vcam
    if not vcam.preloaded():
        if os.environ.get(_REEXEC_MARK):
            raise CliError("the virtual camera %s did not load through LD_PRELOAD" % library,
                           EXIT_NO_VIRTUAL)
        _reexec_preloaded(library)
    os.environ["CAMSNAP_VCAM"] = library
    nodes = [node for device in (devices or [args.device])
             for node in vcam.standard_description(device)["nodes"]]
    vcam.configure({"nodes": nodes})
