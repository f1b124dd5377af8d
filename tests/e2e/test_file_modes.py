"""Modes of what both programs write, under umask 022 and 077: every file
and directory gets what any other program would give it under the same umask
(0666 and 0777 masked), executables 0755 masked, so a web server running as
another user can serve the site when the umask allows it, and nobody else can
read anything when it does not."""
import contextlib
import os
import stat

import pytest

from conftest import build_installation
from httpd_daemon import Daemon
from publish_env import run_publish

# What the publisher makes executable in the demo installation's builds.
EXECUTABLES = {
    "builds/mygame-linux-amd64.bin",
    "builds/mygame-linux-raspberrypi.bin",
    "builds/mygame-windows-amd64.exe",
    "builds/mygame-mac-1.0/My Demo Game.app/Contents/MacOS/mygame",
}


@contextlib.contextmanager
def process_umask(mask):
    """The umask the started programs inherit."""
    saved = os.umask(mask)
    try:
        yield
    finally:
        os.umask(saved)


def modes_below(top, names):
    """Relative path -> (is a directory, permission bits) for each of names
    under top and everything below them."""
    out = {}
    for name in names:
        start = os.path.join(top, name)
        out[name] = (os.path.isdir(start), stat.S_IMODE(os.lstat(start).st_mode))
        for dirpath, dirs, files in os.walk(start):
            for entry in dirs + files:
                path = os.path.join(dirpath, entry)
                rel = os.path.relpath(path, top)
                out[rel] = (os.path.isdir(path), stat.S_IMODE(os.lstat(path).st_mode))
    return out


def expected_mode(rel, is_dir, mask):
    if is_dir:
        return 0o777 & ~mask
    if rel in EXECUTABLES:
        return 0o755 & ~mask
    return 0o666 & ~mask


@pytest.mark.parametrize("mask", [0o022, 0o077], ids=["umask022", "umask077"])
def test_publisher_outputs_follow_the_umask(tmp_path, mask):
    inst = build_installation(tmp_path / "inst")
    with process_umask(mask):
        r = run_publish(["--only-package", "mygame"], inst)
        assert r.returncode == 0, r.stdout.decode("utf-8", "replace")
        for option, out in (("--make-ico", "icon.ico"), ("--make-icns", "icon.icns")):
            r = run_publish([option, "mygame/metadata/icon.png", out], inst)
            assert r.returncode == 0, r.stdout.decode("utf-8", "replace")

    modes = modes_below(inst, ["builds", "logs", "icon.ico", "icon.icns"])
    # The site, every package and the bundle are there to be judged.
    assert "builds/mygame-html5-1.0/index.html" in modes
    assert "logs/brindlecot-publish.txt" in modes
    assert EXECUTABLES <= set(modes)
    wrong = {rel: oct(mode) for rel, (is_dir, mode) in modes.items()
             if mode != expected_mode(rel, is_dir, mask)}
    assert wrong == {}


def test_publisher_leaves_existing_directories_alone(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    os.mkdir(inst / "builds", 0o750)
    os.chmod(inst / "builds", 0o750)
    with process_umask(0o022):
        r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0, r.stdout.decode("utf-8", "replace")
    assert stat.S_IMODE(os.stat(inst / "builds").st_mode) == 0o750
    assert stat.S_IMODE(os.stat(inst / "builds" / "mygame-linux-amd64.bin").st_mode) == 0o755


@pytest.mark.parametrize("mask", [0o022, 0o077], ids=["umask022", "umask077"])
def test_daemon_log_follows_the_umask(tmp_path, mask):
    site = tmp_path / "site"
    site.mkdir()
    (site / "index.html").write_text("<p>hi</p>\n")
    with process_umask(mask):
        daemon = Daemon(site, port=0, cwd=tmp_path)
    try:
        assert daemon.wait_started() is not None, (daemon.out, daemon.err)
    finally:
        daemon.stop()
    modes = modes_below(tmp_path, ["logs"])
    assert modes == {"logs": (True, 0o777 & ~mask),
                     os.path.join("logs", "brindlecot-httpd.txt"): (False, 0o666 & ~mask)}
