"""--only-package end to end: the publish driver and the desktop builds, run
as the real program in a generated installation."""
import io
import os
import shutil
import stat
import subprocess
import zipfile

import pytest

from conftest import PUBLISH, STUBS, build_installation
from publish_env import built_platforms, lines, run_publish, texts

DESKTOP = ["linux-amd64", "linux-raspberrypi", "ios-device"]
DEFAULT_FILES = ["open-source-licenses.txt", "font.ttf", "brindlecot.png",
                 "brindlecot-controller.png", "console-logo.png"]

HELP_BLOCK = [
    "", "",
    "We're having a problem with your game's metadata.",
    "Please make sure that mygame\\metadata\\game_metadata.txt exists",
    " and looks something like this:",
    "",
    "devid=myname", "devtitle=My Name", "gameid=mygame", "gametitle=My Game",
    "version=0.1", "icon=metadata/icon.png",
    "", "",
]
NO_PLATFORMS = ["We don't seem to have built for any platforms!",
                "Please make sure your Brindlecot installation isn't damaged."]


@pytest.fixture
def inst(tmp_path):
    return build_installation(tmp_path / "inst", keep_stubs=DESKTOP)


def stub_bytes(inst, name):
    return (inst / STUBS / name).read_bytes()


def test_desktop_packages(inst):
    # Excluded names at depth must never reach a package.
    (inst / "mygame" / "data" / ".git").mkdir()
    (inst / "mygame" / "data" / ".git" / "HEAD").write_text("x")
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0, r.stdout
    assert sorted(built_platforms(r)) == sorted(DESKTOP)
    assert sorted(os.listdir(inst / "builds")) == ["mygame-linux-amd64.bin",
                                                   "mygame-linux-raspberrypi.bin"]
    for name in ["linux-amd64", "linux-raspberrypi"]:
        package = inst / "builds" / ("mygame-%s.bin" % name)
        data = package.read_bytes()
        stub = stub_bytes(inst, name)
        assert data.startswith(stub)
        assert stat.S_IMODE(package.stat().st_mode) == 0o755
        archive = zipfile.ZipFile(io.BytesIO(data[len(stub):]))
        assert archive.testzip() is None
        names = set(archive.namelist())
        for f in DEFAULT_FILES + ["metadata/BRINDLECOT_PRODUCTION_BUILD",
                                  "metadata/game_metadata.txt", "app/main.rb"]:
            assert f in names
        assert not any(".DS_Store" in n or ".git" in n for n in names)
        assert ("native/%s/" % name) in names
        # The package runs and finds the game inside itself.
        listed = subprocess.run([str(package)], capture_output=True, timeout=30,
                                cwd=str(inst)).stdout.decode().split()
        assert "metadata/BRINDLECOT_PRODUCTION_BUILD" in listed
        assert "app/main.rb" in listed
        assert not any(".DS_Store" in n for n in listed)
        shown = subprocess.run([str(package), "--cat", "metadata/game_metadata.txt"],
                               capture_output=True, timeout=30, cwd=str(inst)).stdout
        assert shown == (inst / "mygame" / "metadata" / "game_metadata.txt").read_bytes()
    assert not (inst / ".brindlecot" / "tmp.zip").exists()


def test_desktop_builds_copy_nothing_and_remove_an_old_staging_tree(inst):
    # What an older version left: its staging tree and its zip.
    old = inst / ".brindlecot" / "tmptree"
    (old / "metadata").mkdir(parents=True)
    (old / "metadata" / "stale.txt").write_text("x")
    (inst / ".brindlecot" / "tmp.zip").write_bytes(b"x")
    r = run_publish(["--only-package", "--platforms=linux-amd64,linux-raspberrypi",
                     "mygame"], inst)
    assert r.returncode == 0
    copies = [t for t in texts(r, "- ") if t.startswith("Copying ")]
    # The stubs alone: the game goes into the packages straight from its files.
    assert sorted(copies) == sorted(
        "Copying '.brindlecot/stubs/%s' to 'builds/mygame-%s.bin'..." % (p, p)
        for p in ("linux-amd64", "linux-raspberrypi")), copies
    assert not old.exists()
    assert not (inst / ".brindlecot" / "tmp.zip").exists()


@pytest.mark.parametrize("platforms, built, ok", [
    ("linux-raspberrypi,ios-device", {"linux-raspberrypi", "ios-device"}, True),
    ("LINUX-AMD64", set(), False),
    ("a,,b", set(), False),
    ("a,", set(), False),
    (",", set(), False),
    ("", set(DESKTOP), True),
    ("ios-device", {"ios-device"}, True),
])
def test_platform_filter(inst, platforms, built, ok):
    r = run_publish(["--only-package", "--platforms=" + platforms, "mygame"], inst)
    assert set(built_platforms(r)) == built
    assert len(built_platforms(r)) == len(built)
    assert (r.returncode == 0) == ok
    if ok:
        assert "All platform builds are complete!" in texts(r, "- ")
    else:
        assert texts(r, "! ")[-5:] == NO_PLATFORMS + ["", "Packaging failed!", ""]


def test_ios_device_alone_builds_nothing_and_succeeds(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["ios-device"])
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0
    assert built_platforms(r) == ["ios-device"]
    assert os.listdir(inst / "builds") == []


@pytest.mark.parametrize("metadata", [
    None,
    "devid=a\ndevtitle=b\ngameid=c\ngametitle=d\n",  # no version
])
def test_bad_metadata_prints_the_help_block(inst, metadata):
    path = inst / "mygame" / "metadata" / "game_metadata.txt"
    if metadata is None:
        path.unlink()
    else:
        path.write_text(metadata)
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 1
    errors = texts(r, "! ")
    tail = ["Failed to load game metadata"] + HELP_BLOCK + ["", "Packaging failed!", ""]
    assert errors[-len(tail):] == tail
    assert built_platforms(r) == []


