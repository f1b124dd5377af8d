"""The real brindlecot-httpd on loopback: start-up, responses, hostile input."""
import hashlib
import html.parser
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.parse

import pytest

import httpd_daemon
from httpd_daemon import HTTPD, body_of, get, raw, status_of

STARS = "*" * 71
NOTICE_HEAD = ["", "", STARS,
               "* Please note that this http server is only for simple local testing. *",
               "* You should use a real server like Apache or nginx for the public!   *",
               STARS, "", ""]
SECRET = b"TOP-SECRET-BESIDE-THE-SITE"

CONTENT_TYPES = [
    ("a.html", "text/html; charset=utf-8"), ("a.txt", "text/plain; charset=utf-8"),
    ("a.rb", "text/plain; charset=utf-8"), ("a.css", "text/css; charset=utf-8"),
    ("a.js", "application/javascript; charset=utf-8"),
    ("a.json", "application/json; charset=utf-8"), ("a.wasm", "application/wasm"),
    ("a.png", "image/png"), ("a.jpg", "image/jpeg"), ("a.jpeg", "image/jpeg"),
    ("a.gif", "image/gif"), ("a.bmp", "image/bmp"), ("a.wav", "audio/wav"),
    ("a.ogg", "audio/ogg"), ("a.mp3", "audio/mp3"), ("a.mp4", "video/mp4"),
    ("UPPER.PNG", "image/png"), ("Mixed.Js", "application/javascript; charset=utf-8"),
    ("archive.tar.gz", "application/octet-stream"), ("noext", "application/octet-stream"),
    ("a.unknown", "application/octet-stream"),
]


def run(args, cwd, timeout=20):
    return subprocess.run([HTTPD] + args, cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)


