"""Runs that stop half-way or meet each other: a package takes its name
only when whole, a stop signal leaves the earlier package or a complete new
one and ends the process by that signal, one run at a time per
installation, and temporary files of a killed run are cleared by the next."""
import hashlib
import os
import re
import shutil
import random
import signal
import subprocess
import threading
import time
import zipfile

import pytest

from conftest import PUBLISH, build_installation
from publish_env import lines, run_publish, texts

PACKAGE = os.path.join("builds", "mygame-linux-amd64.bin")


def temporaries(inst):
    return [n for d in ("builds", ".brindlecot") for n in os.listdir(inst / d)
            if ".brindlecot-tmp-" in n]


def add_big_game(inst, files=160, size=1024 * 1024):
    """Incompressible data, so that writing the package takes a while."""
    big = inst / "mygame" / "big"
    big.mkdir()
    rng = random.Random(28)
    for i in range(files):
        (big / ("blob%03d.bin" % i)).write_bytes(rng.randbytes(size))


def start_publish(inst, *args):
    return subprocess.Popen([PUBLISH, "--set", "log.timing", "false", "--only-package"]
                            + list(args) + ["mygame"], cwd=str(inst),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def wait_for(predicate, seconds=120):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return False


def zip_reads_back(path):
    with zipfile.ZipFile(str(path)) as z:
        assert z.testzip() is None
    r = subprocess.run(["unzip", "-tq", str(path)], capture_output=True, timeout=120)
    # A zip behind a stub is read with a warning about the bytes before it.
    assert r.returncode in (0, 1) and b"No errors detected" in r.stdout, r.stdout


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_stop_while_the_package_is_written_keeps_the_earlier_one(tmp_path, sig):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    assert run_publish(["--only-package", "mygame"], inst).returncode == 0
    before = (inst / PACKAGE).read_bytes()
    add_big_game(inst)
    p = start_publish(inst)
    temp = ".mygame-linux-amd64.bin.brindlecot-tmp-%d" % p.pid
    assert wait_for(lambda: (inst / "builds" / temp).exists() or p.poll() is not None)
    p.send_signal(sig)
    out, _ = p.communicate(timeout=120)
    assert p.returncode == -sig
    after = (inst / PACKAGE).read_bytes()
    if after != before:  # the run finished before the signal came
        zip_reads_back(inst / PACKAGE)
    assert temporaries(inst) == []
    said = [l for l in out.decode().splitlines() if "Interrupted by" in l]
    assert len(said) == 1, out
    name = "SIGINT" if sig == signal.SIGINT else "SIGTERM"
    assert said[0].startswith("! Interrupted by %s: " % name)
    if after == before:
        assert "removed the unfinished builds/mygame-linux-amd64.bin" in said[0]
    assert "Press ENTER" not in out.decode()
    assert "Packaging failed!" not in out.decode()


def test_a_second_run_refuses_at_once_and_the_first_finishes(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64", "html5"])
    add_big_game(inst, files=60)
    first = start_publish(inst)
    lock = inst / ".brindlecot" / "publish.lock"
    assert wait_for(lambda: lock.exists() and lock.read_text().strip() == str(first.pid))
    log = inst / "logs" / "brindlecot-publish.txt"
    assert wait_for(lambda: log.exists() and log.stat().st_size > 0)
    started = time.monotonic()
    second = subprocess.run([PUBLISH, "--only-package", "mygame"], cwd=str(inst),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    assert time.monotonic() - started < 10
    assert second.returncode != 0
    assert second.stderr.decode().strip() == (
        "Another publish is running in this installation (process %d); "
        "try again when it has finished." % first.pid)
    assert second.stdout == b""
    out, _ = first.communicate(timeout=300)
    assert first.returncode == 0, out
    text = log.read_text(errors="replace")
    assert "Starting publish" in text and text.count("Log started at") == 1
    zip_reads_back(inst / PACKAGE)
    zip_reads_back(inst / "builds" / "mygame-html5.zip")
    assert temporaries(inst) == []


def test_icon_and_download_modes_take_no_lock(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    add_big_game(inst, files=60)
    first = start_publish(inst)
    lock = inst / ".brindlecot" / "publish.lock"
    assert wait_for(lambda: lock.exists() and lock.read_text().strip() == str(first.pid))
    r = subprocess.run([PUBLISH, "--make-ico", "mygame/metadata/icon.png", "out.ico"],
                       cwd=str(inst), stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert r.returncode == 0, r.stdout
    first.communicate(timeout=300)
    assert first.returncode == 0


def test_temporary_files_of_a_killed_run_are_removed_by_the_next(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    (inst / "builds").mkdir()
    dead = "builds/.mygame-linux-amd64.bin.brindlecot-tmp-999999999"
    (inst / dead).write_bytes(b"half a package")
    (inst / ".brindlecot" / ".mygame.ico.brindlecot-tmp-999999998").write_bytes(b"half")
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0
    assert ("Removed unfinished files left by a run that was stopped: %s, "
            ".brindlecot/.mygame.ico.brindlecot-tmp-999999998" % dead) in texts(r, "- ")
    assert temporaries(inst) == []
    zip_reads_back(inst / PACKAGE)
    again = run_publish(["--only-package", "mygame"], inst)
    assert not any("Removed unfinished" in l for l in lines(again))


def test_a_killed_run_leaves_no_partial_file_under_the_package_name(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    add_big_game(inst, files=60)
    p = start_publish(inst)
    temp = inst / "builds" / (".mygame-linux-amd64.bin.brindlecot-tmp-%d" % p.pid)
    assert wait_for(lambda: temp.exists() or p.poll() is not None)
    p.kill()
    p.communicate(timeout=60)
    assert not (inst / PACKAGE).exists()
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0
    assert temporaries(inst) == []
    zip_reads_back(inst / PACKAGE)


HUGE = 300 * 1024 * 1024


def add_huge_file(inst):
    """One 300 MiB file that deflate cannot shrink (a random MiB repeated
    lies beyond its window), quick to write: its first pass takes seconds."""
    block = random.Random(6).randbytes(1024 * 1024)
    with open(inst / "mygame" / "huge.bin", "wb") as f:
        for _ in range(HUGE // len(block)):
            f.write(block)


@pytest.fixture(scope="module")
def huge_game(tmp_path_factory):
    inst = build_installation(tmp_path_factory.mktemp("huge") / "inst",
                              keep_stubs=["linux-amd64", "ios-device"])
    add_huge_file(inst)
    return inst


def read_lines_as_they_come(p):
    """The process's lines, each with the time it arrived, filled in by a
    thread while the test goes on."""
    seen = []

    def read():
        for raw in p.stdout:
            seen.append((time.monotonic(), raw.decode(errors="replace").rstrip("\n")))
    thread = threading.Thread(target=read, daemon=True)
    thread.start()
    return seen, thread


def test_stop_during_the_first_pass_ends_the_run_within_a_second(huge_game):
    p = start_publish(huge_game, "--platforms=linux-amd64")
    seen, reader = read_lines_as_they_come(p)
    # The metadata's last line comes just before the first pass.
    assert wait_for(lambda: any(l.startswith("- Package ID: ") for _, l in seen)
                    or p.poll() is not None, 60)
    time.sleep(1.0)
    assert p.poll() is None
    assert not any("Building for platform" in l for _, l in seen), "the first pass was over"
    p.send_signal(signal.SIGINT)
    sent = time.monotonic()
    p.wait(timeout=60)
    ended = time.monotonic()
    reader.join(timeout=10)
    assert p.returncode == -signal.SIGINT
    # Within a piece of the file on each worker: well under the bound.
    assert ended - sent < 1.0, ended - sent
    said = [l for _, l in seen if "Interrupted by" in l]
    assert said == ["! Interrupted by SIGINT: no file was left unfinished; every other file "
                    "is as it was before the run"], seen[-5:]
    assert temporaries(huge_game) == []
    assert not (huge_game / PACKAGE).exists()


def test_no_package_to_build_leaves_the_first_pass_nothing_to_do(huge_game, tmp_path):
    """The first pass reads what it compresses: with no package to build,
    the traced run opens the game's metadata and none of its files."""
    import shutil
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is needed to see which files the run opens")
    trace = tmp_path / "opens.txt"
    r = subprocess.run([strace, "-f", "-qq", "-o", str(trace), "-e", "trace=/^open",
                        PUBLISH, "--set", "log.timing", "false", "--only-package",
                        "--platforms=ios-device", "mygame"],
                       cwd=str(huge_game), stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=120)
    assert r.returncode == 0, lines(r)[-5:]
    assert "All platform builds are complete!" in texts(r, "- ")
    opens = trace.read_text(errors="replace")
    assert "game_metadata.txt" in opens, "the trace shows no open of the metadata"
    assert "huge.bin" not in opens


# What a stop leaves of the build trees: each tree and package is the
# earlier one, the whole new one, or named by the line.

GAME_VERSION = "1.0"
LARGE_STUBS = ["linux-amd64", "html5", "macos", "android", "googleplay"]
TREES = {"html5": "mygame-html5-1.0", "macos": "mygame-mac-1.0",
         "android": "mygame-android-1.0", "googleplay": "mygame-googleplay-1.0"}
PACKAGES = {"linux-amd64": "mygame-linux-amd64.bin", "html5": "mygame-html5.zip",
            "macos": "mygame-macos.zip", "android": "mygame-android.apk",
            "googleplay": "mygame-googleplay.aab"}


def add_many_files(inst, count, seed, size=(100, 30000)):
    rng = random.Random(seed)
    data = inst / "mygame" / "data"
    for i in range(count):
        d = data / ("d%02d" % (i % 20))
        d.mkdir(parents=True, exist_ok=True)
        (d / ("f%04d.txt" % i)).write_bytes(rng.randbytes(rng.randint(*size)))


def change_game(inst):
    """A new version of some files, one more and one fewer, so that the
    earlier builds and the new ones differ."""
    data = inst / "mygame" / "data"
    for i in range(0, 400, 37):
        (data / ("d%02d" % (i % 20)) / ("f%04d.txt" % i)).write_bytes(b"changed %d" % i)
    (data / "added.txt").write_bytes(b"a file the earlier builds lack")
    (data / "d01" / "f0001.txt").unlink()


def digest_tree(root):
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in filenames + [d for d in dirnames if os.path.islink(os.path.join(dirpath, d))]:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                out[rel] = ("link", os.readlink(path))
            else:
                with open(path, "rb") as f:
                    out[rel] = hashlib.sha256(f.read()).hexdigest()
    return out


def digest_package(path):
    with zipfile.ZipFile(str(path)) as z:
        return {i.filename: hashlib.sha256(z.read(i)).hexdigest() for i in z.infolist()}


def results(inst):
    """Every result tree and package under builds/, by name: a digest of
    what it holds (None when missing)."""
    builds = inst / "builds"
    out = {}
    for name in list(TREES.values()) + list(PACKAGES.values()):
        path = builds / name
        if not os.path.lexists(path):
            out[name] = None
        elif path.is_dir():
            out[name] = digest_tree(path)
        else:
            out[name] = digest_package(path)
    return out


class Line:
    """The claims of one stop line."""
    UNFINISHED = re.compile(r"deleted builds/(\S+) of an earlier run and left this run's "
                            r"unfinished \(run again to make it\)|left builds/(\S+) unfinished "
                            r"\(run again to make it\)")
    WHOLE = re.compile(r"made builds/(\S+) anew but not its package \(run again to make it\)")
    DELETED = re.compile(r"deleted builds/(\S+) of an earlier run \(run again to make it\)")

    def __init__(self, text):
        self.text = text
        self.unfinished = {a or b for a, b in self.UNFINISHED.findall(text)}
        self.whole_tree = set(self.WHOLE.findall(text))
        self.deleted = set(self.DELETED.findall(text))
        m = re.search(r"complete from this run: ([^;]*)", text)
        self.complete = [] if not m or m.group(1) == "none" else m.group(1).split(", ")
        m = re.search(r"removed the unfinished ([^;]*)", text)
        self.removed = m.group(1).split(", ") if m else []
        self.rest_as_before = text.endswith("; every other file is as it was before the run")

    def named(self):
        return self.unfinished | self.whole_tree | self.deleted


def check_line_against(line, now, earlier, fresh):
    """Every claim holds, and whatever the line does not name is as before."""
    seen = set()
    for platform in line.complete:
        for name in (PACKAGES.get(platform), TREES.get(platform)):
            if name:
                assert now[name] == fresh[name], (name, line.text)
                seen.add(name)
    for name in line.whole_tree:
        assert now[name] == fresh[name], (name, line.text)
    for name in line.unfinished:
        assert now[name] != fresh[name], (name, line.text)
        if "deleted builds/%s of an earlier run" % name in line.text:
            assert now[name] != earlier[name], (name, line.text)
    for name in line.deleted:
        assert now[name] is None, (name, line.text)
    for path in line.removed:
        assert os.path.basename(path) in PACKAGES.values(), line.text
    assert line.rest_as_before, line.text
    for name in set(now) - seen - line.named():
        assert now[name] == earlier[name], (name, line.text)


@pytest.fixture(scope="module")
def large_game(tmp_path_factory):
    """An installation with the earlier builds of a 400-file game, the new
    version of the game in place, and the digests of both builds."""
    base = tmp_path_factory.mktemp("large")
    inst = build_installation(base / "inst", keep_stubs=LARGE_STUBS)
    add_many_files(inst, 400, seed=39)
    assert run_publish(["--only-package", "mygame"], inst).returncode == 0
    shutil.copytree(inst / "builds", base / "earlier", symlinks=True)
    earlier = results(inst)
    change_game(inst)
    started = time.monotonic()
    r = run_publish(["--only-package", "mygame"], inst)
    took = time.monotonic() - started
    assert r.returncode == 0, lines(r)[-5:]
    fresh = results(inst)
    for name in fresh:
        assert fresh[name] is not None and fresh[name] != earlier[name], name
    return inst, base / "earlier", earlier, fresh, took


def restore_builds(inst, saved):
    shutil.rmtree(inst / "builds")
    shutil.copytree(saved, inst / "builds", symlinks=True)


def stop_line(out):
    said = [l for l in out.decode(errors="replace").splitlines() if "Interrupted by" in l]
    assert len(said) == 1, said
    return said[0]


def test_stops_at_random_points_leave_each_result_as_before_new_or_named(large_game):
    inst, saved, earlier, fresh, took = large_game
    rng = random.Random(3903)
    outcomes = []
    for _ in range(16):
        restore_builds(inst, saved)
        sig = rng.choice([signal.SIGTERM, signal.SIGINT])
        p = start_publish(inst)
        # From the lock on the stop is caught (before it, nothing is touched).
        lock = inst / ".brindlecot" / "publish.lock"
        assert wait_for(lambda: p.poll() is not None or (
            lock.exists() and lock.read_text().strip() == str(p.pid)))
        time.sleep(rng.uniform(0.0, took * 1.1))
        p.send_signal(sig)
        out, _ = p.communicate(timeout=120)
        assert temporaries(inst) == []
        now = results(inst)
        if p.returncode == 0:  # the run was over before the signal came
            assert now == fresh
            outcomes.append("finished")
            continue
        assert p.returncode == -sig, out[-2000:]
        text = stop_line(out)
        assert text.startswith("! Interrupted by %s: " % signal.Signals(sig).name)
        line = Line(text)
        check_line_against(line, now, earlier, fresh)
        outcomes.append("trees named" if line.named() else "none named")
    # The points are spread over the run: some stops find a tree in the making.
    assert "trees named" in outcomes, outcomes


def test_stop_while_a_tree_is_staged_names_that_tree(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["html5"])
    add_many_files(inst, 3000, seed=7, size=(10, 200))
    assert run_publish(["--only-package", "mygame"], inst).returncode == 0
    package = inst / "builds" / PACKAGES["html5"]
    earlier = package.read_bytes()
    (inst / "mygame" / "data" / "added.txt").write_bytes(b"new")
    # Gone with the earlier tree, so that the tree seen after is the new one.
    mark = inst / "builds" / TREES["html5"] / "earlier.txt"
    mark.write_bytes(b"")
    p = start_publish(inst)
    seen, reader = read_lines_as_they_come(p)  # a full pipe would hold the run
    staged = inst / "builds" / TREES["html5"] / "gamedata" / "data"
    assert wait_for(lambda: (not mark.exists() and staged.exists()) or p.poll() is not None)
    p.send_signal(signal.SIGTERM)
    p.wait(timeout=120)
    reader.join(timeout=10)
    assert p.returncode == -signal.SIGTERM, seen[-5:]
    assert stop_line("\n".join(l for _, l in seen).encode()) == (
        "! Interrupted by SIGTERM: deleted builds/mygame-html5-1.0 of an earlier run and left "
        "this run's unfinished (run again to make it); complete from this run: none; every "
        "other file is as it was before the run")
    assert package.read_bytes() == earlier
    assert temporaries(inst) == []


SLOW_BUTLER = r'''#!/usr/bin/python3
import os, sys, time
if sys.argv[1:2] == ["push"]:
    with open(os.environ["SLOW_BUTLER_MARK"], "a") as f:
        f.write(sys.argv[3] + "\n")
    time.sleep(60)
'''


def test_stop_during_the_upload_says_this_runs_packages_are_in_place(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64", "html5"])
    butler = inst / ".brindlecot" / "itchio-butler" / "butler"
    butler.parent.mkdir(parents=True)
    butler.write_text(SLOW_BUTLER)
    butler.chmod(0o755)
    mark = tmp_path / "pushing"
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["SLOW_BUTLER_MARK"] = str(mark)
    p = subprocess.Popen([PUBLISH, "--set", "log.timing", "false", "mygame"], cwd=str(inst),
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=env)
    assert wait_for(lambda: mark.exists() or p.poll() is not None, 120)
    started = time.monotonic()
    p.send_signal(signal.SIGTERM)
    out, _ = p.communicate(timeout=60)
    assert time.monotonic() - started < 30  # butler was stopped, not waited for
    assert p.returncode == -signal.SIGTERM, out[-2000:]
    text = stop_line(out)
    built = re.search(r"complete from this run: ([^;]*);", text).group(1).split(", ")
    assert sorted(built) == ["html5", "linux-amd64"], text
    assert text.endswith("; this run's packages are in place, and the upload to itch.io was "
                         "under way: publish again to upload them"), text
    assert "every other file is as it was before the run" not in text
    for name in ("mygame-linux-amd64.bin", "mygame-html5.zip"):
        zip_reads_back(inst / "builds" / name)


def test_stop_before_any_tree_is_touched_leaves_every_file_as_before(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["html5", "macos"])
    assert run_publish(["--only-package", "mygame"], inst).returncode == 0
    earlier = results(inst)
    # The first pass over this file takes seconds, before any build starts.
    add_huge_file(inst)
    p = start_publish(inst)
    seen, reader = read_lines_as_they_come(p)
    assert wait_for(lambda: any(l.startswith("- Package ID: ") for _, l in seen)
                    or p.poll() is not None, 60)
    time.sleep(0.5)
    assert not any("Building for platform" in l for _, l in seen), "the first pass was over"
    p.send_signal(signal.SIGINT)
    p.wait(timeout=60)
    reader.join(timeout=10)
    assert p.returncode == -signal.SIGINT
    said = [l for _, l in seen if "Interrupted by" in l]
    assert said == ["! Interrupted by SIGINT: no file was left unfinished; every other file "
                    "is as it was before the run"], seen[-5:]
    assert results(inst) == earlier
