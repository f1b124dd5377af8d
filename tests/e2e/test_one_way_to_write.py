"""Every file the publisher and the daemon write goes one way: made anew
beneath the installation, whatever stood at its name removed unfollowed and
unopened. Planted as a second name of an outside file, a symbolic link to
one or a pipe, a log, a file of a build tree, a package's temporary, a
staged file or an output folder never carries a byte outside, never holds
a run, and never lets a package take a name that is not its own file.

Races are polled (no inotify), bounded in time and counted: a case whose
racer never got there in time skips with the reason."""
import http.server
import os
import pathlib
import random
import re
import shutil
import stat
import subprocess
import threading
import time
import zipfile

import pytest
from PIL import Image

import httpd_daemon
from conftest import PUBLISH, build_installation, stubs_dir
from publish_env import Background, lines, run_publish, texts

VICTIM = b"outside bytes, which no run may change\n"
RACE_SECONDS = 60


@pytest.fixture
def outside(tmp_path):
    """A folder beside the installation with a file (given a time no write
    could leave) and an empty folder."""
    top = tmp_path / "outside"
    (top / "folder").mkdir(parents=True)
    victim = top / "victim.txt"
    victim.write_bytes(VICTIM)
    os.chmod(victim, 0o600)
    os.utime(victim, ns=(10 ** 18, 10 ** 18))
    os.utime(top / "folder", ns=(10 ** 18, 10 ** 18))
    return top


def state(top):
    """Every entry below top: its kind, mode, modification time and bytes
    (a folder's time changes when a name comes or goes in it)."""
    seen = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            st = os.lstat(full)
            data = pathlib.Path(full).read_bytes() if stat.S_ISREG(st.st_mode) else None
            seen[os.path.relpath(full, top)] = (st.st_mode, st.st_mtime_ns, data)
    return seen


def output_of(result):
    return lines(result) + result.stderr.decode("utf-8", "replace").splitlines()


def clear(folder):
    for entry in os.listdir(folder) if os.path.isdir(folder) else ():
        path = os.path.join(folder, entry)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)


def own_file(path):
    """A regular file with no other name: one the program made itself."""
    st = os.lstat(path)
    return stat.S_ISREG(st.st_mode) and st.st_nlink == 1


# --- logs --------------------------------------------------------------------

def run_publisher(inst):
    r = run_publish(["--only-package", "--platforms=linux-amd64", "mygame"], inst, timeout=60)
    return r.returncode, lines(r)


def run_daemon(inst):
    """Started on port 0 of loopback, asked for a page, stopped. A daemon
    that never starts (held by its log) fails the case after 10 s."""
    d = httpd_daemon.Daemon(inst / "site", 0, (), inst)
    try:
        assert d.wait_started(timeout=10), (d.out, d.err)
        assert httpd_daemon.status_of(httpd_daemon.get(d.port, "/")) == 200
        assert d.wait_for_line("Try pointing your browser at")
    finally:
        d.stop()
    return d.proc.returncode, d.out


# program, its log, how a run goes
PROGRAMS = [
    ("publisher", "brindlecot-publish.txt", run_publisher),
    ("daemon", "brindlecot-httpd.txt", run_daemon),
]


def plant_fifo_read(log, victim):
    """A pipe with a reader that never blocks: a writer would open it."""
    os.mkfifo(log)
    return os.open(log, os.O_RDONLY | os.O_NONBLOCK)


LOG_PLANTS = [
    ("hard link", lambda log, victim: os.link(victim, log)),
    ("symbolic link", lambda log, victim: os.symlink(victim, log)),
    ("fifo", lambda log, victim: os.mkfifo(log)),
    ("fifo with a reader", plant_fifo_read),
]