def make_site(root):
    site = root / "site"
    (site / "docs").mkdir(parents=True)
    (site / "types").mkdir()
    (site / "bare").mkdir()
    (site / "index.html").write_text("<p>root index</p>")
    (site / "docs" / "index.html").write_text("docs index")
    (site / "docs" / "a b.txt").write_text("spaced")
    (site / "bare" / "one.txt").write_text("1")
    (site / "bare" / "two words.png").write_bytes(b"\x89PNG")
    for name, _ in CONTENT_TYPES:
        (site / "types" / name).write_bytes(b"data of " + name.encode())
    big = bytes(range(256)) * (20 * 1024 * 1024 // 256)
    (site / "big.bin").write_bytes(big)
    (root / "secret").write_bytes(SECRET)
    (site / "x").write_text("inside")
    os.symlink(root / "secret", site / "escape")
    os.symlink(root, site / "escdir")
    return site


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    root = tmp_path_factory.mktemp("httpd")
    site = make_site(root)
    d = httpd_daemon.start(site)
    yield d
    d.stop()


def curl(*args):
    r = subprocess.run(["curl", "-sS", "--max-time", "30"] + list(args),
                       capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stdout


# ---- start-up --------------------------------------------------------------

@pytest.mark.parametrize("args", [
    [],
    ["--set", "log.level", "debug"],
    ["site", "8000", "third"],
    ["site", "--set", "a", "b", "8000", "--set", "c", "d", "third"],
    ["site", "32768"],
    ["site", "-1"],
])
def test_usage_line_and_exit_1(tmp_path, args):
    r = run(args, tmp_path)
    assert r.returncode == 1
    assert r.stderr.decode() == "USAGE: %s <game_directory> [port]\n" % HTTPD
    assert r.stdout == b""


def test_notice_lines_after_the_start_lines(tmp_path):
    (tmp_path / "site").mkdir()
    d = httpd_daemon.start(tmp_path / "site")
    try:
        d.wait_for_line("Try pointing your browser at")
        time.sleep(0.3)
        out = list(d.out)
        assert out[0].startswith("Log started at ")
        i = out.index(STARS) - 2
        # Port 0 was asked for: the notice names the port the system chose.
        assert out[i:i + 11] == NOTICE_HEAD + [
            "Now accepting connections on port %d." % d.port,
            "Try pointing your browser at http://localhost:%d/" % d.port, ""]
        assert d.port > 0
        assert status_of(get(d.port, "/")) == 200
        log = (tmp_path / "logs" / "brindlecot-httpd.txt").read_bytes()
        assert b"\r\n" + STARS.encode() + b"\r\n" in log
    finally:
        d.stop()


def port_taken(port):
    """Whether another program listens on port on any interface, seen as the
    daemon sees it: a dual-stack bind on :: and else one on 0.0.0.0, both
    with SO_REUSEADDR (a listener on 127.0.0.1 alone blocks them too)."""
    for family, host in ((socket.AF_INET6, "::"), (socket.AF_INET, "0.0.0.0")):
        try:
            with socket.socket(family, socket.SOCK_STREAM) as s:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                if family == socket.AF_INET6:
                    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
                s.bind((host, port))
            return False
        except OSError:
            continue
    return True


# The default port and the highest one the daemon takes are fixed: when
# another program holds one of them the case says so and skips. Any other
# port is one that is free when the case starts.
@pytest.mark.parametrize("port_args, fixed", [([], 8080), (["32767"], 32767), (["%djunk"], None)])
def test_port_argument(tmp_path, port_args, fixed):
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "f.txt").write_text("port test")
    for _ in range(5):
        if fixed is not None and port_taken(fixed):
            pytest.skip("port %d is taken by another program on this machine" % fixed)
        port = fixed or httpd_daemon.free_low_port()
        args = [a % port if "%" in a else a for a in port_args]
        proc = subprocess.Popen([HTTPD, str(tmp_path / "site")] + args, cwd=tmp_path,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:
            out, err = proc.communicate(timeout=1.5)
        except subprocess.TimeoutExpired:
            break  # still serving
        # It ended: only a program that took the port since the check may
        # excuse that; the next round says whether it still holds it.
        assert b"Address already in use" in err, err
        time.sleep(0.5)
    else:
        raise AssertionError("port %d stayed busy" % port)
    try:
        assert body_of(get(port, "/f.txt")) == b"port test"
    finally:
        proc.terminate()
        out, _ = proc.communicate(timeout=5)
    assert ("Now accepting connections on port %d." % port).encode() in out


def test_port_80_leaves_the_port_out_of_the_address(tmp_path):
    (tmp_path / "site").mkdir()
    d = httpd_daemon.Daemon(tmp_path / "site", 80)
    try:
        if d.wait_started() is None:
            pytest.skip("port 80 is not ours: %r" % d.err)
        d.wait_for_line("Try pointing")
        assert "Try pointing your browser at http://localhost/" in d.out
    finally:
        d.stop()


def test_set_log_level_debug_shows_connections(tmp_path):
    (tmp_path / "site").mkdir()
    d = httpd_daemon.start(tmp_path / "site", args=["--set", "log.level", "debug"])
    try:
        get(d.port, "/")
        assert d.wait_for_line("New HTTP connection from 127.0.0.1!")
    finally:
        d.stop()


def test_unmountable_directory(tmp_path):
    missing = str(tmp_path / "no-such-dir")
    r = run([missing, "0"], tmp_path)
    assert r.returncode == 1
    lines = r.stderr.decode().splitlines()
    assert lines[0].startswith("Couldn't mount '%s' directory: " % missing)
    assert lines[-1] == "Failed to start HTTP server, giving up."


def test_busy_port_reports_its_reasons(tmp_path):
    (tmp_path / "site").mkdir()
    port = httpd_daemon.free_low_port()
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as holder:
        holder.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        holder.bind(("::", port))
        holder.listen(1)
        r = run([str(tmp_path / "site"), str(port)], tmp_path)
    assert r.returncode == 1
    lines = r.stderr.decode().splitlines()
    assert lines[0] == "Couldn't initialize HTTP server: Address already in use"
    # The reasons queued in the log come out before the closing line.
    assert lines[1].startswith("Failed to bind() the listen socket! Will try other options! (")
    assert "Failed to create a listen socket on any reasonable interface." in lines
    assert lines[-1] == "Failed to start HTTP server, giving up."


# ---- responses -------------------------------------------------------------

def test_content_types(served):
    args = []
    for name, _ in CONTENT_TYPES:
        args += ["-o", "/dev/null", served.url("/types/" + name)]
    out = curl("-Z", "--parallel-max", "8", "-w", "%{url_effective} %{content_type}\\n", *args)
    got = dict(line.split(" ", 1) for line in out.decode().splitlines())
    for name, ctype in CONTENT_TYPES:
        assert got[served.url("/types/" + name)] == ctype, name


def test_root_index_and_directory_index(served):
    assert curl(served.url("/")) == b"<p>root index</p>"
    assert curl(served.url("/docs/")) == b"docs index"
    # Without its slash the folder is listed, index.html and all.
    page = curl(served.url("/docs")).decode()
    assert page.startswith("<html><head><title>Directory /docs</title></head>"), page
    assert "<li><a href='/docs/index.html'>index.html</a></li>" in page


def test_listing_links_lead_to_the_files(served):
    page = curl(served.url("/bare")).decode()
    assert page.startswith("<html><head><title>Directory /bare</title></head>")
    assert "<li><a href='/bare/one.txt'>one.txt</a></li>" in page
    assert "<li><a href='/bare/two%20words.png'>two words.png</a></li>" in page
    assert curl(served.url("/bare/two%20words.png")) == b"\x89PNG"


class _Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.hrefs = []

    def handle_starttag(self, tag, attrs):
        self.hrefs += [v for k, v in attrs if tag == "a" and k == "href"]


def listed_links(page):
    parser = _Links()
    parser.feed(page)
    return parser.hrefs


ROOT_LINKS = ["/f.txt", "/sub"]
SUB_LINKS = ["/sub/a%20b.txt"]


@pytest.mark.parametrize("path, want", [
    ("/", ROOT_LINKS), ("//", ROOT_LINKS), ("///", ROOT_LINKS), ("/sub", SUB_LINKS),
    ("//sub", SUB_LINKS), ("/sub/", SUB_LINKS), ("//sub//", SUB_LINKS), ("/%2Fsub", SUB_LINKS),
])
def test_listing_links_stay_on_the_daemon_however_the_path_doubles_slashes(tmp_path, path, want):
    site = tmp_path / "site"
    (site / "sub").mkdir(parents=True)
    (site / "f.txt").write_text("root file")
    (site / "sub" / "a b.txt").write_text("sub file")
    d = httpd_daemon.start(site)
    try:
        base = d.url(path)
        hrefs = listed_links(curl(base).decode())
        assert sorted(hrefs) == want, hrefs
        for href in hrefs:
            # Resolved as a browser resolves it: a link that began with
            # "//" would name another host.
            target = urllib.parse.urlsplit(urllib.parse.urljoin(base, href))
            assert target.netloc == "127.0.0.1:%d" % d.port, href
            if href.endswith(".txt"):
                assert curl(urllib.parse.urljoin(base, href)) in (b"root file", b"sub file")
    finally:
        d.stop()


def test_missing_file_is_404(served):
    r = get(served.port, "/nothing-here.txt")
    assert r.startswith(b"HTTP/1.0 404 sad face\r\n")
    assert b"\r\nContent-Type: text/plain; charset=utf-8\r\n" in r
    assert body_of(r) == b"Not found, sorry.\n"


NOBODY = 65534


def test_unreadable_directory_is_answered_with_its_cause():
    """Root reads every directory, so the daemon then runs as nobody."""
    as_nobody = os.geteuid() == 0
    if as_nobody and shutil.which("setpriv") is None:
        pytest.skip("setpriv is needed to drop root")
    root = tempfile.mkdtemp(prefix="httpd-locked-")  # pytest's own are root's alone
    try:
        os.chmod(root, 0o755)
        site = os.path.join(root, "site")
        locked = os.path.join(site, "locked")
        os.makedirs(locked)
        with open(os.path.join(locked, "index.html"), "w") as f:
            f.write("never read")
        prefix = []
        if as_nobody:
            for dirpath, dirs, files in os.walk(root):
                for entry in [dirpath] + [os.path.join(dirpath, n) for n in dirs + files]:
                    os.lchown(entry, NOBODY, NOBODY)
            prefix = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
        os.chmod(locked, 0)
        d = httpd_daemon.start(site, prefix=prefix)
        try:
            for path in ("/locked/", "/locked"):
                r = get(d.port, path)
                assert status_of(r) == 503, r
                assert body_of(r) == b"Couldn't enumerate directory, sorry.\n"
                assert d.wait_for_line(
                    "127.0.0.1: 503 %s (37 bytes) [permission denied]" % path), d.out
            assert "Can't read directory '/locked/': Permission denied" in d.out, d.out
        finally:
            d.stop()
    finally:
        os.chmod(os.path.join(root, "site", "locked"), 0o755)
        shutil.rmtree(root, ignore_errors=True)


def vm_size_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1])
    raise AssertionError("no VmSize")


