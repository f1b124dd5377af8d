"""brindlecot-publish --download URL FILE against a server of the test's
own on loopback."""
import os
import random
import resource
import signal
import socket
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from http_test_server import Route, LoopbackServer  # noqa: E402

from conftest import PUBLISH  # noqa: E402

BODY = random.Random(8).randbytes(3 * 8192 + 17)
BIG = random.Random(9).randbytes(1024 * 1024 + 5)


@pytest.fixture
def server():
    s = LoopbackServer({
        "/file": Route(body=BODY),
        "/big.bin": Route(body=BIG),
        "/empty": Route(body=b""),
        "/moved": Route(302, b"elsewhere", [("Location", "/file")]),
        "/truncated": Route(body=b"x" * 1000, declared_length=5000),
        "/error-page": Route(500, b"<h1>broken</h1>"),
        "/endless-length": Route(body=b"0123456789", declared_length=2**64 - 1),
    })
    yield s
    s.stop()


def run(args, cwd, preexec_fn=None):
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    return subprocess.run([PUBLISH, "--set", "log.timing", "false"] + args, cwd=str(cwd),
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60, env=env,
                          preexec_fn=preexec_fn)


def errors(result):
    return [l[2:] for l in result.stdout.decode("utf-8", "replace").splitlines()
            if l.startswith("! ")]


def refused_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return "http://127.0.0.1:%d/file" % port


@pytest.mark.parametrize("path, body", [
    ("/file", BODY),
    ("/big.bin", BIG),
    ("/moved", BODY),
    ("/empty", b""),
], ids=["blocks", "one-megabyte", "redirect", "empty"])
def test_download_stores_the_body(server, tmp_path, path, body):
    r = run(["--download", server.url(path), "out.bin"], tmp_path)
    assert r.returncode == 0, r.stdout
    assert (tmp_path / "out.bin").read_bytes() == body
    assert errors(r) == []


def test_download_sends_the_publishers_user_agent(server, tmp_path):
    r = run(["--download", server.url("/file"), "out.bin"], tmp_path)
    assert r.returncode == 0
    method, path, headers = server.requests[0]
    assert (method, path) == ("GET", "/file")
    # No metadata is loaded for a download: the defaults name the game.
    assert headers["User-Agent"] == "Brindlecot-brindlecot-hello-SDL/1.0 (Linux)"


@pytest.mark.parametrize("what", ["/nothing-here", "/error-page", "/truncated", "refused",
                                  "/endless-length"])
def test_failed_download_leaves_no_file(server, tmp_path, what):
    url = refused_url() if what == "refused" else server.url(what)
    r = run(["--download", url, "out.bin"], tmp_path)
    assert r.returncode == 1
    assert "Download of '%s' failed" % url in errors(r)
    assert "Download failed!" in errors(r)
    assert not (tmp_path / "out.bin").exists()


def test_https_verifies_the_server_certificate(tmp_path):
    # A self-signed certificate is not among the system's: the TLS handshake
    # must fail on verification, before any request is sent.
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    s = LoopbackServer({"/file": Route(body=BODY)}, tls=(str(cert), str(key)))
    try:
        r = run(["--download", s.url("/file"), "out.bin"], tmp_path)
    finally:
        s.stop()
    assert r.returncode == 1
    # 1000 + the transport library's "peer failed verification".
    assert any(e.endswith("request error: result 1 error 1060") for e in errors(r)), errors(r)
    assert s.requests == []
    assert not (tmp_path / "out.bin").exists()


@pytest.mark.parametrize("target, line", [
    ("no-such-dir/out.bin", "Can't write 'no-such-dir/out.bin': the directory 'no-such-dir' does not exist"),
    ("a-directory", "Couldn't open 'a-directory' for writing: "),
])
def test_unwritable_target_fails_before_asking(server, tmp_path, target, line):
    (tmp_path / "a-directory").mkdir()
    r = run(["--download", server.url("/file"), target], tmp_path)
    assert r.returncode == 1
    errs = errors(r)
    assert any(e.startswith(line) for e in errs), errs
    assert "Download failed!" in errs
    assert server.requests == []


def test_url_that_is_not_http_fails_at_once(tmp_path):
    r = run(["--download", "ftp://127.0.0.1/file", "out.bin"], tmp_path)
    assert r.returncode == 1
    assert "Download of 'ftp://127.0.0.1/file' failed" in errors(r)
    assert not (tmp_path / "out.bin").exists()


def test_download_needs_both_arguments(tmp_path):
    r = run(["--download", "http://127.0.0.1:1/x"], tmp_path)
    assert r.returncode == 1
    assert any(e.startswith("USAGE: ") for e in errors(r))


def test_length_beyond_64_bits_is_a_failed_response(server, tmp_path):
    url = server.url("/endless-length")
    r = run(["--download", url, "out.bin"], tmp_path)
    assert r.returncode == 1
    assert any(e.endswith("Content-Length '18446744073709551615' is not a byte count the "
                          "transfer can hold") for e in errors(r)), errors(r)


def small_file_limit():
    # Writes past 64 KiB fail as on a full disk (EFBIG instead of ENOSPC);
    # the signal that would end the process is ignored, as after exec.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))


def test_write_failure_ends_the_download_once(server, tmp_path):
    url = server.url("/big.bin")
    r = run(["--download", url, "out.bin"], tmp_path, preexec_fn=small_file_limit)
    assert r.returncode == 1
    errs = errors(r)
    writes = [e for e in errs if e.startswith("Failed to write download to file: ")]
    aborts = [e for e in errs if e.endswith("Callback abort!")]
    assert len(writes) == 1 and len(aborts) == 1, errs
    assert "Download of '%s' failed" % url in errs
    assert not (tmp_path / "out.bin").exists()


@pytest.mark.parametrize("url, line", [
    ("refused", "Connection refused"),
    ("http://no-such-host.invalid/file", "resolve host"),
], ids=["refused", "unknown-host"])
def test_transfer_errors_are_explained_in_words(tmp_path, url, line):
    url = refused_url() if url == "refused" else url
    r = run(["--download", url, "out.bin"], tmp_path)
    assert r.returncode == 1
    errs = errors(r)
    at = next(i for i, e in enumerate(errs) if "request error: result 1 error " in e)
    assert line in errs[at + 1], errs


def test_url_without_scheme_is_refused_with_a_line(tmp_path):
    r = run(["--download", "example.com/file", "out.bin"], tmp_path)
    assert r.returncode == 1
    assert any(e.endswith("URL 'example.com/file' does not begin with http:// or https://")
               for e in errors(r)), errors(r)
    assert not (tmp_path / "out.bin").exists()