@pytest.fixture
def log_inst(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    (inst / "site").mkdir()
    (inst / "site" / "index.html").write_bytes(b"<p>served</p>")
    (inst / "logs").mkdir(exist_ok=True)
    return inst


def assert_log_of_run(log, out):
    """The log is the program's own file and holds the lines the run
    printed, nothing of before."""
    assert own_file(log)
    held = log.read_bytes().decode("utf-8", "replace").replace("\r\n", "\n").splitlines()
    assert held == out


@pytest.mark.parametrize("what,plant", LOG_PLANTS, ids=[p[0] for p in LOG_PLANTS])
@pytest.mark.parametrize("program,name,run", PROGRAMS, ids=[p[0] for p in PROGRAMS])
def test_a_log_planted_as_another_file_is_replaced_by_the_runs_own(log_inst, outside, program,
                                                                   name, run, what, plant):
    plain_status, _ = run(log_inst)
    log = log_inst / "logs" / name
    log.unlink()
    before = state(outside)
    reader = plant(log, outside / "victim.txt")
    try:
        status, out = run(log_inst)
        if reader is not None:
            assert os.read(reader, 1 << 16) == b""  # nothing was written into the pipe
    finally:
        if reader is not None:
            os.close(reader)
    assert status == plain_status, out
    assert state(outside) == before
    assert_log_of_run(log, out)


@pytest.mark.parametrize("program,name,run", PROGRAMS, ids=[p[0] for p in PROGRAMS])
def test_a_log_of_its_own_is_rewritten_in_place(log_inst, program, name, run):
    log = log_inst / "logs" / name
    log.write_bytes(b"an earlier run's line\r\n" * 5000)
    # Held open, as by someone following the log (which also keeps its
    # inode number from going to a file made anew).
    follower = os.open(log, os.O_RDONLY)
    try:
        _, out = run(log_inst)
        assert os.fstat(follower).st_ino == os.stat(log).st_ino
        assert os.pread(follower, 1 << 20, 0) == log.read_bytes()
    finally:
        os.close(follower)
    assert_log_of_run(log, out)


# --- files of a build tree ---------------------------------------------------

LINKS = [("hard link", os.link), ("symbolic link", os.symlink)]

# platform, the tree's folder the files go in, the files, the package
TREES = [
    ("html5", "builds/mygame-html5-1.0",
     ("manifest.json", "index.html", "favicon.png", "brindlecot-html5-loader.js"),
     "mygame-html5.zip"),
    ("android", "builds/mygame-android-1.0",
     ("resources.arsc", "AndroidManifest.xml", "classes.dex", "classes2.dex"),
     "mygame-android.apk"),
    ("googleplay", "builds/mygame-googleplay-1.0", ("BundleConfig.pb",), "mygame-googleplay.aab"),
    ("macos", "builds/mygame-mac-1.0/My Demo Game.app/Contents", ("Info.plist",),
     "mygame-macos.zip"),
]


def comparable(name, data):
    """What two plain runs agree on: the HTML5 manifest holds each staged
    file's time, an Android manifest a build ID taken from the clock."""
    if name == "manifest.json":
        return re.sub(rb'"filetime" : \d+', b'"filetime" : 0', data)
    if name.endswith("AndroidManifest.xml"):
        return len(data)
    return data


def entries(package):
    with zipfile.ZipFile(package) as z:
        assert z.testzip() is None, package
        return [(n, comparable(n, z.read(n))) for n in z.namelist()]


class Planter:
    """Once each, links target at every name below top as soon as that
    name's folder is there, polling, for at most RACE_SECONDS. won: the
    names planted before the publisher made them; a name it made first is
    left alone."""

    def __init__(self, top, names, target, link):
        self.top, self.names, self.target, self.link = top, names, str(target), link
        self.won = []

    def run(self, stopped):
        pending = list(self.names)
        deadline = time.monotonic() + RACE_SECONDS
        while pending and not stopped.is_set() and time.monotonic() < deadline:
            for name in list(pending):
                try:
                    self.link(self.target, os.path.join(self.top, name))
                    self.won.append(name)
                    pending.remove(name)
                except FileExistsError:
                    pending.remove(name)
                except (FileNotFoundError, NotADirectoryError):
                    pass


@pytest.mark.parametrize("kind,link", LINKS, ids=[k for k, _ in LINKS])
@pytest.mark.parametrize("platform,top,names,package", TREES, ids=[t[0] for t in TREES])
def test_a_link_planted_in_a_build_tree_never_takes_a_write(tmp_path, outside, platform, top,
                                                            names, package, kind, link):
    inst = build_installation(tmp_path / "inst", keep_stubs=[platform])
    # The stub's files are copied first, index.html and classes.dex among
    # them: more of them leave the racer time to plant those too.
    stub = stubs_dir(inst) / platform / "stub"
    if stub.is_dir():
        for i in range(40):
            (stub / ("extra%02d.txt" % i)).write_bytes(b"stub file %d\n" % i)
    args = ["--only-package", "--platforms=" + platform, "mygame"]
    r = run_publish(args, inst, timeout=60)
    assert r.returncode == 0, output_of(r)
    reference = entries(inst / "builds" / package)
    builds = inst / "builds"
    before = state(outside)
    won = set()
    for attempt in range(10):
        clear(builds)
        planter = Planter(inst / top, names, outside / "victim.txt", link)
        with Background(planter.run):
            r = run_publish(args, inst, timeout=60)
        assert state(outside) == before, attempt
        assert not any(os.path.islink(builds / n) for n in os.listdir(builds))
        if r.returncode == 0:
            assert own_file(builds / package)
            assert entries(builds / package) == reference
            assert all(own_file(inst / top / n) for n in planter.won)
        else:
            named = ["%s/%s" % (top, n) for n in planter.won]
            assert any(p in l for p in named for l in output_of(r)), output_of(r)
            assert not os.path.lexists(builds / package)
        won.update(planter.won)
        if won == set(names):
            return
    pytest.skip("the racer never planted %s before the publisher wrote it in 10 runs" %
                ", ".join(sorted(set(names) - won)))


# --- a result's temporary swapped --------------------------------------------

PACKAGE_LINE = ("Couldn't write '%s': another file was put in its place while it was written, "
                "and the publisher gives a name only to the file it wrote")


def swap(temp, link, target, spare):
    """temp replaced in one step by a link to target, made at spare."""
    link(str(target), str(spare))
    os.rename(spare, temp)


def start_publish(args, cwd, out):
    return subprocess.Popen([PUBLISH, "--set", "log.timing", "false"] + args, cwd=str(cwd),
                            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)


@pytest.mark.parametrize("kind,link", LINKS, ids=[k for k, _ in LINKS])
def test_a_package_temporary_swapped_while_written_takes_no_name(tmp_path, outside, kind, link):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    data = inst / "mygame" / "data" / "noise"
    data.mkdir()
    rng = random.Random(5)
    for i in range(3):  # incompressible, so that the package takes a while to write
        (data / ("n%d.bin" % i)).write_bytes(rng.randbytes(8 << 20))
    builds = inst / "builds"
    builds.mkdir(exist_ok=True)
    package = builds / "mygame-linux-amd64.bin"
    earlier = b"an earlier run's package\n"
    before = state(outside)
    for attempt in range(5):
        package.write_bytes(earlier)
        with open(tmp_path / "out.txt", "wb") as out:
            proc = start_publish(["--only-package", "--platforms=linux-amd64", "mygame"], inst,
                                 out)
        temp = builds / (".mygame-linux-amd64.bin.brindlecot-tmp-%d" % proc.pid)
        swapped = False
        deadline = time.monotonic() + RACE_SECONDS
        while not swapped and proc.poll() is None and time.monotonic() < deadline:
            if os.path.lexists(temp):
                swap(temp, link, outside / "victim.txt", tmp_path / "spare")
                swapped = True
        status = proc.wait(timeout=RACE_SECONDS)
        said = (tmp_path / "out.txt").read_text(errors="replace").splitlines()
        assert state(outside) == before, attempt
        assert not package.is_symlink()
        if swapped and status != 0:
            assert "! " + PACKAGE_LINE % "builds/mygame-linux-amd64.bin" in said, said
            assert not os.path.lexists(temp)
            # A failed build deletes an earlier package (package.cpp), so
            # that none is taken for this run's; one still there is whole.
            assert not os.path.lexists(package) or package.read_bytes() == earlier
            return
        # The swap came after the package took its name: a clean run.
        assert status == 0, said
        assert own_file(package) and zipfile.ZipFile(package).testzip() is None
        if os.path.lexists(temp):
            os.unlink(temp)
    pytest.skip("the package was never still being written when its temporary was swapped, "
                "in 5 runs")


class HeldBody(http.server.BaseHTTPRequestHandler):
    """Sends half the body, waits for the test to swap the download's
    temporary (at most 30 s), then the rest."""
    body = random.Random(6).randbytes(1 << 20)
    swapped = None

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", str(len(self.body)))
        self.end_headers()
        half = len(self.body) // 2
        self.wfile.write(self.body[:half])
        self.wfile.flush()
        self.swapped.wait(30)
        self.wfile.write(self.body[half:])

    def log_message(self, *args):
        pass


@pytest.mark.parametrize("kind,link", LINKS, ids=[k for k, _ in LINKS])
def test_a_download_temporary_swapped_while_written_leaves_the_earlier_file(tmp_path, outside,
                                                                            kind, link):
    work = tmp_path / "work"
    work.mkdir()
    earlier = b"an earlier download\n"
    (work / "got.bin").write_bytes(earlier)
    HeldBody.swapped = threading.Event()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), HeldBody)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                     daemon=True).start()
    before = state(outside)
    try:
        url = "http://127.0.0.1:%d/held" % server.server_address[1]
        with open(tmp_path / "out.txt", "wb") as out:
            proc = start_publish(["--download", url, "got.bin"], work, out)
        temp = work / (".got.bin.brindlecot-tmp-%d" % proc.pid)
        deadline = time.monotonic() + 30
        while not os.path.lexists(temp) and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.005)
        assert os.path.lexists(temp), (tmp_path / "out.txt").read_text()
        swap(temp, link, outside / "victim.txt", tmp_path / "spare")
        HeldBody.swapped.set()
        status = proc.wait(timeout=60)
    finally:
        HeldBody.swapped.set()
        server.shutdown()
        server.server_close()
    said = (tmp_path / "out.txt").read_text(errors="replace").splitlines()
    assert status == 1, said
    assert "! " + PACKAGE_LINE % "got.bin" in said, said
    assert state(outside) == before
    assert sorted(os.listdir(work)) == ["got.bin", "logs"]
    assert own_file(work / "got.bin") and (work / "got.bin").read_bytes() == earlier


