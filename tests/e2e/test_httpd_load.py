"""A bounded load on the real daemon: every request succeeds and its memory
settles instead of growing with the number of requests."""
import re
import shutil
import subprocess

import pytest

import httpd_daemon

AB = shutil.which("ab") or "/usr/bin/ab"


def ab(url, requests, concurrency):
    r = subprocess.run([AB, "-q", "-n", str(requests), "-c", str(concurrency), "-s", "30", url],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=240)
    out = r.stdout.decode()
    assert r.returncode == 0, (out, r.stderr)
    complete = int(re.search(r"^Complete requests:\s+(\d+)", out, re.M).group(1))
    failed = int(re.search(r"^Failed requests:\s+(\d+)", out, re.M).group(1))
    assert complete == requests, out
    assert failed == 0, out
    assert "Non-2xx responses" not in out, out
    return out


@pytest.mark.skipif(not shutil.which("ab"), reason="ab (apache2-utils) is not installed")
def test_concurrent_load_succeeds_and_memory_settles(tmp_path):
    site = tmp_path / "site"
    site.mkdir()
    (site / "index.html").write_text("<p>" + "load " * 2000 + "</p>")
    (site / "asset.bin").write_bytes(bytes(range(256)) * 1024)
    d = httpd_daemon.start(site)
    try:
        # The first round brings the allocator to its working size.
        ab(d.url("/index.html"), 40, 10)
        ab(d.url("/asset.bin"), 20, 10)
        before = d.rss_kib()
        for _ in range(2):
            ab(d.url("/index.html"), 60, 20)
            ab(d.url("/asset.bin"), 30, 10)
        after = d.rss_kib()
        assert d.alive()
        # 180 more requests, 256 KiB each for a third of them: a leak of
        # even one buffer per request would show as megabytes.
        assert after - before < 1024, (before, after)
    finally:
        d.stop()
