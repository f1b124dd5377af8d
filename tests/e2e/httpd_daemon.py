"""Starts the real brindlecot-httpd on loopback for a test and stops it."""
import os
import re
import socket
import subprocess
import threading
import time

from conftest import HTTPD
NOTICE = re.compile(r"^Now accepting connections on port (\d+)\.$")


class Daemon:
    """One running daemon. Its standard output and error are collected by
    reader threads, so the pipes never fill up."""

    def __init__(self, site, port=0, args=(), cwd=None, prefix=()):
        self.site = str(site)
        self.cwd = str(cwd or os.path.dirname(self.site))
        self.proc = subprocess.Popen(
            list(prefix) + [HTTPD, self.site, str(port)] + list(args), cwd=self.cwd,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = []
        self.err = []
        self._threads = [threading.Thread(target=self._read, args=(self.proc.stdout, self.out), daemon=True),
                         threading.Thread(target=self._read, args=(self.proc.stderr, self.err), daemon=True)]
        for t in self._threads:
            t.start()
        self.port = None

    @staticmethod
    def _read(stream, into):
        for line in iter(stream.readline, b""):
            into.append(line.decode("utf-8", "replace").rstrip("\n"))

    def wait_started(self, timeout=10):
        """The port from the notice, or None when the daemon ended first."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for line in list(self.out):
                m = NOTICE.match(line)
                if m:
                    self.port = int(m.group(1))
                    return self.port
            if self.proc.poll() is not None:
                time.sleep(0.1)  # let the readers take the last lines
                return None
            time.sleep(0.02)
        raise AssertionError("daemon did not start: %r %r" % (self.out, self.err))

    def wait_for_line(self, text, timeout=5):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if any(text in line for line in self.out):
                return True
            time.sleep(0.02)
        return False

    def alive(self):
        return self.proc.poll() is None

    def rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
        for t in self._threads:
            t.join(timeout=5)


def start(site, port=0, args=(), cwd=None, attempts=1, prefix=()):
    """A started daemon. A fixed port that another test holds for a moment
    is tried again a few times. prefix goes before the program (setpriv, to
    run it as another user)."""
    for attempt in range(attempts):
        d = Daemon(site, port, args, cwd, prefix)
        if d.wait_started() is not None:
            return d
        d.stop()
        if attempt + 1 < attempts and any("Address already in use" in l for l in d.err):
            time.sleep(0.5)
            continue
        raise AssertionError("daemon failed: %r %r" % (d.out, d.err))
    raise AssertionError("port %d stayed busy" % port)


def raw(port, data, timeout=15, host="127.0.0.1", pace=0.0):
    """Sends bytes on a fresh connection (one byte every pace seconds when
    pace is given) and reads until the daemon closes it."""
    with socket.create_connection((host, port), timeout=timeout) as s:
        if pace:
            for i in range(len(data)):
                s.sendall(data[i:i + 1])
                time.sleep(pace)
        else:
            s.sendall(data)
        chunks = []
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            chunks.append(chunk)
        return b"".join(chunks)


def get(port, path, method="GET"):
    return raw(port, ("%s %s HTTP/1.0\r\nHost: localhost\r\n\r\n" % (method, path)).encode("latin-1"))


def status_of(response):
    line = response.split(b"\r\n", 1)[0]
    parts = line.split(b" ")
    return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None


def body_of(response):
    return response.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in response else b""


def free_low_port():
    """A port below 32768 (the daemon takes a signed 16-bit port) that is
    free on both IPv6 and IPv4 right now."""
    base = 22000 + os.getpid() % 8000
    for p in range(base, base + 2000):
        if p >= 32768:
            break
        try:
            with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
                s.bind(("::", p))
            return p
        except OSError:
            continue
    raise AssertionError("no free port")
