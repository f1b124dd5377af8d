"""The scripts in tools/: their usage, and the demo and the installation
generator writing over an installation that holds a user's own work."""
import os
import shutil
import subprocess

import pytest

from conftest import BUILD_DIR, DEBIAN_PYTHON, SOURCE_DIR, build_installation
from publish_env import run_publish

TOOLS = SOURCE_DIR / "tools"
SCRIPTS = sorted(p.name for p in TOOLS.iterdir() if p.suffix in (".sh", ".py"))


def run_script(name, args, cwd, timeout=30):
    interpreter = "bash" if name.endswith(".sh") else DEBIAN_PYTHON
    return subprocess.run([interpreter, str(TOOLS / name)] + list(args), cwd=str(cwd),
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)


# ---- usage -------------------------------------------------------------------

@pytest.mark.parametrize("name", SCRIPTS)
@pytest.mark.parametrize("flag", ["--help", "-h"])
def test_help_prints_the_usage_and_does_nothing_else(tmp_path, name, flag):
    r = run_script(name, [flag], tmp_path)
    assert (r.returncode, r.stderr) == (0, b""), r.stderr
    assert r.stdout.startswith(b"usage: ")
    assert list(tmp_path.iterdir()) == []


# Options no script takes, and arguments beyond what each one takes.
REFUSED = [(name, ["--no-such-option"]) for name in SCRIPTS] + [
    ("demo.sh", ["demo"]),
    ("demo.sh", ["--demo-dir"]),
    ("test-all.sh", ["unit"]),
    ("install-deps.sh", ["demo", "test"]),
    ("install-deps.sh", ["everything"]),
    ("bench_package.sh", ["build", "extra"]),
    ("httpd-load-check.sh", ["build", "many"]),
    ("gen_android_tables.py", ["only-one"]),
    ("make_installation.py", ["--android", "dest"]),
    ("android_stub.py", ["dest"]),
]


@pytest.mark.parametrize("name, args", REFUSED)
def test_arguments_not_taken_are_refused_with_the_usage(tmp_path, name, args):
    r = run_script(name, args, tmp_path)
    assert r.returncode == 2
    assert r.stdout == b""
    assert r.stderr.startswith(b"usage: ")
    assert list(tmp_path.iterdir()) == []


# ---- the module circle check -------------------------------------------------

def test_module_cycles_names_a_circle_through_either_file_of_a_module(tmp_path):
    engine = tmp_path / "engine"
    engine.mkdir()
    (engine / "a.h").write_text('#include "engine/b.h"\n')
    (engine / "a.cpp").write_text('#include "engine/a.h"\n')
    (engine / "b.h").write_text("")
    (engine / "b.cpp").write_text('#include "engine/a.h"\n')
    r = run_script("check_module_cycles.py", [str(tmp_path)], tmp_path)
    assert r.returncode == 1
    assert r.stdout == b"modules include each other in a circle: engine/a -> engine/b -> engine/a\n"

    (engine / "b.cpp").write_text('#include "engine/b.h"\n')
    r = run_script("check_module_cycles.py", [str(tmp_path)], tmp_path)
    assert (r.returncode, r.stdout) == (0, b"2 modules, no circle\n")


# ---- writing over a user's installation -------------------------------------

def snapshot(root, entries):
    """Every file, link and directory under the entries of root, with bytes
    and mode: what must come out of a run unchanged."""
    seen = {}
    for entry in entries:
        top = root / entry
        paths = [top] + (sorted(top.rglob("*")) if top.is_dir() and not top.is_symlink() else [])
        for p in paths:
            rel = str(p.relative_to(root))
            st = p.lstat()
            if p.is_symlink():
                seen[rel] = ("link", os.readlink(p))
            elif p.is_dir():
                seen[rel] = ("dir", st.st_mode)
            else:
                seen[rel] = ("file", st.st_mode, p.read_bytes())
    assert seen, entries
    return seen


def add_users_work(inst):
    """A second game, published for two platforms, and other files a user
    keeps in an installation. Returns the entries that are theirs."""
    game = inst / "mygame2"
    shutil.copytree(inst / "mygame", game)
    metadata = game / "metadata" / "game_metadata.txt"
    metadata.write_text(metadata.read_text().replace("gameid=mygame\n", "gameid=mygame2\n"))
    (game / "app" / "main.rb").write_text("# my own game\n")
    r = run_publish(["--only-package", "--platforms=linux-amd64,html5", "mygame2"], inst)
    assert r.returncode == 0, r.stdout
    (inst / "logs" / "notes.txt").write_text("what I changed last week\n")
    butler = inst / ".brindlecot" / "itchio-butler"
    butler.mkdir()
    (butler / "butler").write_bytes(b"#!/bin/sh\n")
    builds = sorted("builds/" + p.name for p in (inst / "builds").iterdir())
    assert "builds/mygame2-linux-amd64.bin" in builds and "builds/mygame2-html5.zip" in builds
    return ["mygame2", "logs/notes.txt", ".brindlecot/itchio-butler"] + builds


def own_entries(inst):
    return snapshot(inst, [".brindlecot/stubs", "open-source-licenses.txt", "font.ttf",
                           "brindlecot.png", "brindlecot-controller.png", "console-logo.png",
                           "mygame"])


def test_make_installation_replaces_only_its_own_entries(tmp_path):
    inst = build_installation(tmp_path / "inst")
    users = add_users_work(inst)
    custom = inst / ".brindlecot" / "stubs" / "my-console"
    custom.write_bytes(b"a stub of my own\n")
    users.append(".brindlecot/stubs/my-console")
    before = snapshot(inst, users)
    # Leftovers of an older installation inside its own entries, and a
    # default file that is a link to a file outside.
    (inst / ".brindlecot" / "stubs" / "html5" / "stub" / "old.js").write_text("stale")
    (inst / "mygame" / "app" / "stale.rb").write_text("stale")
    outside = tmp_path / "outside.ttf"
    outside.write_bytes(b"not the installation's")
    (inst / "font.ttf").unlink()
    (inst / "font.ttf").symlink_to(outside)

    build_installation(inst)

    assert snapshot(inst, users) == before
    assert outside.read_bytes() == b"not the installation's"
    (inst / ".brindlecot" / "stubs" / "my-console").unlink()
    assert own_entries(inst) == own_entries(build_installation(tmp_path / "fresh"))
    assert not [p for p in inst.iterdir() if p.name.startswith(".make-installation-")]


def test_demo_keeps_the_users_games_builds_and_logs(tmp_path):
    demo = tmp_path / "demo"
    assert SOURCE_DIR not in demo.resolve().parents  # never the tree's own demo/
    build_installation(demo)
    users = add_users_work(demo)
    before = snapshot(demo, users)

    # The build step finds everything built already.
    r = run_script("demo.sh", ["--demo-dir", str(demo), "--build-dir", str(BUILD_DIR)], tmp_path,
                   timeout=300)
    out = r.stdout.decode("utf-8", "replace")
    assert r.returncode == 0, out + r.stderr.decode("utf-8", "replace")
    assert "Updating the demo installation in demo/" in out
    assert snapshot(demo, users) == before
    for name in ["mygame-linux-amd64.bin", "mygame-html5.zip", "mygame-android.apk",
                 "mygame-googleplay.aab"]:
        assert (demo / "builds" / name).is_file(), name
    assert "main.rb" in out  # the Linux package listed its files
