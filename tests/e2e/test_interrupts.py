"""Runs that stop half-way or meet each other: a package takes its name
only when whole, a stop signal leaves the earlier package or a complete new
one and ends the process by that signal, one run at a time per
installation, and temporary files of a killed run are cleared by the next."""
import os
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
