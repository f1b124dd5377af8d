"""Prints the one line tools/test-all.sh ends with: what the last CTest run
skipped. First the CTest tests that did not run because they skipped, each
with the first reason it gave; then every case skipped inside a test that
did run, since CTest calls such a test passed and says nothing of it.

usage: skipped_line.py SUMMARY RECORD_DIR

SUMMARY is what ctest printed, RECORD_DIR the directory where each pytest
file run by CTest records its skipped cases (tests/e2e/conftest.py).
Nothing skipped at all gives "0 tests skipped"."""
import json
import pathlib
import re
import sys

SKIPPED_TEST = re.compile(r"^\s+\d+ - (.*) \(Skipped\)$")
# CTest prints one such line as each test ends, in parallel runs too. Its
# LastTest.log is no witness: any "ctest -N" on the build, as a test may
# run to list the tests, rewrites it empty.
ENDED_TEST = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) ")


def usage(stream):
    stream.write("usage: skipped_line.py SUMMARY RECORD_DIR\n")


def matching_lines(path, pattern):
    try:
        text = pathlib.Path(path).read_text(errors="replace")
    except FileNotFoundError:
        return []
    found = []
    for line in text.splitlines():
        m = pattern.match(line)
        if m and m.group(1) not in found:
            found.append(m.group(1))
    return found


def skipped_cases(record_dir, test):
    """The cases the test's record lists; none when it wrote no record (a
    test that is not a pytest file)."""
    try:
        record = json.loads((pathlib.Path(record_dir) / (test + ".json")).read_text())
    except (FileNotFoundError, NotADirectoryError):
        return []
    return record["skipped"]


def case_name(nodeid):
    """The case without its file, which the test's name already gives."""
    return nodeid.split("::", 1)[1] if "::" in nodeid else nodeid


def plural(count, word):
    return "%d %s%s" % (count, word, "" if count == 1 else "s")


def skipped_line(summary, record_dir):
    skipped = matching_lines(summary, SKIPPED_TEST)
    # Only tests of this run: a record left by an earlier run of a test not
    # run this time says nothing about this one.
    ran = sorted(set(matching_lines(summary, ENDED_TEST)) - set(skipped))
    parts = []
    if skipped:
        named = []
        for test in skipped:
            cases = skipped_cases(record_dir, test)
            named.append(test + (" (%s)" % cases[0]["reason"] if cases else ""))
        parts.append("%s skipped: %s" % (plural(len(skipped), "test"), ", ".join(named)))
    inside = [(test, case) for test in ran for case in skipped_cases(record_dir, test)]
    if inside:
        parts.append("%s skipped inside %s that ran: %s" % (
            plural(len(inside), "case"),
            "a test" if len({test for test, _ in inside}) == 1 else "tests",
            ", ".join("%s: %s (%s)" % (test, case_name(case["case"]), case["reason"])
                      for test, case in inside)))
    return "; ".join(parts) or "0 tests skipped"


def main(argv):
    if len(argv) == 2 and argv[1] in ("-h", "--help"):
        usage(sys.stdout)
        return 0
    if len(argv) != 3 or any(a.startswith("-") for a in argv[1:]):
        usage(sys.stderr)
        return 2
    print(skipped_line(argv[1], argv[2]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
