"""A real browser (headless Chromium) loads an HTML5 site from the daemon
and runs its script. The site has the shape of an HTML5 build (index page,
loader script with its game header, manifest.json, favicon.png)."""
import json
import os
import shutil
import subprocess
import tempfile

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
