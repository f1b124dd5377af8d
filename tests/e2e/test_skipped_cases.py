"""A test file whose cases all skipped must show in CTest as skipped, never
as passed: conftest.py turns such a run's exit code into 77, and every
pytest file CTest runs takes 77 as a skip. A failure or an error still
fails, and a file in which one case ran still passes. A case that skipped
inside a file that passed is recorded by conftest.py and named, with its
reason, on the last line of tools/test-all.sh."""
import json
import os
import pathlib
import shutil
import socket
import subprocess
import tempfile

import pytest

import conftest
from conftest import BUILD_DIR, DEBIAN_PYTHON

HERE = pathlib.Path(__file__).resolve().parent
TEST_ALL = conftest.SOURCE_DIR / "tools" / "test-all.sh"
SKIPPED_LINE = conftest.SOURCE_DIR / "tools" / "lib" / "skipped_line.py"
CTEST = shutil.which("ctest")
RECORD = conftest.SKIP_RECORD_VARIABLE

ALL_SKIP = """
import pytest

@pytest.mark.skipif(True, reason="nothing to run it on")
def test_marked():
    pass

def test_skips_in_its_body():
    pytest.skip("found nothing to run it on")
"""
MODULE_SKIP = """
import pytest
pytest.skip("nothing in this file can run here", allow_module_level=True)

def test_never_collected():
    pass
"""
ONE_RUNS = ALL_SKIP + """
def test_runs():
    pass
"""
ONE_FAILS = ALL_SKIP + """
def test_fails():
    assert False
"""
SETUP_ERROR = ALL_SKIP + """
@pytest.fixture
def broken():
    raise RuntimeError("the fixture breaks")

def test_errors(broken):
    pass
"""
EXPECTED_FAILURE = ALL_SKIP + """
@pytest.mark.xfail(reason="known")
def test_known_failure():
    assert False
"""
# The shape of the daemon's port cases: one parameter needs a port that
# another program holds.
ONE_CASE_SKIPS = """
import pytest

@pytest.mark.parametrize("port", [8080, 0])
def test_port(port):
    if port == 8080:
        pytest.skip("port 8080 is taken by another program on this machine")
"""
# pytest's summary folds these into one "SKIPPED [3]" line; each is a case.
SHARED_REASON = """
import pytest

@pytest.mark.skipif(True, reason="one reason for all three")
@pytest.mark.parametrize("n", [1, 2, 3])
def test_each(n):
    pass

def test_runs():
    pass
"""
ALL_RUN = """
def test_runs():
    pass
"""
# Ends the process mid-run, as a crash or CTest's timeout would.
DIES = """
import os

def test_dies():
    os._exit(3)
"""

NO_CASE = """
def helper():
    pass
"""

# Each file's exit code, and the skipped cases its record lists (pytest's
# node id, less the file name, and the reason).
BOTH_SKIPS = [("test_marked", "nothing to run it on"),
              ("test_skips_in_its_body", "found nothing to run it on")]
CASES = [
    ("all_skip", ALL_SKIP, conftest.EXIT_NOTHING_RAN, BOTH_SKIPS),
    ("module_skip", MODULE_SKIP, conftest.EXIT_NOTHING_RAN,
     [("", "nothing in this file can run here")]),
    ("one_runs", ONE_RUNS, 0, BOTH_SKIPS),
    ("one_case_skips", ONE_CASE_SKIPS, 0,
     [("test_port[8080]", "port 8080 is taken by another program on this machine")]),
    ("shared_reason", SHARED_REASON, 0,
     [("test_each[%d]" % n, "one reason for all three") for n in (1, 2, 3)]),
    ("all_run", ALL_RUN, 0, []),
    ("one_fails", ONE_FAILS, 1, BOTH_SKIPS),
    ("setup_error", SETUP_ERROR, 1, BOTH_SKIPS),
    ("expected_failure", EXPECTED_FAILURE, 0, BOTH_SKIPS),
    # Nothing to run and nothing skipped: a file registered by mistake.
    ("no_case", NO_CASE, pytest.ExitCode.NO_TESTS_COLLECTED, []),
]


def write_project(root, name, text):
    """A test directory that holds this suite's conftest.py and one file."""
    root.mkdir(exist_ok=True)
    shutil.copy(HERE / "conftest.py", root / "conftest.py")
    shutil.copy(HERE / "pytest.ini", root / "pytest.ini")
    path = root / ("test_%s.py" % name)
    path.write_text(text)
    return path


