"""Only the person who started `camsnap view` gets anything from it: the run's token (from
the printed URL, then from its cookie), a Host that names this machine, POSTs for whatever
writes a file, from the view's own page only, and a cap on open requests."""
import json
import os
import socket
import time

from browser import FOREIGN_NAME
from camsnap_cli.view_server import MAX_OPEN_REQUESTS

SECURITY_HEADERS = {
    "Cross-Origin-Resource-Policy": "same-origin",
    "Referrer-Policy": "no-referrer",
    "X-Content-Type-Options": "nosniff",
}
NO_TOKEN_TEXT = b"Open the URL that <code>camsnap view</code> printed"
WRONG_TOKEN = "A" * 43

# (case, method, path, headers, body, status). {token}, {cookie}, {port} are filled in.
JSON = {"Content-Type": "application/json"}
CASES = [
    ("right token", "GET", "/?token={token}", {}, None, 200),
    ("right cookie", "GET", "/frame", {"Cookie": "{cookie}"}, None, 200),
    ("ssh tunnel: localhost on another port", "GET", "/frame?token={token}", {"Host": "localhost:9000"}, None, 200),
    ("IPv6 loopback", "GET", "/frame?token={token}", {"Host": "[::1]:{port}"}, None, 200),
    ("no port in Host", "GET", "/frame?token={token}", {"Host": "localhost"}, None, 200),
    ("no token", "GET", "/", {}, None, 403),
    ("no token, a frame", "GET", "/frame", {}, None, 403),
    ("no token, the numbers", "GET", "/stats.json", {}, None, 403),
    ("no token, the colour bar", "GET", "/colorbar.png", {}, None, 403),
    ("no token, the script", "GET", "/view.js", {}, None, 403),
    ("wrong token", "GET", "/frame?token=" + WRONG_TOKEN, {}, None, 403),
    ("token not ASCII", "GET", "/frame?token=%C3%A9", {}, None, 403),
    ("wrong cookie", "GET", "/frame", {"Cookie": "camsnap_view_{port}=" + WRONG_TOKEN}, None, 403),
    ("another view's cookie", "GET", "/frame", {"Cookie": "camsnap_view_1={token}"}, None, 403),
    ("foreign Host", "GET", "/frame?token={token}", {"Host": "attacker.example"}, None, 403),
    ("foreign Host ending in a loopback name", "GET", "/?token={token}", {"Host": "localhost.attacker.example:{port}"}, None, 403),
    ("no Host", "GET", "/frame?token={token}", {"Host": ""}, None, 403),
    ("snapshot by GET", "GET", "/snapshot?token={token}", {}, None, 405),
    ("POST without token", "POST", "/record", JSON, b'{"action": "start"}', 403),
    ("POST with a wrong token", "POST", "/record?token=" + WRONG_TOKEN, JSON, b'{"action": "start"}', 403),
    ("POST from a foreign page", "POST", "/record?token={token}",
     dict(JSON, Origin="http://attacker.example"), b'{"action": "start"}', 403),
    ("POST from a page on another port", "POST", "/snapshot?token={token}",
     dict(JSON, Origin="http://127.0.0.1:1"), b'{"frame": 1}', 403),
    ("POST as a form", "POST", "/record?token={token}",
     {"Content-Type": "application/x-www-form-urlencoded"}, b"action=start", 400),
    ("POST too large", "POST", "/record?token={token}", JSON, b" " * 5000, 400),
    ("POST not an object", "POST", "/record?token={token}", JSON, b"[]", 400),
]


def fill(text, view):
    return (text.replace("{token}", view.token).replace("{port}", str(view.port))
            .replace("{cookie}", "other=1; camsnap_view_%d=%s" % (view.port, view.token)))


def test_requests_need_the_token_and_a_host_of_this_machine(start_view):
    view = start_view()
    view.get("/frame")  # a first frame is there
    failures = []
    for case, method, path, headers, body, status in CASES:
        headers = dict({"Host": "127.0.0.1:%d" % view.port},
                       **{name: fill(value, view) for name, value in headers.items()})
        if headers["Host"] == "":
            headers["Host"] = None
        got, answer_headers, content = view.request(method, fill(path, view), headers, body)
        if got != status:
            failures.append("%s: %d, not %d" % (case, got, status))
        missing = {k: v for k, v in SECURITY_HEADERS.items() if answer_headers.get(k) != v}
        if missing or "script-src 'self'" not in answer_headers.get("Content-Security-Policy", ""):
            failures.append("%s: headers missing %r" % (case, missing or "CSP"))
        if answer_headers.get("Access-Control-Allow-Origin"):
            failures.append("%s: a CORS opening" % case)
        if got == 403 and method == "GET":
            # Refused: a short page saying what to do, nothing of the camera.
            if not (content.startswith(b"<!DOCTYPE html>") and len(content) < 1000):
                failures.append("%s: refused with %r" % (case, content[:80]))
        if case == "right token":
            cookie = answer_headers.get("Set-Cookie", "")
            if cookie != "camsnap_view_%d=%s; Path=/; HttpOnly; SameSite=Strict" % (view.port, view.token):
                failures.append("right token: cookie %r" % cookie)
        if case == "no token" and NO_TOKEN_TEXT not in content:
            failures.append("no token: the page does not say what to do: %r" % content)
    assert failures == []
    # None of the refused POSTs started a recording or wrote a file.
    assert json.loads(view.get("/stats.json")[2])["record"]["recording"] is False
    assert os.listdir(str(view.save_dir)) == []


