"""pytest plugin of the sanitizer tier (-p ubsan_log): sends UBSan's reports
to files named by $CAMSNAP_UBSAN_LOG (plus the process id).

GCC's UBSan runtime (libubsan.so.1) keeps its own report file, apart from
libasan's, and ignores log_path from UBSAN_OPTIONS when it is loaded next to
ASan; its reports then go to standard error, which pytest captures per test
and loses when halt_on_error aborts the process. Its own
__sanitizer_set_report_path sets the file it writes to."""
import ctypes
import os


def pytest_configure(config):
    path = os.environ.get("CAMSNAP_UBSAN_LOG")
    if path:
        ctypes.CDLL("libubsan.so.1").__sanitizer_set_report_path(os.fsencode(path))
