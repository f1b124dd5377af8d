"""Path arguments of brindlecot-publish written as a user types them:
"./" and "../" segments and absolute paths inside the installation work;
a path that leaves the installation, or an output whose directory is
missing, is refused with one line that says so."""
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from http_test_server import Route, LoopbackServer  # noqa: E402
from conftest import build_installation as make_installation  # noqa: E402
from publish_env import run_publish, texts  # noqa: E402

RELATIVE = "paths are relative to the installation directory"


@pytest.fixture(scope="module")
def installation(tmp_path_factory):
    return make_installation(tmp_path_factory.mktemp("paths") / "inst",
                             keep_stubs=["linux-amd64"])


def run_in(inst, args, cwd=None):
    return run_publish(args, cwd or inst, timeout=120)


@pytest.mark.parametrize("spelling", ["./mygame", "mygame/", "{inst}/mygame",
                                      "../inst/mygame/../mygame"])
def test_game_directory_spellings(installation, spelling):
    builds = installation / "builds"
    target = builds / "mygame-linux-amd64.bin"
    if target.exists():
        target.unlink()
    r = run_in(installation, ["--only-package", spelling.format(inst=installation)])
    assert r.returncode == 0, r.stdout
    assert target.is_file()
    # The package really holds the game: the stub lists what it carries.
    listing = subprocess.run([str(target)], capture_output=True, timeout=30)
    assert b"main.rb" in listing.stdout


def test_icon_paths_absolute_and_dotted(installation):
    out = installation / "icons" / "app.ico"
    out.parent.mkdir(exist_ok=True)
    r = run_in(installation, ["--make-ico", str(installation / "brindlecot.png"),
                              "./icons/../icons/app.ico"])
    assert r.returncode == 0, r.stdout
    listing = subprocess.run(["icotool", "-l", str(out)], capture_output=True, timeout=30)
    assert b"--width=512 --height=512" in listing.stdout

    icns = installation / "icons" / "app.icns"
    r = run_in(installation, ["--make-icns", "../inst/./brindlecot.png", str(icns)])
    assert r.returncode == 0, r.stdout
    listing = subprocess.run(["icns2png", "-l", str(icns)], capture_output=True, timeout=30)
    assert listing.returncode == 0 and b"512x512" in listing.stdout


def test_absolute_path_through_a_symbolic_link(installation, tmp_path):
    link = tmp_path / "link"
    link.symlink_to(installation)
    out = installation / "linked.ico"
    r = run_in(installation, ["--make-ico", str(link / "brindlecot.png"), str(link / "linked.ico")])
    assert r.returncode == 0, r.stdout
    assert out.is_file()


def test_download_target_with_dot_segments(installation):
    server = LoopbackServer({"/file": Route(body=b"payload")})
    try:
        (installation / "downloads").mkdir(exist_ok=True)
        r = run_in(installation, ["--download", server.url("/file"), "./downloads/./got.bin"])
    finally:
        server.stop()
    assert r.returncode == 0, r.stdout
    assert (installation / "downloads" / "got.bin").read_bytes() == b"payload"


@pytest.mark.parametrize("args, named, report", [
    (["--only-package", ".."], "..", "Packaging failed!"),
    (["--only-package", "mygame/../../mygame"], "mygame/../../mygame", "Packaging failed!"),
    (["--make-ico", "../elsewhere.png", "out.ico"], "../elsewhere.png", "Icon creation failed!"),
    (["--make-ico", "brindlecot.png", "/tmp/out.ico"], "/tmp/out.ico", "Icon creation failed!"),
    (["--make-icns", "{outside}/x.png", "out.icns"], "{outside}/x.png", "Icns creation failed!"),
    (["--download", "http://127.0.0.1:9/x", "../out.bin"], "../out.bin", "Download failed!"),
])
def test_paths_leaving_the_installation_are_refused(installation, tmp_path, args, named, report):
    args = [a.format(outside=tmp_path) for a in args]
    named = named.format(outside=tmp_path)
    before = sorted(os.listdir(installation.parent))
    r = run_in(installation, args)
    assert r.returncode == 1
    errors = texts(r, "! ")
    refusals = [e for e in errors if RELATIVE in e]
    assert refusals == ["'%s' is outside the installation directory %s: %s"
                        % (named, installation, RELATIVE)]
    assert errors[-3:] == ["", report, ""]
    assert sorted(os.listdir(installation.parent)) == before


def test_installation_itself_is_not_a_game_directory(installation):
    r = run_in(installation, ["--only-package", "."])
    assert r.returncode == 1
    assert "'.' is the installation directory itself: %s" % RELATIVE in texts(r, "! ")


@pytest.mark.parametrize("args, line", [
    (["--make-ico", "brindlecot.png", "missing/dir/out.ico"],
     "Can't write 'missing/dir/out.ico': the directory 'missing/dir' does not exist"),
    (["--make-icns", "brindlecot.png", "./missing/../nothere/out.icns"],
     "Can't write './missing/../nothere/out.icns': the directory 'nothere' does not exist"),
    (["--download", "http://127.0.0.1:9/x", "brindlecot.png/out.bin"],
     "Can't write 'brindlecot.png/out.bin': the directory 'brindlecot.png' does not exist"),
])
def test_missing_output_directory_is_named(installation, args, line):
    r = run_in(installation, args)
    assert r.returncode == 1
    assert line in texts(r, "! ")
    assert not (installation / "missing").exists()
    assert not (installation / "nothere").exists()
