"""A test file whose cases all skipped must show in CTest as skipped, never
as passed: conftest.py turns such a run's exit code into 77, and every
pytest file CTest runs takes 77 as a skip. A failure or an error still
fails, and a file in which one case ran still passes."""
import json
import pathlib
import shutil
import subprocess

import pytest

import conftest
from conftest import BUILD_DIR, DEBIAN_PYTHON

HERE = pathlib.Path(__file__).resolve().parent
TEST_ALL = conftest.SOURCE_DIR / "tools" / "test-all.sh"
CTEST = shutil.which("ctest")

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

NO_CASE = """
def helper():
    pass
"""

CASES = [
    ("all_skip", ALL_SKIP, conftest.EXIT_NOTHING_RAN),
    ("module_skip", MODULE_SKIP, conftest.EXIT_NOTHING_RAN),
    ("one_runs", ONE_RUNS, 0),
    ("one_fails", ONE_FAILS, 1),
    ("setup_error", SETUP_ERROR, 1),
    ("expected_failure", EXPECTED_FAILURE, 0),
    # Nothing to run and nothing skipped: a file registered by mistake.
    ("no_case", NO_CASE, pytest.ExitCode.NO_TESTS_COLLECTED),
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


@pytest.mark.parametrize("name,text,code", CASES, ids=[c[0] for c in CASES])
def test_exit_code_says_whether_a_case_ran(tmp_path, name, text, code):
    path = write_project(tmp_path, name, text)
    result = subprocess.run(pytest_command(path), cwd=tmp_path, capture_output=True, timeout=120)
    assert result.returncode == code, result.stdout.decode(errors="replace")


@pytest.mark.parametrize("selection,code", [
    ("not test_runs", conftest.EXIT_NOTHING_RAN),
    ("test_runs", 0),
    ("no_such_case", pytest.ExitCode.NO_TESTS_COLLECTED),
])
def test_deselected_cases_leave_a_skip_a_skip(tmp_path, selection, code):
    path = write_project(tmp_path, "one_runs", ONE_RUNS)
    args = pytest_command(path) + ["-k", selection]
    result = subprocess.run(args, cwd=tmp_path, capture_output=True, timeout=120)
    assert result.returncode == code, result.stdout.decode(errors="replace")


def pytest_tests_of_this_build():
    listed = subprocess.run([CTEST, "--test-dir", str(BUILD_DIR), "--show-only=json-v1"],
                            capture_output=True, timeout=120, check=True)
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


@pytest.mark.skipif(CTEST is None, reason="ctest is not installed")
def test_ctest_shows_the_all_skipped_file_as_skipped(tmp_path):
    """The registration's own properties, on three files, read back from
    CTest's own report."""
    registered = {t["name"]: t for t in pytest_tests_of_this_build()}
    properties = registered["e2e_skipped_cases"]["properties"]
    skip_code = next(p["value"] for p in properties if p["name"] == "SKIP_RETURN_CODE")
    lines = []
    for name, text in (("all_skip", ALL_SKIP), ("one_runs", ONE_RUNS), ("one_fails", ONE_FAILS)):
        path = write_project(tmp_path / name, name, text)
        command = " ".join('"%s"' % a for a in pytest_command(path))
        lines.append("add_test(%s %s)" % (name, command))
        lines.append("set_tests_properties(%s PROPERTIES SKIP_RETURN_CODE %d)" % (name, skip_code))
    (tmp_path / "CTestTestfile.cmake").write_text("\n".join(lines) + "\n")
    result = subprocess.run([CTEST, "--test-dir", str(tmp_path)], capture_output=True,
                            timeout=300)
    out = result.stdout.decode(errors="replace")
    assert result.returncode != 0, out
    assert "The following tests did not run:" in out, out
    report = out.splitlines()
    assert [l.split(" - ")[1] for l in report if "(Skipped)" in l] == ["all_skip (Skipped)"], out
    assert [l.split(" - ")[1] for l in report if "(Failed)" in l] == ["one_fails (Failed)"], out
    assert any("one_runs" in l and "Passed" in l for l in report), out
    # The line tools/test-all.sh prints after the pass line, from this run.
    (tmp_path / "summary.log").write_bytes(result.stdout)
    assert skipped_line(tmp_path / "summary.log",
                        tmp_path / "Testing" / "Temporary" / "LastTest.log") == \
        "1 test skipped: all_skip (nothing to run it on)"


def skipped_line(summary, last):
    """Runs the one function of tools/test-all.sh that reads CTest's
    output; the script as a whole builds and runs everything."""
    text = TEST_ALL.read_text()
    start = text.index("skipped_line() {")
    function = text[start:text.index("\n}\n", start) + 3]
    result = subprocess.run(["bash", "-c", function + 'skipped_line "$1" "$2"', "bash",
                             str(summary), str(last)], capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.decode().strip()


def test_test_all_counts_no_skip_as_zero(tmp_path):
    summary = tmp_path / "summary.log"
    summary.write_text("100% tests passed, 0 tests failed out of 3\n")
    assert skipped_line(summary, tmp_path / "missing.log") == "0 tests skipped"
