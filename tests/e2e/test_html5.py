"""--only-package with the html5 stub: the site directory and its package,
read back with node, python's json and zipfile, Pillow, unzip and a real
browser (headless Chromium, from a file:// URL and from a loopback server)."""
import json
import os
import subprocess
import zipfile

import pytest
from PIL import Image

from conftest import build_installation
from publish_env import run_publish, texts
from web_env import (CHROMIUM, chromium_dom, element_text, loader_vars_in_page,
                     loopback_server, node_values, set_metadata)

SITE = "mygame-html5-1.0"
VARS = ["GBrindlecotGameId", "GBrindlecotGameTitle", "GBrindlecotDevTitle",
        "GBrindlecotGameVersion", "GBrindlecotIcon"]
# Quotes and backslashes (one of them last) must reach the page as written.
METADATA = {"gametitle": "Bob's \"Game\" <b>&amp;</b>",
            "devtitle": "C:\\Dev\\Team's\\",
            "version": "1.0"}

needs_chromium = pytest.mark.skipif(not os.path.exists(CHROMIUM),
                                    reason="chromium is not installed")


@pytest.fixture
def inst(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["html5"])
    set_metadata(inst, **METADATA)
    return inst


@pytest.fixture
def built(inst):
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0, r.stdout.decode("utf-8", "replace")
    return inst / "builds" / SITE


def expected_vars():
    return ["mygame", METADATA["gametitle"], METADATA["devtitle"], METADATA["version"],
            "/metadata/icon.png"]


def regular_files(top):
    out = {}
    for dirpath, _dirs, files in os.walk(top):
        for f in files:
            path = os.path.join(dirpath, f)
            out[os.path.relpath(path, top).replace(os.sep, "/")] = os.stat(path)
    return out


def test_loader_header_evaluates_to_the_metadata(built, tmp_path):
    loader = (built / "brindlecot-html5-loader.js").read_text(encoding="utf-8")
    header, _, body = loader.partition("\n\n")
    assert header.count("\n") == 4
    assert body == (built.parent.parent / ".brindlecot" / "stubs" / "html5" /
                    "brindlecot-html5-loader.js").read_text(encoding="utf-8")
    assert node_values(header, VARS, tmp_path) == expected_vars()


def test_manifest_lists_the_gamedata_files(built):
    manifest = json.loads((built / "manifest.json").read_text(encoding="utf-8"))
    assert manifest.pop("") == {}
    files = regular_files(built / "gamedata")
    assert set(manifest) == set(files)
    for name, st in files.items():
        assert manifest[name] == {"filesize": st.st_size, "filetime": int(st.st_mtime)}, name
    # The demo game has data/.DS_Store: neither staged nor listed.
    assert "data/.DS_Store" not in manifest
    assert "metadata/BRINDLECOT_PRODUCTION_BUILD" in manifest
    assert "app/main.rb" in manifest


def test_favicon_and_package(built):
    with Image.open(built / "favicon.png") as image:
        assert image.format == "PNG"
        assert image.size == (512, 512)
    package = built.parent / "mygame-html5.zip"
    assert subprocess.run(["unzip", "-tq", str(package)], capture_output=True,
                          timeout=60).returncode == 0
    with zipfile.ZipFile(package) as z:
        names = z.namelist()
        for name in ["index.html", "brindlecot-html5-loader.js", "manifest.json",
                     "favicon.png", "gamedata/", "gamedata/app/", "gamedata/app/main.rb"]:
            assert name in names
            if not name.endswith("/"):
                assert z.read(name) == (built / name).read_bytes(), name
    assert set(n for n in names if not n.endswith("/")) == set(regular_files(built))


@needs_chromium
def test_browser_sees_the_loader_variables_from_a_file_url(built):
    dom, err = chromium_dom((built / "index.html").as_uri())
    assert loader_vars_in_page(dom) == dict(zip(
        ["gameid", "gametitle", "devtitle", "version", "icon"], expected_vars())), (dom, err[-2000:])
    assert element_text(dom, "title") == METADATA["gametitle"]


@needs_chromium
def test_browser_loads_the_site_from_a_loopback_server(built):
    manifest = json.loads((built / "manifest.json").read_text(encoding="utf-8"))
    with loopback_server(built) as url:
        dom, err = chromium_dom(url + "index.html")
    status = element_text(dom, "div", "status")
    assert status == "%s 1.0 by %s: %d files" % (METADATA["gametitle"], METADATA["devtitle"],
                                                 len(manifest) - 1), (dom, err[-2000:])


def test_rebuild_deletes_the_old_site(inst, built):
    (built / "stale.html").write_text("from an earlier build")
    (built / "gamedata" / "stale.rb").write_text("old")
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0
    assert "Deleting 'builds/%s'..." % SITE in texts(r, "- ")
    assert not (built / "stale.html").exists()
    assert "stale.rb" not in json.loads((built / "manifest.json").read_text())
    with zipfile.ZipFile(built.parent / "mygame-html5.zip") as z:
        assert not any("stale" in n for n in z.namelist())
