"""A game directory the publisher cannot walk whole: an unreadable
directory or file (the publisher run as an unprivileged user, since root
reads everything) and a path that becomes longer than the system allows once
it is staged. Each ends the publish with one line that names the path and gives
the operating system's reason, besides "Packaging failed!"."""
import os
import shutil
import subprocess
import tempfile
import zipfile

import pytest

from conftest import PUBLISH, build_installation
from publish_env import lines

NOBODY = 65534


def error_lines(result):
    """The error lines with a text, without the framing of the last one and
    the closing line that names the platforms."""
    return [l[2:] for l in lines(result)
            if l.startswith("! ") and l[2:].strip() not in ("", "Packaging failed!")
            and not l[2:].startswith("Platforms built: ")]


def publish(inst, as_nobody=False, platform="linux-amd64"):
    args = [PUBLISH, "--set", "log.timing", "false", "--only-package",
            "--platforms=" + platform, "mygame"]
    if as_nobody:
        args = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"] + args
    return subprocess.run(args, cwd=str(inst), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=300)


@pytest.fixture
def open_tmp():
    """A directory that an unprivileged user may enter (pytest's own are
    private to root)."""
    path = tempfile.mkdtemp(prefix="walk-")
    os.chmod(path, 0o755)
    yield path
    shutil.rmtree(path, ignore_errors=True)


STUB = ".brindlecot/stubs/android/stub"


def publish_with_unreadable(open_tmp, name, is_dir, platform):
    """Publishes for platform with name (a directory holding a file, or a
    file) unreadable to the publisher."""
    if os.geteuid() == 0 and shutil.which("setpriv") is None:
        pytest.skip("setpriv is needed to drop root")
    inst = build_installation(os.path.join(open_tmp, "inst"))
    secret = inst / name
    if is_dir:
        secret.mkdir(exist_ok=True)
        (secret / "key.txt").write_text("x")
    else:
        secret.write_text("x")
    as_nobody = os.geteuid() == 0
    if as_nobody:
        for dirpath, dirs, files in os.walk(inst):
            for entry in [dirpath] + [os.path.join(dirpath, n) for n in dirs + files]:
                os.lchown(entry, NOBODY, NOBODY)
    secret.chmod(0)
    try:
        return publish(inst, as_nobody, platform)
    finally:
        secret.chmod(0o755)


@pytest.mark.parametrize("name,is_dir,platform,message", [
    ("mygame/secret", True, "linux-amd64",
     "Can't read directory 'mygame/secret': Permission denied"),
    # A desktop package reads the game's files itself; the HTML5 site
    # copies them first.
    ("mygame/secret.txt", False, "linux-amd64",
     "Opening 'mygame/secret.txt' for read failed: Permission denied"),
    ("mygame/secret.txt", False, "html5",
     "Can't open 'mygame/secret.txt' for reading: Permission denied"),
    # The stub tree's top and a directory inside it: once the first of these
    # gave "Packaging failed!" alone.
    (STUB, True, "android", "Can't read directory '%s': Permission denied" % STUB),
    (STUB + "/secret", True, "android",
     "Can't read directory '%s/secret': Permission denied" % STUB),
], ids=["game directory", "game file", "staged game file", "stub tree",
        "directory in a stub tree"])
def test_unreadable_entry_is_named_with_its_reason(open_tmp, name, is_dir, platform, message):
    r = publish_with_unreadable(open_tmp, name, is_dir, platform)
    out = "\n".join(lines(r))
    assert r.returncode == 1, out
    assert error_lines(r) == [message], out
    assert "! Packaging failed!" in lines(r)


def test_unreadable_stub_directory_is_no_platforms_failure(open_tmp):
    r = publish_with_unreadable(open_tmp, ".brindlecot/stubs", True, "linux-amd64")
    out = "\n".join(lines(r))
    assert r.returncode == 1, out
    assert error_lines(r)[0] == "Can't read directory '.brindlecot/stubs': Permission denied"
    # The closing line names no platform as failed: none was attempted.
    assert lines(r)[-2] == ("! No platform was attempted: the stub directory "
                            "'.brindlecot/stubs' could not be listed"), out
    assert "Building for platform" not in out


def test_symbolic_link_is_skipped_with_a_line_naming_it(tmp_path):
    inst = build_installation(tmp_path / "inst")
    (inst / "mygame" / "outside").symlink_to("/etc")
    (inst / "mygame" / "metadata" / "linked.png").symlink_to("icon.png")
    r = publish(inst)
    out = "\n".join(lines(r))
    assert r.returncode == 0, out
    assert error_lines(r) == [], out
    for link in ("mygame/outside", "mygame/metadata/linked.png"):
        assert lines(r).count("- Skipping symbolic link '%s'" % link) == 1, out
    package = inst / "builds" / "mygame-linux-amd64.bin"
    names = zipfile.ZipFile(str(package)).namelist()
    assert "metadata/icon.png" in names
    assert not [n for n in names if n.startswith("outside") or n.endswith("linked.png")]


def make_deep_dir(top, rel):
    """Makes top/rel one component at a time, so that the whole path may be
    longer than the system takes in one call."""
    fd = os.open(str(top), os.O_RDONLY | os.O_DIRECTORY)
    try:
        for part in rel.split("/"):
            os.mkdir(part, dir_fd=fd)
            inner = os.open(part, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
    finally:
        os.close(fd)


def test_path_too_long_once_staged_is_named_with_its_reason(tmp_path):
    inst = build_installation(tmp_path / "inst")
    # The publisher reaches the game as "./mygame/..." and stages the HTML5
    # site's copy into the longer "./builds/mygame-html5/gamedata/...": an
    # empty directory 4090 bytes down can be read but not made again.
    rel = "deep"
    while len("./mygame/") + len(rel) + 201 < 4090:
        rel += "/" + "d" * 200
    rel += "/" + "e" * (4090 - len("./mygame/") - len(rel) - 1)
    assert len("./mygame/" + rel) == 4090
    make_deep_dir(inst / "mygame", rel)
    r = publish(inst, platform="html5")
    summary = [l[:200] for l in lines(r)[-5:]]
    assert r.returncode == 1, summary
    errors = error_lines(r)
    assert len(errors) == 1, [e[:200] for e in errors]
    # Named by its staged path, whatever the staging directory is called:
    # made beneath the installation, whose own part of the path the system
    # is not given again, it fails at the next look at the staged tree.
    assert errors[0].startswith(("Can't create directory '", "Failed to stat '")), errors[0][:100]
    assert errors[0].endswith("/%s': File name too long" % rel), errors[0][-100:]
    # A desktop package copies nothing: the same game packages whole.
    r = publish(inst)
    assert r.returncode == 0, [l[:200] for l in lines(r)[-5:]]
    names = zipfile.ZipFile(str(inst / "builds" / "mygame-linux-amd64.bin")).namelist()
    assert rel + "/" in names
