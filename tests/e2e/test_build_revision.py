"""The revision the build names: the daemon's Server line carries the whole
one, the log's start line the short one, both read by the build-time step
cmake/GitRevision.cmake, so a commit followed by a build changes both."""
import re
import shutil
import subprocess

import pytest

import httpd_daemon
from conftest import SOURCE_DIR
from httpd_daemon import get

SCRIPT = SOURCE_DIR / "cmake" / "GitRevision.cmake"
ZEROS = "0" * 40


def logged_revision(lines):
    for line in lines:
        m = re.match(r"This copy of the engine is git hash (\S+), built on ", line)
        if m:
            return m.group(1)
    raise AssertionError("no revision line in %r" % lines)


def test_log_revision_is_a_prefix_of_the_server_lines(tmp_path):
    (tmp_path / "site").mkdir()
    d = httpd_daemon.start(tmp_path / "site")
    try:
        head = get(d.port, "/").split(b"\r\n\r\n", 1)[0].decode()
        short = logged_revision(d.out)
    finally:
        d.stop()
    m = re.search(r"\r\nServer: brindlecot-httpd/([0-9a-f]{40})\r\n", head)
    assert m, head
    full = m.group(1)
    if short == "unknown":  # built outside a checkout
        assert full == ZEROS
    else:
        assert re.fullmatch(r"[0-9a-f]{4,40}", short), short
        assert full.startswith(short), (short, full)


def git(repo, *args):
    return subprocess.run(["git", "-C", str(repo)] + list(args), check=True,
                          capture_output=True, timeout=30).stdout.decode().strip()


def revisions(source, out):
    """Runs the step as the build does; the two texts it wrote."""
    subprocess.run([shutil.which("cmake"), "-DSOURCE_DIR=%s" % source, "-DOUTPUT=%s" % out,
                    "-P", str(SCRIPT)], check=True, capture_output=True, timeout=60)
    return tuple(re.findall(r'return "([^"]*)";', out.read_text()))


@pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")
def test_each_commit_gives_both_revisions_and_no_checkout_gives_none(tmp_path):
    repo = tmp_path / "clone"
    repo.mkdir()
    git(repo, "init", "-q")
    git(repo, "config", "user.email", "dev@example.com")
    git(repo, "config", "user.name", "Dev")
    out = tmp_path / "build_revision.cpp"
    for n in range(2):
        (repo / "file.txt").write_text("change %d\n" % n)
        git(repo, "add", "file.txt")
        git(repo, "-c", "commit.gpgsign=false", "commit", "-q", "-m", "change %d" % n)
        assert revisions(repo, out) == (git(repo, "rev-parse", "--short", "HEAD"),
                                        git(repo, "rev-parse", "HEAD"))
    # Unchanged, the file is left alone, so nothing is rebuilt.
    before = out.stat().st_mtime_ns
    revisions(repo, out)
    assert out.stat().st_mtime_ns == before

    # A source tree that is no checkout of its own: a tarball unpacked
    # inside another checkout, or beside none.
    (repo / "unpacked").mkdir()
    bare = tmp_path / "tarball"
    bare.mkdir()
    for source in (repo / "unpacked", bare):
        assert revisions(source, tmp_path / (source.name + ".cpp")) == ("unknown", ZEROS)
