"""Start-up, command line and exit of the real brindlecot-publish."""
import os
import shutil
import subprocess

import pytest

from conftest import PUBLISH


def run(args, cwd, exe=PUBLISH):
    return subprocess.run([exe] + args, cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=60)


def usage_lines(exe):
    return ["", "", "", "USAGE: %s [--only-package] game_directory" % exe, "", "", ""]


def error_texts(stdout):
    """The texts of the error lines on standard output ("! " prefix, with
    the timing column switched off by the test)."""
    return [l[2:] for l in stdout.decode().splitlines() if l.startswith("! ")]


def test_help_prints_seven_usage_lines_and_exits_1(tmp_path):
    r = run(["--set", "log.timing", "false", "--help"], tmp_path)
    assert r.returncode == 1
    assert error_texts(r.stdout) == usage_lines(PUBLISH)
    assert b"Press ENTER to quit." not in r.stdout


def test_log_file_has_crlf_lines_and_start_line(tmp_path):
    r = run(["--help"], tmp_path)
    assert r.returncode == 1
    data = (tmp_path / "logs" / "brindlecot-publish.txt").read_bytes()
    assert data.startswith(b"* 000000 Log started at ")
    lines = data.split(b"\r\n")
    assert lines[-1] == b""
    assert all(b"\n" not in l and b"\r" not in l for l in lines)
    assert b"Logging shutting down" in lines[-2]


def test_timing_column_can_be_switched_off(tmp_path):
    on = run(["--help"], tmp_path)
    assert any(l.startswith("! 0000") for l in on.stdout.decode().splitlines())
    off = run(["--set", "log.timing", "false", "--help"], tmp_path)
    assert not any(l[2:3].isdigit() for l in off.stdout.decode().splitlines())


def test_locked_log_level_is_refused(tmp_path):
    r = run(["--set", "log.level", "debug", "--help"], tmp_path)
    assert b"Refusing to set locked cvar 'log.level' to 'debug'" in r.stdout


@pytest.mark.parametrize("args, report", [
    (["a", "b", "c"], None),
    (["game", "extra"], None),
    (["--make-ico", "only-one"], None),
    (["--make-icns", "only-one"], None),
    (["--download", "only-one"], None),
    (["a", "b", "c", "--download"], "Download failed!"),
    (["--help", "--only-package", "missing-game"], "Packaging failed!"),
    (["missing-game", "--set", "x"], "Publishing failed!"),
    (["--set", "log.subsystem", "false", "missing-game"], "Publishing failed!"),
    (["--platforms=x", "--platforms=", "--only-package", "missing-game", "--set"],
     "Packaging failed!"),
])
def test_command_line_table(tmp_path, args, report):
    r = run(["--set", "log.timing", "false"] + args, tmp_path)
    assert r.returncode == 1
    errors = error_texts(r.stdout)
    if report is None:
        assert errors[-7:] == usage_lines(PUBLISH)
    else:
        assert errors[-3:] == ["", report, ""]


def test_no_arguments_without_mygame_writes_beside_the_program(tmp_path):
    bindir = tmp_path / "bin"
    work = tmp_path / "work"
    bindir.mkdir()
    work.mkdir()
    exe = str(bindir / "brindlecot-publish")
    shutil.copy(PUBLISH, exe)
    r = run([], work, exe=exe)
    assert r.returncode == 1
    assert (bindir / "logs" / "brindlecot-publish.txt").exists()
    assert not (work / "logs").exists()


def test_no_arguments_with_mygame_stays_in_the_current_directory(tmp_path):
    bindir = tmp_path / "bin"
    work = tmp_path / "work"
    bindir.mkdir()
    (work / "mygame").mkdir(parents=True)
    exe = str(bindir / "brindlecot-publish")
    shutil.copy(PUBLISH, exe)
    run([], work, exe=exe)
    assert (work / "logs" / "brindlecot-publish.txt").exists()
    assert not (bindir / "logs").exists()
