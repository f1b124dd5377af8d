"""Helpers for the macOS and HTML5 end-to-end tests: game metadata, headless
Chromium and a loopback web server of the test's own."""
import contextlib
import functools
import html
import http.server
import json
import re
import shutil
import subprocess
import tempfile
import threading

CHROMIUM = "/usr/bin/chromium"
NODE = "/usr/bin/node"


def set_metadata(inst, **values):
    """Rewrites the demo game's metadata file with these values over the
    demo's own."""
    fields = {"devid": "brindlecot-demo", "devtitle": "Brindlecot Demo Team",
              "gameid": "mygame", "gametitle": "My Demo Game", "version": "1.0",
              "icon": "metadata/icon.png"}
    fields.update(values)
    text = "".join("%s=%s\n" % item for item in fields.items())
    (inst / "mygame" / "metadata" / "game_metadata.txt").write_bytes(text.encode("utf-8"))
    return fields


def chromium_dom(url, timeout=90):
    """The DOM of url after its scripts ran, as headless Chromium dumps it."""
    profile = tempfile.mkdtemp(prefix="web-chromium-")
    try:
        r = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + profile, "--allow-file-access-from-files",
             "--virtual-time-budget=10000", "--dump-dom", url],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        return r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def element_text(dom, tag, element_id=None):
    """Unescaped text of the first <tag> (with that id), or None."""
    attrs = r'[^>]*\bid="%s"[^>]*' % re.escape(element_id) if element_id else r"[^>]*"
    m = re.search(r"<%s%s>(.*?)</%s>" % (tag, attrs, tag), dom, re.S)
    return html.unescape(m.group(1)) if m else None


def loader_vars_in_page(dom):
    """The loader's variables as the page's script wrote them into the DOM."""
    text = element_text(dom, "pre", "loader-vars")
    return json.loads(text) if text else None


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@contextlib.contextmanager
def loopback_server(directory):
    """Serves directory on 127.0.0.1 (a free port) for the with block;
    yields the base URL."""
    handler = functools.partial(_QuietHandler, directory=str(directory))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                              daemon=True)
    thread.start()
    try:
        yield "http://127.0.0.1:%d/" % server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()
        thread.join(timeout=10)


def node_values(script_text, names, tmp_path):
    """Evaluates script_text with node and returns the values of the named
    global variables."""
    path = tmp_path / "eval.js"
    path.write_text(script_text + "\nconsole.log(JSON.stringify([%s]));\n" % ", ".join(names),
                    encoding="utf-8")
    r = subprocess.run([NODE, str(path)], capture_output=True, timeout=30)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)