def pytest_command(path):
    return [DEBIAN_PYTHON, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(path)]


def environment(record=None):
    """This run's environment without its own record, which a pytest run
    inside it would otherwise overwrite; with record, the one to write."""
    env = {k: v for k, v in os.environ.items() if k != RECORD}
    if record is not None:
        env[RECORD] = str(record)
    return env


def recorded(record, file_name):
    """The record's cases as (node id less the file, reason); a skip of the
    whole file is named by the file alone."""
    found = []
    for case in json.loads(record.read_text())["skipped"]:
        name = case["case"]
        assert name == file_name or name.startswith(file_name + "::"), name
        found.append((name[len(file_name) + 2:], case["reason"]))
    return found


@pytest.mark.parametrize("name,text,code,skips", CASES, ids=[c[0] for c in CASES])
def test_exit_code_says_whether_a_case_ran(tmp_path, name, text, code, skips):
    path = write_project(tmp_path, name, text)
    record = tmp_path / "records" / (name + ".json")
    result = subprocess.run(pytest_command(path), cwd=tmp_path, capture_output=True,
                            timeout=120, env=environment(record))
    assert result.returncode == code, result.stdout.decode(errors="replace")
    assert recorded(record, path.name) == skips


def test_run_that_dies_leaves_no_record(tmp_path):
    """An earlier run's record must not speak for a run that never ended."""
    path = write_project(tmp_path, "dies", DIES)
    record = tmp_path / "dies.json"
    record.write_text(json.dumps({"skipped": [{"case": "old", "reason": "earlier run"}]}))
    result = subprocess.run(pytest_command(path), cwd=tmp_path, capture_output=True,
                            timeout=120, env=environment(record))
    assert result.returncode == 3, result.stdout.decode(errors="replace")
    assert not record.exists()


def test_run_by_hand_writes_no_record(tmp_path):
    path = write_project(tmp_path, "one_runs", ONE_RUNS)
    result = subprocess.run(pytest_command(path), cwd=tmp_path, capture_output=True,
                            timeout=120, env=environment())
    assert result.returncode == 0, result.stdout.decode(errors="replace")
    assert sorted(p.name for p in tmp_path.iterdir()) == \
        ["conftest.py", "pytest.ini", "test_one_runs.py"]


@pytest.mark.parametrize("selection,code", [
    ("not test_runs", conftest.EXIT_NOTHING_RAN),
    ("test_runs", 0),
    ("no_such_case", pytest.ExitCode.NO_TESTS_COLLECTED),
])
def test_deselected_cases_leave_a_skip_a_skip(tmp_path, selection, code):
    path = write_project(tmp_path, "one_runs", ONE_RUNS)
    args = pytest_command(path) + ["-k", selection]
    result = subprocess.run(args, cwd=tmp_path, capture_output=True, timeout=120,
                            env=environment())
    assert result.returncode == code, result.stdout.decode(errors="replace")


def pytest_tests_of_this_build():
    # Listed through a scratch directory that includes the build: CTest
    # rewrites the LastTest.log of the directory it lists, and the build's
    # is the running suite's own.
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="ctest-list-"))
    try:
        (scratch / "CTestTestfile.cmake").write_text('subdirs("%s")\n' % BUILD_DIR)
        listed = subprocess.run([CTEST, "--test-dir", str(scratch), "--show-only=json-v1"],
                                capture_output=True, timeout=120, check=True)
    finally:
        shutil.rmtree(scratch)
    tests = json.loads(listed.stdout)["tests"]
    return [t for t in tests if "pytest" in t.get("command", [])]


@pytest.mark.skipif(CTEST is None, reason="ctest is not installed")
def test_every_pytest_file_registered_takes_the_exit_code_as_a_skip():
    tests = pytest_tests_of_this_build()
    assert len(tests) > 20
    without = [t["name"] for t in tests
               if {"name": "SKIP_RETURN_CODE", "value": conftest.EXIT_NOTHING_RAN}
               not in t.get("properties", [])]
    assert without == []


def property_of(test, name):
    return next((p["value"] for p in test.get("properties", []) if p["name"] == name), None)


