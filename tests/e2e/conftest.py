"""Shared by every end-to-end test: where the source and the build are, the
programs under test, the one way to write an installation, the exit code
of a run in which every case skipped, and the record of what skipped.

CTest sets BRINDLECOT_BUILD_DIR and BRINDLECOT_SOURCE_DIR; run by hand,
pytest finds the source from this file and the build in its build/."""
import json
import os
import pathlib
import shutil
import subprocess

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get(
    "BRINDLECOT_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2])).resolve()
BUILD_DIR = pathlib.Path(os.environ.get("BRINDLECOT_BUILD_DIR", SOURCE_DIR / "build")).resolve()
DEBIAN_PYTHON = "/usr/bin/python3"
GENERATOR = SOURCE_DIR / "tools" / "make_installation.py"
RUNTIME_STUB = BUILD_DIR / "tools" / "brindlecot-runtime-stub"
PUBLISH = str(BUILD_DIR / "publish" / "brindlecot-publish")
HTTPD = str(BUILD_DIR / "httpd" / "brindlecot-httpd")
STUBS = os.path.join(".brindlecot", "stubs")


def build_installation(dest, with_game=True, keep_stubs=None):
    """Writes a complete installation (stub directory, the five default
    files and, unless with_game is false, the demo game mygame/) into dest,
    which is created if missing. When keep_stubs is given, every other stub
    entry is removed. Returns dest as a pathlib.Path."""
    dest = pathlib.Path(dest)
    args = [DEBIAN_PYTHON, str(GENERATOR), "--runtime-stub", str(RUNTIME_STUB), str(dest)]
    if not with_game:
        args.append("--no-game")
    result = subprocess.run(args, capture_output=True, timeout=120)
    if result.returncode != 0:
        raise RuntimeError("make_installation.py failed: %s" % result.stderr.decode(errors="replace"))
    if keep_stubs is not None:
        stubs = stubs_dir(dest)
        for entry in stubs.iterdir():
            if entry.name in keep_stubs:
                continue
            if entry.is_dir():
                shutil.rmtree(entry)
            else:
                entry.unlink()
    return dest


def stubs_dir(installation):
    return pathlib.Path(installation) / STUBS


# pytest exits 0 when every case of a file skips (5 when the whole file
# skips at collection), and CTest would call the one a pass and the other a
# failure. A run in which no case ran but some skipped exits with this code
# instead, which CTest reports as a skip (SKIP_RETURN_CODE in
# tests/CMakeLists.txt). A failure or an error keeps its own code, and so
# does a file with no case at all.
EXIT_NOTHING_RAN = 77
_outcomes = {"ran": 0, "skipped": 0}

# CTest sees a file only as one exit code, so a case that skipped in a file
# that passed would go unseen. Under CTest each run writes its skipped
# cases, each with pytest's reason, as JSON to the file this names (one per
# CTest test, tests/CMakeLists.txt); tools/lib/skipped_line.py reads them
# after the run. Run by hand, pytest's own -rs summary is enough.
SKIP_RECORD_VARIABLE = "BRINDLECOT_SKIP_RECORD"
_skipped_cases = []


def skip_reason(report):
    """The reason as pytest's -rs summary prints it, on one line. An
    expected failure that was not run gives its mark's reason."""
    longrepr = report.longrepr
    if hasattr(report, "wasxfail"):
        reason = report.wasxfail
    elif isinstance(longrepr, tuple) and len(longrepr) == 3:
        reason = str(longrepr[2])
    else:
        reason = str(longrepr)
    if reason.startswith("Skipped: "):
        reason = reason[len("Skipped: "):]
    return " ".join(reason.split())


def _note_skip(report):
    _outcomes["skipped"] += 1
    if all(case["case"] != report.nodeid for case in _skipped_cases):
        _skipped_cases.append({"case": report.nodeid, "reason": skip_reason(report)})


def pytest_sessionstart(session):
    # A run that dies before its end must not leave an earlier run's record
    # to speak for it.
    path = os.environ.get(SKIP_RECORD_VARIABLE)
    if path:
        pathlib.Path(path).unlink(missing_ok=True)


def pytest_collectreport(report):
    if report.skipped:
        _note_skip(report)


def pytest_runtest_logreport(report):
    # A case ran when its body did, whatever its outcome; an expected
    # failure ran too (pytest reports it as a skip that carries wasxfail).
    if report.when == "call" and (not report.skipped or hasattr(report, "wasxfail")):
        _outcomes["ran"] += 1
    elif report.skipped:
        _note_skip(report)


def write_skip_record(path):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(path.name + ".partial")
    partial.write_text(json.dumps({"skipped": _skipped_cases}, indent=1) + "\n")
    os.replace(partial, path)


def pytest_sessionfinish(session, exitstatus):
    if exitstatus in (pytest.ExitCode.OK, pytest.ExitCode.NO_TESTS_COLLECTED) and \
            _outcomes["ran"] == 0 and _outcomes["skipped"] > 0:
        session.exitstatus = EXIT_NOTHING_RAN
    path = os.environ.get(SKIP_RECORD_VARIABLE)
    if path:
        write_skip_record(path)
