"""Headless Chromium driven over the DevTools protocol on a pipe (--remote-debugging-pipe):
the browser reads NUL-terminated JSON commands on its descriptor 3 and answers on 4,
so no websocket client is needed."""
import base64
import io
import json
import os
import select
import shutil
import subprocess
import time

import numpy as np

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                  # Screenshots must carry the page's own pixel values.
                  "--force-color-profile=srgb", "--hide-scrollbars", "--mute-audio",
                  "--no-first-run", "--no-default-browser-check",
                  # A foreign name that leads to this machine, as a rebound DNS name would.
                  "--host-resolver-rules=MAP rebound.test 127.0.0.1"]
FOREIGN_NAME = "rebound.test"


def chromium_path():
    return shutil.which("chromium")


class BrowserError(Exception):
    pass


class Browser:
    def __init__(self, profile_dir, width=1000, height=800):
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        def descriptors_3_and_4():
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)

        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "CAMSNAP_VCAM")}
        self._log = open(os.path.join(profile_dir, "chromium.log"), "wb")
        self.process = subprocess.Popen(
            [chromium_path()] + CHROMIUM_FLAGS +
            ["--remote-debugging-pipe", "--user-data-dir=" + os.path.join(profile_dir, "profile"),
             "--window-size=%d,%d" % (width, height), "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log, env=env,
            close_fds=False, preexec_fn=descriptors_3_and_4)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._next_id = 0
        self._pending = b""
        self.session = None
        self.width, self.height = width, height

    # -- protocol ----------------------------------------------------------------------

    def _read_message(self, deadline):
        while b"\0" not in self._pending:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("no answer from Chromium in time")
            ready, _, _ = select.select([self._from_browser], [], [], left)
            if ready:
                chunk = os.read(self._from_browser, 1 << 20)
                if not chunk:
                    raise BrowserError("Chromium closed its DevTools pipe (exit %r)" % self.process.poll())
                self._pending += chunk
        message, self._pending = self._pending.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=True, timeout=30.0):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            answer = self._read_message(deadline)
            if answer.get("id") != self._next_id:
                continue  # an event, or nothing we wait for
            if "error" in answer:
                raise BrowserError("%s: %s" % (method, answer["error"]))
            return answer["result"]

    # -- a page ------------------------------------------------------------------------

    def open_page(self):
        target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": self.width, "height": self.height, "deviceScaleFactor": 1, "mobile": False})

    def navigate(self, url, timeout=30.0):
        """Loads url and returns once its document, not the one before, has loaded."""
        answer = self.call("Page.navigate", {"url": url})
        if answer.get("errorText"):
            raise BrowserError("navigation to %s: %s" % (url, answer["errorText"]))
        self.wait_for("location.href === %s && document.readyState === 'complete'" % json.dumps(url),
                      timeout)

    def evaluate(self, expression):
        answer = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in answer:
            raise BrowserError("%s: %s" % (expression, answer["exceptionDetails"]))
        return answer["result"].get("value")

    def wait_for(self, expression, timeout=30.0):
        """Polls a page expression until it is truthy; returns its value."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError("still false after %.0f s: %s" % (timeout, expression))
            time.sleep(0.1)

    # -- real input, as a person gives it ----------------------------------------------

    def mouse(self, kind, x, y, button="none"):
        self.call("Input.dispatchMouseEvent", {"type": kind, "x": x, "y": y, "button": button,
                                               "buttons": 1 if button == "left" else 0,
                                               "clickCount": 1 if button == "left" else 0})

    def drag(self, start, end):
        self.mouse("mouseMoved", *start)
        self.mouse("mousePressed", *start, button="left")
        self.mouse("mouseMoved", (start[0] + end[0]) / 2, (start[1] + end[1]) / 2, button="left")
        self.mouse("mouseMoved", *end, button="left")
        self.mouse("mouseReleased", *end, button="left")

    def click(self, selector):
        """Clicks the middle of the element the CSS selector finds."""
        rect = self.evaluate("(() => { const r = document.querySelector(%s).getBoundingClientRect();"
                             " return [r.x + r.width / 2, r.y + r.height / 2]; })()" % json.dumps(selector))
        self.mouse("mouseMoved", *rect)
        self.mouse("mousePressed", *rect, button="left")
        self.mouse("mouseReleased", *rect, button="left")

    KEY_CODES = {" ": ("Space", 32), "Enter": ("Enter", 13), "Escape": ("Escape", 27)}

    def key(self, key):
        if key in self.KEY_CODES:
            code, number = self.KEY_CODES[key]
        else:
            code, number = ("Key" + key.upper() if key.isalpha() else "Digit" + key), ord(key.upper())
        typed = {"Enter": "\r", "Escape": ""}.get(key, key)
        down = {"type": "keyDown" if typed else "rawKeyDown", "key": key, "code": code,
                "windowsVirtualKeyCode": number, "text": typed}
        self.call("Input.dispatchKeyEvent", down)
        self.call("Input.dispatchKeyEvent", {"type": "keyUp", "key": key, "code": code,
                                             "windowsVirtualKeyCode": number})

    def fill(self, selector, text):
        """Clicks a field, selects what it holds and types text over it."""
        self.click(selector)
        select_all = {"key": "a", "code": "KeyA", "windowsVirtualKeyCode": 65, "modifiers": 2}
        self.call("Input.dispatchKeyEvent", dict(select_all, type="rawKeyDown", commands=["selectAll"]))
        self.call("Input.dispatchKeyEvent", dict(select_all, type="keyUp"))
        self.call("Input.insertText", {"text": text})

    def screenshot(self, clip=None):
        """The viewport (or a clip {x, y, width, height} in CSS pixels) as an RGB array."""
        from PIL import Image
        params = {"format": "png"}
        if clip:
            params["clip"] = dict(clip, scale=1)
        data = base64.b64decode(self.call("Page.captureScreenshot", params)["data"])
        return np.asarray(Image.open(io.BytesIO(data)).convert("RGB"))

    def close(self):
        try:
            self.call("Browser.close", session=False, timeout=10.0)
        except BrowserError:
            pass
        try:
            self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        self._log.close()