# --- a staged file swapped before it is zipped -------------------------------

def test_a_staged_file_made_a_link_before_packaging_fails_the_build(tmp_path, outside):
    inst = build_installation(tmp_path / "inst", keep_stubs=["android"])
    dex = "builds/mygame-android-1.0/classes.dex"
    stub_dex = inst / ".brindlecot" / "stubs" / "android" / "stub" / "classes.dex"
    size = stub_dex.stat().st_size
    before = state(outside)
    for attempt in range(5):
        clear(inst / "builds")
        with open(tmp_path / "out.txt", "wb") as out:
            proc = start_publish(["--only-package", "--platforms=android", "mygame"], inst, out)
        swapped = False
        deadline = time.monotonic() + RACE_SECONDS
        while not swapped and proc.poll() is None and time.monotonic() < deadline:
            try:
                st = os.lstat(inst / dex)
            except FileNotFoundError:
                continue
            if stat.S_ISREG(st.st_mode) and st.st_size == size:  # written whole
                swap(inst / dex, os.symlink, outside / "victim.txt", tmp_path / "spare")
                swapped = True
        status = proc.wait(timeout=RACE_SECONDS)
        said = (tmp_path / "out.txt").read_text(errors="replace").splitlines()
        assert state(outside) == before, attempt
        if swapped and status != 0:
            line = ("'%s' is a symbolic link, and nothing the publisher staged is one: "
                    "something else put it there" % dex)
            assert any(line in l for l in said), said
            assert not [n for n in os.listdir(inst / "builds") if ".apk" in n]
            return
        # The swap came after the zip had read the file: a whole package.
        assert status == 0, said
        with zipfile.ZipFile(inst / "builds" / "mygame-android.apk") as z:
            assert z.read("classes.dex") == stub_dex.read_bytes()
    pytest.skip("the staged classes.dex was never swapped before it was zipped, in 5 runs")


