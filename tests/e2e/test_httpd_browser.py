"""A real browser (headless Chromium) loads an HTML5 site from the daemon
and runs its script. The site has the shape of an HTML5 build (index page,
loader script with its game header, manifest.json, favicon.png)."""
import json
import os
import shutil
import struct
import subprocess
import tempfile
import zlib

import pytest

import httpd_daemon

CHROMIUM = "/usr/bin/chromium"

INDEX = """<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<title>Loading...</title>
<link rel="icon" href="favicon.png">
<link rel="stylesheet" href="style/site.css">
</head>
<body>
<div id="status">Loading...</div>
<script src="brindlecot-html5-loader.js"></script>
</body>
</html>
"""

LOADER = """var GBrindlecotGameTitle = "Browser Check";
var GBrindlecotGameVersion = "1.2";
var GBrindlecotDevTitle = "Test Dev";
(function () {
    function show(text) { document.getElementById('status').textContent = text; }
    document.title = GBrindlecotGameTitle;
    var colour = getComputedStyle(document.getElementById('status')).color;
    fetch('manifest.json')
        .then(function (response) { return response.json(); })
        .then(function (manifest) {
            var files = Object.keys(manifest).filter(function (k) { return k !== ''; });
            show(GBrindlecotGameTitle + ' ' + GBrindlecotGameVersion + ' by ' +
                 GBrindlecotDevTitle + ': ' + files.length + ' files, ' + colour);
        })
        .catch(function (error) { show('Loading failed: ' + error); });
})();
"""


def make_site(root):
    site = root / "html5"
    (site / "style").mkdir(parents=True)
    (site / "index.html").write_text(INDEX)
    (site / "brindlecot-html5-loader.js").write_text(LOADER)
    (site / "style" / "site.css").write_text("#status { color: rgb(1, 2, 3); }\n")
    manifest = {"": 0, "index.html": len(INDEX), "game/main.rb": 10, "game/data.txt": 4}
    (site / "manifest.json").write_text(json.dumps(manifest))
    (site / "favicon.png").write_bytes(b"\x89PNG\r\n\x1a\n")
    return site


@pytest.mark.skipif(not os.path.exists(CHROMIUM), reason="chromium is not installed")
def test_chromium_runs_the_site_script(tmp_path):
    site = make_site(tmp_path)
    d = httpd_daemon.start(site)
    profile = tempfile.mkdtemp(prefix="httpd-chromium-")
    try:
        r = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + profile, "--virtual-time-budget=10000",
             "--dump-dom", d.url("/")],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=90)
        dom = r.stdout.decode("utf-8", "replace")
        assert "<title>Browser Check</title>" in dom, (dom, r.stderr[-2000:])
        assert '<div id="status">Browser Check 1.2 by Test Dev: 3 files, rgb(1, 2, 3)</div>' in dom, dom
        # Every file the page needs went out whole, none failed.
        served = " ".join(d.out)
        for path in ("/ ", "/brindlecot-html5-loader.js ", "/style/site.css ", "/manifest.json "):
            assert ": 200 " + path in served, (path, d.out)
    finally:
        d.stop()
        shutil.rmtree(profile, ignore_errors=True)


FOLDER_PAGE = """<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<title>Loading...</title>
<link rel="icon" href="pic.png">
</head>
<body>
<div id="status">Loading...</div>
<img id="pic" src="pic.png">
<script src="app.js"></script>
</body>
</html>
"""

# Runs only when app.js itself was served; tells whether the picture came.
FOLDER_APP = """(function () {
    var pic = document.getElementById('pic');
    function show() {
        document.getElementById('status').textContent = pic.naturalWidth > 0
            ? 'Ran with a ' + pic.naturalWidth + 'x' + pic.naturalHeight + ' picture'
            : 'The picture did not load';
    }
    if (pic.complete) { show(); } else { pic.onload = show; pic.onerror = show; }
})();
"""


def png(width, height):
    """A real PNG of one colour, for the browser to decode."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    rows = b"".join(b"\0" + b"\x20\x80\xe0" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


@pytest.mark.skipif(not os.path.exists(CHROMIUM), reason="chromium is not installed")
def test_a_folder_is_listed_without_its_slash_and_runs_with_it(tmp_path):
    """A root listing links a folder without its slash: the browser gets the
    folder's listing there, whose links lead into it; the folder with its
    slash runs the page, whose relative names resolve inside the folder."""
    from web_env import chromium_dom, element_text
    site = tmp_path / "served" / "site"
    site.mkdir(parents=True)
    (site / "index.html").write_text(FOLDER_PAGE)
    (site / "app.js").write_text(FOLDER_APP)
    (site / "pic.png").write_bytes(png(3, 2))
    d = httpd_daemon.start(site.parent)
    try:
        dom, err = chromium_dom(d.url("/"))
        assert "<a href=\"/site\">site</a>" in dom, (dom, err[-2000:])
        dom, err = chromium_dom(d.url("/site"))
        assert element_text(dom, "title") == "Directory /site", (dom, err[-2000:])
        for name in ("app.js", "index.html", "pic.png"):
            assert "<a href=\"/site/%s\">%s</a>" % (name, name) in dom, dom
        assert not any(": 200 /site/app.js " in l for l in d.out), d.out

        dom, err = chromium_dom(d.url("/site/"))
        assert element_text(dom, "div", "status") == "Ran with a 3x2 picture", (dom, err[-2000:])
        served = " ".join(d.out)
        for path in ("/site/", "/site/app.js", "/site/pic.png"):
            assert ": 200 %s (" % path in served, (path, d.out)
        # The listings name no icon, so the browser asks for /favicon.ico
        # by itself; nothing that a page names failed.
        failed = [l for l in d.out if (": 404 " in l or ": 503 " in l) and "/favicon.ico " not in l]
        assert not failed, d.out
    finally:
        d.stop()


@pytest.mark.skipif(not os.path.exists(CHROMIUM), reason="chromium is not installed")
def test_chromium_runs_the_demo_html5_build(tmp_path):
    """The publisher's own HTML5 build of the demo game, served by the daemon."""
    from conftest import build_installation
    from publish_env import run_publish
    from web_env import chromium_dom, element_text, loader_vars_in_page
    inst = build_installation(tmp_path / "inst", keep_stubs=["html5"])
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0, r.stdout
    site = next((inst / "builds").glob("mygame-html5-*"))
    d = httpd_daemon.start(site)
    try:
        dom, err = chromium_dom(d.url("/"))
        assert loader_vars_in_page(dom)["gameid"] == "mygame", (dom, err[-2000:])
        assert element_text(dom, "title") == loader_vars_in_page(dom)["gametitle"]
        # The page's script fetched the manifest from the daemon too.
        assert "files" in element_text(dom, "div", "status"), dom
        assert any(": 200 /manifest.json " in l for l in d.out), d.out
    finally:
        d.stop()
