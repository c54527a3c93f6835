"""Fixtures of the live-view tier: `camsnap view` on the virtual camera, in a process of its
own (tests/view/serve.py), and one headless Chromium for all tests. Run through
tests/view/run, which installs Chromium and preloads the virtual camera."""
import http.client
import json
import os
import re
import resource
import signal
import subprocess
import sys
import time
import urllib.request

import pytest

from browser import Browser, chromium_path

HERE = os.path.dirname(os.path.abspath(__file__))
URL_LINE = re.compile(r"camsnap view: (http://([\d.]+):(\d+)/)\?token=([\w-]+) ")
START_TIMEOUT_S = 60
STOP_TIMEOUT_S = 30


class View:
    """A running `camsnap view`; stop() ends it by a signal and collects what it left."""

    def __init__(self, tmp_path, args, faults=None, direct=False, wait_for_url=True,
                 min_buffers=None, fps=None, file_limit=None):
        self.state_path = str(tmp_path / "view-state.json")
        self.out_path = tmp_path / "view-stdout.txt"
        self.err_path = tmp_path / "view-stderr.txt"
        env = dict(os.environ)
        if faults:
            env["CAMSNAP_VIEW_FAULTS"] = faults
        if min_buffers:
            env["CAMSNAP_VIEW_MIN_BUFFERS"] = str(min_buffers)
        if fps:
            env["CAMSNAP_VIEW_FPS"] = str(fps)
        if direct:
            # The command as a user runs it: it preloads the virtual camera itself.
            env.pop("LD_PRELOAD", None)
            command = [sys.executable, "-m", "camsnap_cli", "view"] + args
        else:
            command = [sys.executable, os.path.join(HERE, "serve.py"), self.state_path, "view"] + args
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=err, env=env,
                                            preexec_fn=file_size_limit(file_limit) if file_limit else None)
        self.exit_code = None
        if wait_for_url:
            self.url, self.address, self.port, self.token = self._wait_for_url()
            self.page_url = "%s?token=%s" % (self.url, self.token)

    def _wait_for_url(self):
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            match = URL_LINE.search(self.out_path.read_text())
            if match:
                return match.group(1), match.group(2), int(match.group(3)), match.group(4)
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        self.stop()
        pytest.fail("camsnap view printed no URL (exit %r):\n%s\n%s" % (
            self.process.poll(), self.out_path.read_text(), self.err_path.read_text()))

    def wait_exit(self, timeout=STOP_TIMEOUT_S):
        try:
            self.exit_code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            pytest.fail("camsnap view did not stop within %d s" % timeout)
        return self.exit_code

    def stop(self, signal_number=signal.SIGINT):
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        return self.wait_exit()

    def stdout(self):
        return self.out_path.read_text()

    def stderr(self):
        return self.err_path.read_text()

    def left_state(self):
        """The virtual camera's state once the command had returned (serve.py runs only)."""
        with open(self.state_path) as saved:
            return json.load(saved)["state"]

    def opens(self):
        """How often the command opened the camera (serve.py runs only)."""
        with open(self.state_path) as saved:
            return json.load(saved)["opens"]

    def get(self, path, timeout=30):
        """(status, headers, body) of a GET that carries the run's token."""
        path = path.lstrip("/")
        url = self.url + path + ("&" if "?" in path else "?") + "token=" + self.token
        with urllib.request.urlopen(url, timeout=timeout) as answer:
            return answer.status, dict(answer.headers), answer.read()

    def request(self, method, path, headers=None, body=None):
        """(status, headers, body) of any request, as given: no token added, errors returned.
        A header given as None is not sent (a Host of None: no Host header)."""
        connection = http.client.HTTPConnection(self.address, self.port, timeout=30)
        try:
            connection.putrequest(method, path, skip_host="Host" in (headers or {}))
            for name, value in (headers or {}).items():
                if value is not None:
                    connection.putheader(name, value)
            if body is not None:
                connection.putheader("Content-Length", str(len(body)))
            connection.endheaders(body)
            answer = connection.getresponse()
            return answer.status, answer.headers, answer.read()
        finally:
            connection.close()


def file_size_limit(size):
    """A full disk, as the command meets it: writes past `size` bytes fail with EFBIG."""
    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


@pytest.fixture
def start_view(tmp_path):
    views = []

    def start(*args, faults=None, direct=False, port=0, wait_for_url=True, min_buffers=None,
              virtual=True, fps=None, save_dir=None, file_limit=None):
        folder = tmp_path / "saved"
        folder.mkdir(exist_ok=True)
        view = View(tmp_path, list(args) + ["--virtual"] * virtual +
                    ["--port", str(port), "--save-dir", str(save_dir or folder)],
                    faults, direct, wait_for_url, min_buffers, fps, file_limit)
        view.save_dir = save_dir or folder
        views.append(view)
        return view
    yield start
    for view in views:
        view.stop()


@pytest.fixture(scope="session")
def browser(tmp_path_factory):
    if not chromium_path():
        pytest.fail("chromium is not installed: run this tier with tests/view/run", pytrace=False)
    chrome = Browser(str(tmp_path_factory.mktemp("chromium")))
    chrome.open_page()
    yield chrome
    chrome.close()