def record_of(test):
    """The record the registration names, as a path below the build."""
    for entry in property_of(test, "ENVIRONMENT") or []:
        if entry.startswith(RECORD + "="):
            return pathlib.Path(entry.split("=", 1)[1]).relative_to(BUILD_DIR)
    return None


@pytest.mark.skipif(CTEST is None, reason="ctest is not installed")
def test_every_pytest_file_registered_records_its_skips_where_test_all_reads_them():
    tests = pytest_tests_of_this_build()
    records = {t["name"]: record_of(t) for t in tests}
    wrong = [name for name, record in records.items()
             if record is None or record.name != name + ".json"]
    assert wrong == []
    (directory,) = {record.parent for record in records.values()}
    call = TEST_ALL.read_text()
    call = call[call.index("tools/lib/skipped_line.py build/"):]
    call = call[:call.index("||")]
    assert call.split()[-1] == "build/%s" % directory, call


def write_ctest_project(root, files, skip_code):
    """A CTest directory with one test per (name, text), each a pytest file
    registered as tests/CMakeLists.txt registers them."""
    lines = []
    for name, text in files:
        path = write_project(root / name, name, text)
        command = " ".join('"%s"' % a for a in pytest_command(path))
        lines.append("add_test(%s %s)" % (name, command))
        lines.append('set_tests_properties(%s PROPERTIES SKIP_RETURN_CODE %d ENVIRONMENT "%s=%s")'
                     % (name, skip_code, RECORD, root / "records" / (name + ".json")))
    (root / "CTestTestfile.cmake").write_text("\n".join(lines) + "\n")


def run_ctest(root):
    """CTest's report of the run, and the line tools/test-all.sh ends with
    for it."""
    result = subprocess.run([CTEST, "--test-dir", str(root), "-j4"], capture_output=True,
                            timeout=300, env=environment())
    (root / "summary.log").write_bytes(result.stdout)
    line = skipped_line(root / "summary.log", root / "records")
    return result, result.stdout.decode(errors="replace"), line


def registered_skip_code():
    registered = {t["name"]: t for t in pytest_tests_of_this_build()}
    return property_of(registered["e2e_skipped_cases"], "SKIP_RETURN_CODE")


PORT_SKIP = "port 8080 is taken by another program on this machine"
SKIP_LINES = [
    ("nothing_skipped", [("all_run", ALL_RUN)], "0 tests skipped"),
    ("case_skipped_in_a_pass", [("all_run", ALL_RUN), ("one_case_skips", ONE_CASE_SKIPS)],
     "1 case skipped inside a test that ran: one_case_skips: test_port[8080] (%s)" % PORT_SKIP),
    ("shared_reason_counts_each_case", [("shared_reason", SHARED_REASON)],
     "3 cases skipped inside a test that ran: shared_reason: test_each[1] (one reason for all"
     " three), shared_reason: test_each[2] (one reason for all three), shared_reason:"
     " test_each[3] (one reason for all three)"),
    ("whole_and_inside", [("module_skip", MODULE_SKIP), ("one_case_skips", ONE_CASE_SKIPS),
                          ("one_fails", ONE_FAILS)],
     "1 test skipped: module_skip (nothing in this file can run here); 3 cases skipped inside"
     " tests that ran: one_case_skips: test_port[8080] (%s), one_fails: test_marked (nothing"
     " to run it on), one_fails: test_skips_in_its_body (found nothing to run it on)"
     % PORT_SKIP),
]


@pytest.mark.skipif(CTEST is None, reason="ctest is not installed")
@pytest.mark.parametrize("files,line", [r[1:] for r in SKIP_LINES],
                         ids=[r[0] for r in SKIP_LINES])
def test_last_line_names_every_skipped_test_and_case(tmp_path, files, line):
    write_ctest_project(tmp_path, files, registered_skip_code())
    # A record of a test that is not in this run says nothing about it.
    (tmp_path / "records").mkdir()
    (tmp_path / "records" / "not_run.json").write_text(
        json.dumps({"skipped": [{"case": "test_old.py::test_old", "reason": "earlier run"}]}))
    result, out, got = run_ctest(tmp_path)
    assert got == line, out