@pytest.mark.skipif(shutil.which("prlimit") is None, reason="prlimit is not installed")
def test_response_too_large_for_memory_is_one_503_line(tmp_path):
    """Room for the file but not for its response as well: the client gets
    the out-of-memory page, and the log tells that answer only."""
    site = tmp_path / "site"
    site.mkdir()
    size = 64 * 1024 * 1024
    with open(site / "big", "wb") as f:
        f.truncate(size)
    d = httpd_daemon.start(site)
    try:
        idle_kib = vm_size_kib(d.proc.pid)
    finally:
        d.stop()
    limit = idle_kib * 1024 + size + size // 2
    d = httpd_daemon.start(site, prefix=["prlimit", "--as=%d" % limit])
    try:
        r = get(d.port, "/big")
        assert status_of(r) == 503, r[:200]
        assert body_of(r) == b"Out of memory.\n"
        assert d.wait_for_line("127.0.0.1: 503 /big (15 bytes) [OUT OF MEMORY!]"), d.out
        time.sleep(0.3)
        answer = [l for l in d.out if "/big" in l or "Out of memory" in l]
        assert answer == ["Out of memory allocating response buffer!", "Out of memory!",
                          "127.0.0.1: 503 /big (15 bytes) [OUT OF MEMORY!]"], d.out
    finally:
        d.stop()


