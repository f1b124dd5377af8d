"""A pipe or a device where the installation should hold a regular file (a
stub, a file the builds read from a stub directory, a default file) is
refused with a line naming it, or skipped with its line inside a stub tree
that is copied whole; the run never waits on it."""
import os
import resource
import shutil
import stat
import subprocess

import pytest

from conftest import PUBLISH, build_installation

STUBS = os.path.join(".brindlecot", "stubs")
NOT_REGULAR = "it is not a regular file (a pipe, a socket or a device)"

# id, the path made special, the platform built, the package it would make,
# a line the output holds (the status is 1 unless the line is a skip)
CASES = [
    ("desktop-stub", os.path.join(STUBS, "linux-amd64"), "linux-amd64",
     "mygame-linux-amd64.bin",
     "! Can't open '.brindlecot/stubs/linux-amd64' for reading: " + NOT_REGULAR),
    ("windows-stub", os.path.join(STUBS, "windows-amd64"), "windows-amd64",
     "mygame-windows-amd64.exe",
     "! Can't open '.brindlecot/stubs/windows-amd64' for reading: " + NOT_REGULAR),
    ("macos-stub", os.path.join(STUBS, "macos"), "macos", "mygame-macos.zip",
     "! Can't open '.brindlecot/stubs/macos' for reading: " + NOT_REGULAR),
    ("html5-loader", os.path.join(STUBS, "html5", "brindlecot-html5-loader.js"), "html5",
     "mygame-html5.zip",
     "! Can't open '.brindlecot/stubs/html5/brindlecot-html5-loader.js' for reading: "
     + NOT_REGULAR),
    ("manifest-template", os.path.join(STUBS, "android", "BrindlecotManifest.xml"), "android",
     "mygame-android.apk",
     "! Failed to load '.brindlecot/stubs/android/BrindlecotManifest.xml': " + NOT_REGULAR),
    ("resource-block", os.path.join(STUBS, "android", "BrindlecotResourcesBlob.bin"),
     "android", "mygame-android.apk",
     "! Can't open '.brindlecot/stubs/android/BrindlecotResourcesBlob.bin' for reading: "
     + NOT_REGULAR),
    ("bundle-template", os.path.join(STUBS, "googleplay", "BrindlecotManifest.xml"),
     "googleplay", "mygame-googleplay.aab",
     "! Failed to load '.brindlecot/stubs/googleplay/BrindlecotManifest.xml': " + NOT_REGULAR),
    ("default-in-plan", "font.ttf", "linux-amd64", "mygame-linux-amd64.bin",
     "! Can't open 'font.ttf' for reading: " + NOT_REGULAR),
    ("default-staged", "console-logo.png", "html5", "mygame-html5.zip",
     "! Can't open 'console-logo.png' for reading: " + NOT_REGULAR),
    ("default-in-apk", "brindlecot.png", "android", "mygame-android.apk",
     "! Can't open 'brindlecot.png' for reading: " + NOT_REGULAR),
    ("in-a-stub-tree", os.path.join(STUBS, "html5", "stub", "index.html"), "html5",
     "mygame-html5.zip",
     "- Skipping '.brindlecot/stubs/html5/stub/index.html': not a regular file or directory"),
]


def file_size_limit():
    """Caps what the run may write to one file: a device read without end
    then fails that run instead of filling the disk."""
    resource.setrlimit(resource.RLIMIT_FSIZE, (256 << 20, 256 << 20))


@pytest.fixture(scope="module")
def template(tmp_path_factory):
    return build_installation(tmp_path_factory.mktemp("special") / "inst")


def make_special(path, kind):
    if path.is_dir():
        shutil.rmtree(path)
    else:
        path.unlink()
    if kind == "fifo":
        os.mkfifo(path)
        return
    # The device that never ends: a read of it would fill the disk.
    try:
        os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 5))
    except PermissionError:
        pytest.skip("making a device needs the right to (root, outside a container)")


@pytest.mark.parametrize("kind", ["fifo", "device"])
@pytest.mark.parametrize("path,platform,package,expected", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_a_special_file_in_the_installation_is_refused(template, tmp_path, kind, path,
                                                        platform, package, expected):
    inst = tmp_path / "inst"
    shutil.copytree(template, inst, symlinks=True)
    make_special(inst / path, kind)
    # A run that waits on the file fails here rather than hanging the suite.
    r = subprocess.run([PUBLISH, "--set", "log.timing", "false", "--only-package",
                        "--platforms=" + platform, "mygame"], cwd=str(inst),
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                       preexec_fn=file_size_limit)
    out = r.stdout.decode("utf-8", "replace")
    assert expected in out, out
    skipped = expected.startswith("- ")
    assert r.returncode == (0 if skipped else 1), out
    assert (inst / "builds" / package).exists() == skipped, out
    if not skipped:
        assert out.count(expected) == 1, out
