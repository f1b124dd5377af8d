"""Every package holds each file's own bytes, on a file system whose
timestamps advance once a second: there a file that staging deletes and
the next one it writes can share an inode number, a size and both times,
and the run must still not take one for the other.

The file system is an ext4 image with 128-byte inodes (no room for finer
timestamps) on a loop device; the launcher files and the native code that
staging drops are sized exactly like the default files written after
them.

Here the defences stand in for one another: the whole run fails only when
the generation, the drop on delete and the first pass's selection are all
gone. Each alone has a unit case that fails without it: the generation in
test_native_file.cpp and test_zip_threads.cpp (a reused inode told to the
run), the drop in test_staging_threads.cpp, the selection in
test_zip_threads.cpp."""
import contextlib
import os
import random
import shutil
import subprocess
import zipfile

import pytest

from conftest import build_installation
from publish_env import run_publish

DEFAULTS = ["open-source-licenses.txt", "font.ttf", "brindlecot.png",
            "brindlecot-controller.png", "console-logo.png"]
LAUNCHERS = ["brindlecot", "brindlecot.bat", "run", "run.bat", "replay.txt",
             "watch-recording", "watch-recording.bat", "run-demo", "run-demo.bat"]
PLATFORMS = "html5,macos,android,oculusquest,linux-amd64"
RUNS = 20


def run_quietly(args):
    return subprocess.run(args, capture_output=True, timeout=60)


@contextlib.contextmanager
def one_second_file_system(tmp_path):
    """An ext4 image with 128-byte inodes, mounted; unmounted and detached
    however the test ends."""
    if os.geteuid() != 0:
        pytest.skip("mounting a loop device needs root")
    for tool in ("mkfs.ext4", "losetup", "mount", "umount"):
        if shutil.which(tool) is None:
            pytest.skip("%s is needed to make and mount the file system" % tool)
    image, mount = tmp_path / "ext4.img", tmp_path / "mnt"
    mount.mkdir()
    with open(image, "wb") as f:
        f.truncate(96 * 1024 * 1024)
    made = run_quietly(["mkfs.ext4", "-q", "-F", "-I", "128", "-O", "^has_journal", str(image)])
    assert made.returncode == 0, made.stderr
    attached = run_quietly(["losetup", "--find", "--show", str(image)])
    if attached.returncode != 0:
        pytest.skip("no loop device can be set up here: %s"
                    % attached.stderr.decode(errors="replace").strip())
    device = attached.stdout.decode().strip()
    try:
        mounted = run_quietly(["mount", "-t", "ext4", device, str(mount)])
        if mounted.returncode != 0:
            pytest.skip("the loop device cannot be mounted here: %s"
                        % mounted.stderr.decode(errors="replace").strip())
        try:
            yield mount
        finally:
            assert run_quietly(["umount", str(mount)]).returncode == 0
    finally:
        run_quietly(["losetup", "-d", device])


def game_sources(inst):
    """Entry name below a package's game top -> the bytes it must hold."""
    game = inst / "mygame"
    sources = {}
    for dirpath, dirs, files in os.walk(game):
        dirs[:] = [d for d in dirs if d != ".git"]
        for name in files:
            path = os.path.join(dirpath, name)
            relative = os.path.relpath(path, game).replace(os.sep, "/")
            if relative in LAUNCHERS or name == ".DS_Store":
                continue
            with open(path, "rb") as f:
                sources[relative] = f.read()
    for name in DEFAULTS:
        sources.setdefault(name, (inst / name).read_bytes())
    return sources


def add_look_alikes(inst):
    """Launcher files, and native code of every selected platform, each as
    long as one of the default files and different from all of them."""
    sizes = [(inst / name).stat().st_size for name in DEFAULTS]
    rng = random.Random(34)
    game = inst / "mygame"
    for i, name in enumerate(LAUNCHERS):
        (game / name).write_bytes(rng.randbytes(sizes[i % len(sizes)]))
    for platform in ["android-arm64-v8a", "linux-amd64", "macos", "oculusquest", "html5"]:
        folder = game / "native" / platform
        folder.mkdir(parents=True, exist_ok=True)
        for i, size in enumerate(sizes):
            (folder / ("lib%d.so" % i)).write_bytes(rng.randbytes(size))


def game_top(package):
    """Where the game sits in each package."""
    name = os.path.basename(package)
    if name.endswith("-html5.zip"):
        return "gamedata/"
    if name.endswith(".apk"):
        return "assets/"
    if name.endswith("-macos.zip"):
        return "My Demo Game.app/Contents/Resources/"
    return ""


def check_package(package, sources):
    top = game_top(package)
    with zipfile.ZipFile(package) as z:
        names = set(z.namelist())
        for relative, data in sources.items():
            entry = top + relative
            if relative.startswith("native/") and entry not in names:
                continue  # another platform's native code
            assert entry in names, (package, entry)
            assert z.read(entry) == data, (package, entry)


def test_every_package_holds_each_files_own_bytes(tmp_path):
    with one_second_file_system(tmp_path) as mount:
        inst = build_installation(mount / "inst",
                                  keep_stubs=["html5", "macos", "android", "oculusquest",
                                              "linux-amd64"])
        add_look_alikes(inst)
        sources = game_sources(inst)
        packages = ["mygame-html5.zip", "mygame-macos.zip", "mygame-android.apk",
                    "mygame-oculusquest.apk", "mygame-linux-amd64.bin"]
        for _ in range(RUNS):
            r = run_publish(["--only-package", "--platforms=" + PLATFORMS, "mygame"], inst,
                            timeout=120)
            assert r.returncode == 0, r.stdout.decode(errors="replace")[-3000:]
            for name in packages:
                check_package(str(inst / "builds" / name), sources)
