"""Links planted in an installation never carry a write outside it: the run
lock (a symbolic link to an outside file, a dangling one, a hard link), the
installation's own folders as links, and a staged directory or file made a
link while the tree is staged. Each case compares everything beside the
installation before and after, wants a failed run, and the line that names
the path."""
import os
import pathlib
import stat
import time

import pytest

from conftest import build_installation, stubs_dir
from publish_env import Background, lines, run_publish

SITE = pathlib.Path("builds", "mygame-html5-1")
FLAG = pathlib.Path("metadata", "BRINDLECOT_PRODUCTION_BUILD")


def snapshot(top):
    """Every entry below top: its mode and its bytes, or a link's target."""
    seen = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            st = os.lstat(full)
            rel = os.path.relpath(full, top)
            if stat.S_ISLNK(st.st_mode):
                seen[rel] = ("link", os.readlink(full))
            elif stat.S_ISDIR(st.st_mode):
                seen[rel] = ("dir", st.st_mode)
            else:
                seen[rel] = ("file", st.st_mode, pathlib.Path(full).read_bytes())
    return seen


@pytest.fixture
def setup(tmp_path):
    """An installation with the HTML5 stub alone (version 1) and an outside
    directory beside it holding a file and a folder."""
    inst = build_installation(tmp_path / "inst", keep_stubs=["html5"])
    meta = inst / "mygame" / "metadata" / "game_metadata.txt"
    kept = [l for l in meta.read_bytes().splitlines() if not l.startswith(b"version")]
    meta.write_bytes(b"\n".join(kept + [b"version=1"]) + b"\n")
    outside = tmp_path / "outside"
    (outside / "folder").mkdir(parents=True)
    (outside / "victim.txt").write_bytes(b"outside bytes\n")
    os.chmod(outside / "victim.txt", 0o600)
    return inst, outside


def output_of(result):
    return lines(result) + result.stderr.decode("utf-8", "replace").splitlines()


def move_out(inst, outside, name):
    """The installation's folder name moved beside it, a link left in its
    place."""
    target = outside / name.lstrip(".")
    if (inst / name).exists():
        os.rename(inst / name, target)
    else:
        target.mkdir()
    os.symlink(target, inst / name)


def plant_lock_link(inst, outside):
    (inst / ".brindlecot" / "publish.lock").symlink_to(outside / "victim.txt")


def plant_lock_dangling(inst, outside):
    (inst / ".brindlecot" / "publish.lock").symlink_to(outside / "new.txt")


def plant_lock_hard(inst, outside):
    os.link(outside / "victim.txt", inst / ".brindlecot" / "publish.lock")


STARTUP_CASES = [
    ("lock a link", plant_lock_link,
     "Can't lock '.brindlecot/publish.lock': it is a symbolic link"),
    ("lock dangling", plant_lock_dangling,
     "Can't lock '.brindlecot/publish.lock': it is a symbolic link"),
    ("lock a hard link", plant_lock_hard,
     "Can't lock '.brindlecot/publish.lock': it has another name (a hard link)"),
    (".brindlecot a link", lambda i, o: move_out(i, o, ".brindlecot"),
     "Refusing to run: '.brindlecot' in the installation is a symbolic link"),
    ("logs a link", lambda i, o: move_out(i, o, "logs"),
     "Refusing to run: 'logs' in the installation is a symbolic link"),
    ("builds a link", lambda i, o: move_out(i, o, "builds"),
     "Refusing to run: 'builds' in the installation is a symbolic link"),
]


@pytest.mark.parametrize("what,plant,line", STARTUP_CASES, ids=[c[0] for c in STARTUP_CASES])
def test_a_link_in_the_installation_stops_the_run_before_anything_is_written(setup, what,
                                                                             plant, line):
    inst, outside = setup
    plant(inst, outside)
    before = snapshot(outside)
    r = run_publish(["--only-package", "--platforms=html5", "mygame"], inst)
    assert r.returncode != 0
    assert any(line in l for l in output_of(r)), output_of(r)
    assert snapshot(outside) == before
    assert not (inst / "builds" / "mygame-html5-1.zip").exists()


class Racer:
    """Plants a link at path, pointing to target, whenever path's directory
    is there and path is not, until stopped; counts its wins."""

    def __init__(self, path, target):
        self.path, self.target, self.won = str(path), str(target), 0

    def run(self, stopped):
        deadline = time.monotonic() + 120
        while not stopped.is_set() and time.monotonic() < deadline:
            try:
                os.symlink(self.target, self.path)
                self.won += 1
            except (FileNotFoundError, FileExistsError, NotADirectoryError):
                pass


def widen_windows(inst):
    """Many files in the stub's web root (copied before the game is staged)
    and in the game (staged before the flag is written), so that a racer
    plants its link in time."""
    extra = stubs_dir(inst) / "html5" / "stub" / "extra"
    extra.mkdir()
    for i in range(150):
        (extra / ("s%03d.txt" % i)).write_bytes(b"stub %d\n" % i)
    data = inst / "mygame" / "data"
    data.mkdir(exist_ok=True)
    for i in range(400):
        (data / ("d%03d.txt" % i)).write_bytes(b"game %d\n" % i)


RACE_CASES = [
    ("staged directory", SITE / "gamedata", lambda o: o / "folder",
     str(SITE / "gamedata") + "/"),
    ("staged file", SITE / "gamedata" / FLAG, lambda o: o / "victim.txt",
     str(SITE / "gamedata" / FLAG)),
]


@pytest.mark.parametrize("what,planted,target,named", RACE_CASES,
                         ids=[c[0] for c in RACE_CASES])
def test_a_link_planted_while_a_tree_is_staged_fails_the_build(setup, what, planted, target,
                                                               named):
    inst, outside = setup
    widen_windows(inst)
    before = snapshot(outside)
    for attempt in range(5):
        racer = Racer(inst / planted, target(outside))
        with Background(racer.run):
            r = run_publish(["--only-package", "--platforms=html5", "mygame"], inst)
        assert snapshot(outside) == before, attempt
        if not racer.won or r.returncode == 0 and not os.path.islink(inst / planted):
            continue  # planted too late, or removed with the old tree: the run was clean
        assert r.returncode != 0
        # A link where a directory goes is refused; one where a file goes is
        # removed and the file made anew, unless the racer keeps putting it
        # back faster than the publisher clears it. A link put into the
        # earlier tree's folder while that tree is removed keeps the folder
        # from going.
        folder = os.path.dirname(named.rstrip("/"))
        refused = [l for l in output_of(r) if named in l and
                   ("symbolic link" in l or "keeps being put at its name" in l) or
                   "Failed to delete '%s" % folder in l and "Directory not empty" in l]
        assert refused, [l for l in output_of(r) if l.startswith("! ")]
        assert not (inst / "builds" / "mygame-html5-1.zip").exists()
        return
    pytest.skip("the racer never planted its link in time")