def test_head_has_headers_and_no_body(served):
    head = curl("-I", served.url("/big.bin")).decode()
    assert head.startswith("HTTP/1.0 200 happy face\r\n")
    assert "\r\nContent-Length: %d\r\n" % (20 * 1024 * 1024) in head
    assert "\r\nContent-Type: application/octet-stream\r\n" in head
    assert "\r\nCache-Control: no-store\r\n" in head
    r = get(served.port, "/big.bin", "HEAD")
    assert r.endswith(b"\r\n\r\n") and body_of(r) == b""


def test_twenty_mib_file_byte_for_byte(served, tmp_path):
    out = tmp_path / "big.out"
    curl("-o", str(out), served.url("/big.bin"))
    want = hashlib.sha256((open(os.path.join(served.site, "big.bin"), "rb").read())).hexdigest()
    assert hashlib.sha256(out.read_bytes()).hexdigest() == want


def test_percent_encoded_space_and_slash(served):
    assert curl(served.url("/docs%2Fa%20b.txt")) == b"spaced"
    assert curl(served.url("/docs%2fa%20b.txt")) == b"spaced"


# ---- traversal -------------------------------------------------------------

@pytest.mark.parametrize("path", [
    "/../secret", "/a/../../secret", "%2e%2e/secret", "..%2fsecret", "%5c..%5csecret",
    "//secret", "/%2e/x", "/escape", "/escdir/secret", "/escdir/", "/..", "/x/..%2f..%2fsecret",
])
def test_traversal_is_404(served, path):
    r = get(served.port, path)
    assert status_of(r) == 404, r[:200]
    assert SECRET not in r


# ---- hostile input ---------------------------------------------------------

def assert_still_serving(d):
    assert d.alive()
    assert body_of(get(d.port, "/docs/a%20b.txt")) == b"spaced"


@pytest.mark.parametrize("request_bytes, line", [
    (b"\r\n\r\n", "sent a bogus request line, dropping."),
    (b"GET / HTTP/1.0\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx",
     "sent more than one Content-Length header! Dropping."),
    (b"POST / HTTP/1.0\r\nContent-Length: lots\r\n\r\n", "sent a bogus Content-Length! Dropping."),
    (b"POST / HTTP/1.0\r\nContent-Length: 600000\r\n\r\n", "wants to send too much data! Dropping."),
])
def test_malformed_request_is_dropped(served, request_bytes, line):
    assert raw(served.port, request_bytes) == b""
    assert served.wait_for_line("127.0.0.1 " + line)
    assert_still_serving(served)


def test_client_text_is_escaped_in_the_log(served):
    # An escape sequence that would clear the watcher's terminal, a bare CR
    # and a byte that is not UTF-8, in the request path.
    assert status_of(raw(served.port, b"GET /\x1b[2J\rx\xff HTTP/1.0\r\n\r\n")) == 404
    line = "127.0.0.1: 404 /\\x1b[2J\\x0dx\\xff ("
    assert served.wait_for_line(line)
    assert not any("\x1b" in l or "\r" in l for l in served.out)
    log = open(os.path.join(served.cwd, "logs", "brindlecot-httpd.txt"), "rb").read()
    assert line.encode() in log
    assert b"\x1b" not in log and b"\xff" not in log
    assert b"\r" not in log.replace(b"\r\n", b"")


def test_client_leaving_mid_response(served):
    with socket.create_connection(("127.0.0.1", served.port), timeout=10) as s:
        s.sendall(b"GET /big.bin HTTP/1.0\r\n\r\n")
        got = 0
        while got < 65536:
            chunk = s.recv(65536)
            assert chunk
            got += len(chunk)
    time.sleep(0.5)
    assert_still_serving(served)


def test_request_one_byte_at_a_time(served):
    r = raw(served.port, b"GET /docs/a%20b.txt HTTP/1.0\r\nHost: x\r\n\r\n", pace=0.02)
    assert body_of(r) == b"spaced"
    assert_still_serving(served)


def test_request_without_line_end_then_hang_up(served):
    with socket.create_connection(("127.0.0.1", served.port), timeout=10) as s:
        s.sendall(b"GET /docs")
    time.sleep(0.3)
    assert_still_serving(served)
