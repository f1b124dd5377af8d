"""Both programs keep working when the reader of their console goes away
(`| head -3`, a closed terminal): a line that cannot be written is
dropped, the work is finished and the log file still gets every line."""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import httpd_daemon  # noqa: E402
from conftest import PUBLISH, build_installation as make_installation  # noqa: E402

PACKAGE = ["--only-package", "--platforms=linux-amd64", "mygame"]


def test_publisher_into_head_finishes_its_builds(tmp_path):
    inst = make_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    script = 'set -o pipefail; "$0" "$@" | head -3; echo "status=${PIPESTATUS[0]}" >&2'
    r = subprocess.run(["bash", "-c", script, PUBLISH, "--set", "log.timing", "false"] + PACKAGE,
                       cwd=str(inst), stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    assert len(r.stdout.splitlines()) == 3
    assert r.stderr.decode().splitlines()[-1] == "status=0"
    assert (inst / "builds" / "mygame-linux-amd64.bin").is_file()


def test_publisher_with_console_closed_from_the_start(tmp_path):
    """The reader is gone before the first line, so every console write
    fails: the run must not depend on how fast a reader gives up."""
    inst = make_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        proc = subprocess.run([PUBLISH] + PACKAGE, cwd=str(inst), stdin=subprocess.DEVNULL,
                              stdout=write_end, stderr=write_end, timeout=120)
    finally:
        os.close(write_end)
    assert proc.returncode == 0
    package = inst / "builds" / "mygame-linux-amd64.bin"
    listing = subprocess.run([str(package)], capture_output=True, timeout=30)
    assert b"main.rb" in listing.stdout
    log = (inst / "logs" / "brindlecot-publish.txt").read_bytes()
    assert b"All platform builds are complete!" in log


def test_httpd_keeps_serving_after_its_console_reader_left(tmp_path):
    site = tmp_path / "site"
    site.mkdir()
    (site / "index.html").write_bytes(b"<p>still here</p>")
    proc = subprocess.Popen([httpd_daemon.HTTPD, str(site), "0"], cwd=str(tmp_path),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    try:
        port = None
        for raw_line in iter(proc.stdout.readline, b""):
            m = httpd_daemon.NOTICE.match(raw_line.decode().strip())
            if m:
                port = int(m.group(1))
                break
        assert port is not None
        proc.stdout.close()  # the reader goes away; the next log line hits a closed pipe
        for _ in range(2):
            response = httpd_daemon.get(port, "/")
            assert httpd_daemon.status_of(response) == 200
            assert httpd_daemon.body_of(response) == b"<p>still here</p>"
        assert proc.poll() is None
    finally:
        proc.terminate()
        proc.wait(timeout=10)
    log = (tmp_path / "logs" / "brindlecot-httpd.txt").read_text()
    assert len(re.findall(r": 200 / \(17 bytes\)", log)) >= 1