def test_stub_names_keep_their_case(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    shutil.move(str(inst / STUBS / "linux-amd64"), str(inst / STUBS / "Linux-Arm"))
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0
    assert os.listdir(inst / "builds") == ["mygame-Linux-Arm.bin"]


def test_unknown_stub_fails_and_stops_the_walk(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    (inst / STUBS / "beos").write_bytes(b"x")
    r = run_publish(["mygame"], inst)
    assert r.returncode == 1
    assert "Unknown platform 'beos'" in texts(r, "! ")
    order = built_platforms(r)
    assert order[-1] == "beos"
    # What was built before the failure stays; nothing is uploaded.
    if order[0] == "linux-amd64":
        assert (inst / "builds" / "mygame-linux-amd64.bin").exists()
    else:
        assert not (inst / "builds" / "mygame-linux-amd64.bin").exists()
    built = "linux-amd64" if order[0] == "linux-amd64" else "none"
    rest = "none" if order[0] == "linux-amd64" else "linux-amd64"
    assert texts(r, "! ")[-4:] == ["", "Publishing failed!", "",
                                   "Platforms built: %s; failed: beos; not attempted: %s"
                                   % (built, rest)]
    assert lines(r)[-2].startswith("! Platforms built: ")  # then the log's own last line
    assert not any("itch.io" in l or "butler" in l for l in lines(r))


def test_closing_line_names_a_failed_platform_once(tmp_path):
    # The HTML5 build records its site beside its package, failed or not.
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64", "html5"])
    shutil.rmtree(inst / STUBS / "html5" / "stub")
    r = run_publish(["--only-package", "--platforms=linux-amd64,html5", "mygame"], inst)
    assert r.returncode == 1
    assert "The HTML5 stub has no web root directory '.brindlecot/stubs/html5/stub'" \
        in texts(r, "! ")
    if built_platforms(r) == ["html5"]:
        closing = "Platforms built: none; failed: html5; not attempted: linux-amd64"
    else:
        assert built_platforms(r) == ["linux-amd64", "html5"]
        closing = "Platforms built: linux-amd64; failed: html5; not attempted: none"
    assert texts(r, "! ")[-1] == closing


def test_failed_desktop_build_leaves_no_package(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    # A stub that is a directory cannot be copied.
    (inst / STUBS / "linux-broken").mkdir()
    (inst / STUBS / "linux-broken" / "x").write_bytes(b"x")
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 1
    assert not (inst / "builds" / "mygame-linux-broken.bin").exists()
    assert not (inst / ".brindlecot" / "tmp.zip").exists()
    if built_platforms(r)[0] == "linux-amd64":
        assert (inst / "builds" / "mygame-linux-amd64.bin").exists()


@pytest.mark.parametrize("platforms, built, ok", [
    ("html5,macos", {"html5", "macos"}, True),
    ("macos,html5", {"html5", "macos"}, True),
    ("HTML5", set(), False),
])
def test_platform_filter_is_exact_and_case_sensitive(tmp_path, platforms, built, ok):
    inst = build_installation(tmp_path / "inst", keep_stubs=["html5", "macos", "linux-amd64"])
    r = run_publish(["--only-package", "--platforms=" + platforms, "mygame"], inst)
    order = built_platforms(r)
    assert set(order) == built and len(order) == len(built)
    # Built in the stub directory's order, whatever the list's order.
    listed = [n for n in os.listdir(inst / STUBS) if n in built]
    assert order == listed
    assert (r.returncode == 0) == ok
    if not ok:
        assert texts(r, "! ")[-5:] == NO_PLATFORMS + ["", "Packaging failed!", ""]


def _cap_file_size():
    import resource
    import signal
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100000, resource.RLIM_INFINITY))


def test_publish_that_runs_out_of_room_names_the_cause_and_deletes_the_package(tmp_path):
    """The Windows stub (over 100 kB) no longer fits once files are capped
    at 100,000 bytes: the copy fails with the system's own cause."""
    inst = build_installation(tmp_path / "inst", keep_stubs=["windows-amd64"])
    r = subprocess.run([PUBLISH, "--set", "log.timing", "false", "--only-package", "mygame"],
                       cwd=str(inst), stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=300, preexec_fn=_cap_file_size)
    assert r.returncode != 0
    assert "Write to 'builds/mygame-windows-amd64.exe' failed: File too large" in texts(r, "! ")
    assert not (inst / "builds" / "mygame-windows-amd64.exe").exists()
    assert not any("not found" in t for t in texts(r, "! "))


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting a tmpfs needs root")
def test_publish_onto_a_full_file_system_says_no_space(tmp_path):
    mount = tmp_path / "small"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(mount)],
                      capture_output=True, timeout=30).returncode != 0:
        pytest.skip("no tmpfs mount here")
    try:
        inst = build_installation(mount / "inst", keep_stubs=["windows-amd64"])
        used = shutil.disk_usage(str(mount)).used
        # Room for the staging and the zip, none for the package.
        subprocess.run(["mount", "-o", "remount,size=%d" % (used + 96 * 1024), str(mount)],
                       check=True, capture_output=True, timeout=30)
        r = run_publish(["--only-package", "mygame"], inst)
        assert r.returncode != 0
        errors = texts(r, "! ")
        assert any(t.endswith("failed: No space left on device") for t in errors), errors
        assert not (inst / "builds" / "mygame-windows-amd64.exe").exists()
    finally:
        subprocess.run(["umount", str(mount)], capture_output=True, timeout=30)