@pytest.mark.skipif(CTEST is None, reason="ctest is not installed")
def test_ctest_shows_the_all_skipped_file_as_skipped(tmp_path):
    """The registration's own properties, on three files, read back from
    CTest's own report."""
    write_ctest_project(tmp_path, [("all_skip", ALL_SKIP), ("one_runs", ONE_RUNS),
                                   ("one_fails", ONE_FAILS)], registered_skip_code())
    result, out, line = run_ctest(tmp_path)
    assert result.returncode != 0, out
    assert "The following tests did not run:" in out, out
    report = out.splitlines()
    assert [l.split(" - ")[1] for l in report if "(Skipped)" in l] == ["all_skip (Skipped)"], out
    assert [l.split(" - ")[1] for l in report if "(Failed)" in l] == ["one_fails (Failed)"], out
    assert any("one_runs" in l and "Passed" in l for l in report), out
    # The line tools/test-all.sh prints after the pass line, from this run.
    assert line == "1 test skipped: all_skip (nothing to run it on); 4 cases skipped inside" \
        " tests that ran: one_fails: test_marked (nothing to run it on), one_fails:" \
        " test_skips_in_its_body (found nothing to run it on), one_runs: test_marked (nothing" \
        " to run it on), one_runs: test_skips_in_its_body (found nothing to run it on)", out


def hold_port(host, port):
    """A listening socket on host:port, or None when another program holds
    the port already."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    # The connections of a daemon that served the port a moment ago may
    # linger in TIME_WAIT; they hold nothing.
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        holder.bind((host, port))
        holder.listen(1)
    except OSError:
        holder.close()
        return None
    return holder


@pytest.mark.skipif(CTEST is None, reason="ctest is not installed")
@pytest.mark.parametrize("host", ["127.0.0.1", "0.0.0.0"])
def test_httpd_passes_with_its_default_port_case_skipped_while_8080_is_held(tmp_path, host):
    """The real e2e_httpd registration, on its 8080 case and a few that
    start no server, run by CTest while this test holds the port."""
    registered = {t["name"]: t for t in pytest_tests_of_this_build()}["e2e_httpd"]
    command = registered["command"]
    file_name = command[-1]
    cases = [file_name + "::test_port_argument[port_args0-8080]",
             file_name + "::test_usage_line_and_exit_1"]
    env = [e for e in property_of(registered, "ENVIRONMENT") if not e.startswith(RECORD + "=")]
    env.append("%s=%s" % (RECORD, tmp_path / "records" / "e2e_httpd.json"))
    (tmp_path / "CTestTestfile.cmake").write_text(
        "add_test(e2e_httpd %s)\nset_tests_properties(e2e_httpd PROPERTIES SKIP_RETURN_CODE %d"
        ' ENVIRONMENT "%s")\n' % (" ".join('"%s"' % a for a in command[:-1] + cases),
                                   property_of(registered, "SKIP_RETURN_CODE"), ";".join(env)))
    holder = hold_port(host, 8080)
    if holder is None:
        pytest.skip("port 8080 is taken already by another program on this machine")
    with holder:
        result, out, line = run_ctest(tmp_path)
    assert result.returncode == 0, out
    assert any("e2e_httpd" in l and "Passed" in l for l in out.splitlines()), out
    assert line == "1 case skipped inside a test that ran: e2e_httpd:" \
        " test_port_argument[port_args0-8080] (%s)" % PORT_SKIP, out


def skipped_line(summary, records):
    """Runs the script tools/test-all.sh ends with; the script as a whole
    builds and runs everything."""
    result = subprocess.run([DEBIAN_PYTHON, str(SKIPPED_LINE), str(summary), str(records)],
                            capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.decode().strip()


def test_test_all_counts_no_skip_as_zero(tmp_path):
    summary = tmp_path / "summary.log"
    summary.write_text("100% tests passed, 0 tests failed out of 3\n")
    assert skipped_line(summary, tmp_path / "missing") == "0 tests skipped"


@pytest.mark.parametrize("args,code,stream", [
    (["--help"], 0, "stdout"), ([], 2, "stderr"), (["a", "b", "c"], 2, "stderr"),
    (["--all", "b"], 2, "stderr"),
])
def test_skipped_line_usage(args, code, stream):
    result = subprocess.run([DEBIAN_PYTHON, str(SKIPPED_LINE)] + args, capture_output=True,
                            timeout=60)
    assert result.returncode == code
    assert getattr(result, stream).startswith(b"usage: skipped_line.py ")