# --- an output folder that is a link -----------------------------------------

LINKED = [
    (["--make-ico", "icon.png", "linked/x.ico"], "linked/x.ico", "linked"),
    (["--download", "http://127.0.0.1:1/x", "linked/x"], "linked/x", "linked"),
    (["--make-ico", "icon.png", ".brindlecot/x.ico"], ".brindlecot/x.ico", ".brindlecot"),
]


@pytest.mark.parametrize("args,given,linked", LINKED, ids=[c[1] for c in LINKED])
def test_an_output_folder_that_is_a_link_is_never_written_through(tmp_path, outside, args,
                                                                  given, linked):
    work = tmp_path / "work"
    work.mkdir()
    Image.new("RGBA", (64, 64), (200, 30, 30, 255)).save(str(work / "icon.png"))
    os.symlink(outside / "folder", work / linked)
    before = state(outside)
    r = run_publish(args, work, timeout=60)
    assert r.returncode == 1, output_of(r)
    assert ("Can't write '%s': '%s' is a symbolic link, and the publisher never writes through "
            "one" % (given, linked)) in texts(r, "! "), output_of(r)
    assert state(outside) == before


# --- a lease on the lock -----------------------------------------------------

LEASE_HOLDER = """
import fcntl, os, signal, sys, time
signal.signal(signal.SIGIO, signal.SIG_IGN)  # told of the break, it keeps its lease
fd = os.open(sys.argv[1], os.O_RDONLY)
try:
    fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK)
    print("held", flush=True)
except OSError as e:
    print("refused: %s" % e, flush=True)
time.sleep(120)
"""


def test_a_lease_on_the_lock_is_told_apart_from_another_publish(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    lock = inst / ".brindlecot" / "publish.lock"
    lock.touch()
    holder = subprocess.Popen(["python3", "-c", LEASE_HOLDER, str(lock)], stdout=subprocess.PIPE,
                              text=True)
    try:
        said = holder.stdout.readline().strip()
        if said != "held":
            pytest.skip("no lease could be taken here (%s): it needs the file's owner or "
                        "CAP_LEASE, and a local file system" % said)
        started = time.monotonic()
        r = run_publish(["--only-package", "--platforms=linux-amd64", "mygame"], inst, timeout=40)
        took = time.monotonic() - started
    finally:
        holder.kill()
        holder.wait()
    err = r.stderr.decode("utf-8", "replace")
    assert r.returncode == 1, output_of(r)
    assert ("Can't lock '.brindlecot/publish.lock': another program holds a lease on it and "
            "has not let it go") in err, err
    assert "Another publish is running" not in err
    # The kernel would let the lease stand for 45 s; the lock gives up long before.
    assert took < 20, took
    assert not os.path.lexists(inst / "builds" / "mygame-linux-amd64.bin")