def test_host_serves_on_that_address_too_still_with_the_token(start_view):
    view = start_view("--host", "127.0.0.2")
    assert view.url.startswith("http://127.0.0.2:")
    assert ("camsnap view: warning: serving on 127.0.0.2: anyone who has this URL sees the camera"
            in view.stdout().splitlines())
    path = "/frame?token=" + view.token
    statuses = [view.request("GET", p, {"Host": host})[0] for p, host in [
        (path, "127.0.0.2:%d" % view.port), (path, "localhost"), (path, "127.0.0.3"), ("/frame", "127.0.0.2")]]
    assert statuses == [200, 200, 403, 403]


def test_a_flood_of_connections_is_capped_and_passes(start_view):
    view = start_view()
    server = server_process(view.process.pid)
    idle = [socket.create_connection(("127.0.0.1", view.port)) for _ in range(3 * MAX_OPEN_REQUESTS)]
    try:
        status = None
        for _ in range(100):  # the server takes the idle connections one by one
            status = view.request("GET", "/frame?token=" + view.token, {"Host": "127.0.0.1"})[0]
            if status == 503:
                break
        threads = len(os.listdir("/proc/%d/task" % server))
        assert status == 503, "a request beside %d idle connections got %r" % (len(idle), status)
        # The threads of the server: one per open request, plus the serving and receiving ones.
        assert threads <= MAX_OPEN_REQUESTS + 4, "%d threads for %d idle connections" % (threads, len(idle))
    finally:
        for connection in idle:
            connection.close()
    deadline = time.monotonic() + 30
    while view.request("GET", "/frame?token=" + view.token, {"Host": "127.0.0.1"})[0] != 200:
        assert time.monotonic() < deadline, "still refused 30 s after the flood ended"
        time.sleep(0.2)


def server_process(pid):
    """The web server child of the command's process."""
    children = []
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/children" % (pid, task)) as listed:
            children += [int(child) for child in listed.read().split()]
    assert len(children) == 1, children
    return children[0]


def test_the_printed_url_gives_the_page_and_a_foreign_name_gets_nothing(start_view, browser):
    view = start_view("--width", "160", "--height", "120")
    browser.navigate(view.page_url)
    browser.wait_for("Number(document.getElementById('number').textContent) > 2")
    # The cookie is the browser's, not the page's script's.
    assert browser.evaluate("document.cookie") == ""

    # The same server reached under another name, as after DNS rebinding, with the token.
    foreign = "http://%s:%d/?token=%s" % (FOREIGN_NAME, view.port, view.token)
    browser.navigate(foreign)
    shown = browser.evaluate("({canvas: document.querySelectorAll('canvas').length,"
                             " images: document.images.length, text: document.body.innerText})")
    assert shown["canvas"] == 0 and shown["images"] == 0
    assert "127.0.0.1" in shown["text"] and "printed" in shown["text"]
    # That foreign page's script asks the view for a frame and to record (as a form would,
    # with the browser's cookie if it sent it): neither a frame nor a file.
    results = browser.evaluate("""(async () => {
      const own = "http://127.0.0.1:%d/";
      const frame = await fetch("frame").then((a) => a.status, (e) => "failed");
      const read = await fetch(own + "frame", {credentials: "include"}).then((a) => a.status, (e) => "failed");
      await fetch(own + "record", {method: "POST", mode: "no-cors", credentials: "include",
                                   headers: {"Content-Type": "text/plain"},
                                   body: '{"action": "start"}'}).catch(() => null);
      return [frame, read];
    })()""" % view.port)
    assert results[0] == 403 and results[1] == "failed", results
    assert json.loads(view.get("/stats.json")[2])["record"]["recording"] is False
    assert os.listdir(str(view.save_dir)) == []
    browser.navigate("about:blank")
