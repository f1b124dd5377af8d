"""Odd trees, files and values given to brindlecot-publish: each is refused
(or warned about) with a line that says what is wrong, in bounded time and
memory, and the exit status tells."""
import os
import stat
import subprocess
import sys
import time

import pytest

from conftest import DEBIAN_PYTHON, PUBLISH, build_installation

METADATA = os.path.join("mygame", "metadata", "game_metadata.txt")


def metadata_lines(inst):
    return (inst / METADATA).read_bytes().splitlines()


def set_metadata(inst, data):
    (inst / METADATA).write_bytes(data)


def name_setup(name):
    def setup(inst):
        (inst / "mygame" / os.fsdecode(name)).write_bytes(b"x")
    return setup


def fifo(path):
    def setup(inst):
        os.mkfifo(str(inst / path))
    return setup


def fifo_icon(inst):
    os.mkfifo(str(inst / "mygame" / "metadata" / "fifo.png"))
    set_metadata(inst, b"\n".join(l for l in metadata_lines(inst) if not l.startswith(b"icon"))
                 + b"\nicon=metadata/fifo.png\n")


def junk_lines(count):
    def setup(inst):
        set_metadata(inst, b"\n".join(metadata_lines(inst)) + b"\n"
                     + b"".join(b"junk line %d\nkey%d=v\n" % (i, i) for i in range(count)))
    return setup


def nul_on_line_3(inst):
    lines = metadata_lines(inst)
    set_metadata(inst, b"\n".join(lines[:2]) + b"\nab\0cd\n" + b"\n".join(lines[2:]) + b"\n")


def title_with_escape(inst):
    set_metadata(inst, b"\n".join(l for l in metadata_lines(inst) if not l.startswith(b"gametitle"))
                 + b"\ngametitle=\x1b[31mRed\x07\n")


def oversized_metadata(size):
    def setup(inst):
        with open(str(inst / METADATA), "ab") as f:
            f.truncate(size)
    return setup


def existing_target(inst):
    (inst / "kept.txt").write_bytes(b"precious")


PKG = ["--only-package", "--platforms=linux-amd64", "mygame"]
HTML5 = ["--only-package", "--platforms=html5", "mygame"]

# id, set-up, arguments, status, a text the output holds (escaped as logged)
CASES = [
    ("non-utf8-name", name_setup(b"b\xffd.txt"), PKG, 1,
     "! The file name 'mygame/b\\xffd.txt' is not valid UTF-8 (the bytes shown as \\xHH): "
     "no package can hold it; rename it"),
    ("colon-name", name_setup(b"a:b.txt"), PKG, 1,
     "! The file name 'mygame/a:b.txt' holds ':', which a file name in a package must not; "
     "rename it"),
    ("backslash-name", name_setup(b"a\\b.txt"), PKG, 1,
     "! The file name 'mygame/a\\b.txt' holds '\\', which a file name in a package must not"),
    ("newline-name", name_setup(b"two\nlines.txt"), PKG, 0,
     "- Adding 'two\\x0alines.txt' to zip..."),
    ("fifo-icon", fifo_icon, HTML5, 1,
     "! Image 'mygame/metadata/fifo.png' is not a regular file"),
    ("fifo-ico-input", fifo("in.png"), ["--make-ico", "in.png", "out.ico"], 1,
     "! Image 'in.png' is not a regular file"),
    # A pipe where an output goes is replaced by the whole file, never
    # opened: nothing waits on it, and no reader of it gets a byte.
    ("fifo-ico-output", fifo("out.ico"), ["--make-ico", "mygame/metadata/icon.png", "out.ico"],
     0, "- Converting 'mygame/metadata/icon.png' to Windows icon 'out.ico'..."),
    ("fifo-icns-output", fifo("out.icns"),
     ["--make-icns", "mygame/metadata/icon.png", "out.icns"], 0,
     "- Converting 'mygame/metadata/icon.png' to macOS icon 'out.icns'..."),
    ("fifo-download-target", fifo("got"), ["--download", "http://127.0.0.1:1/x", "got"], 1,
     "! Download of 'http://127.0.0.1:1/x' failed"),
    ("game-is-builds", lambda inst: (inst / "builds").mkdir(),
     ["--only-package", "builds"], 1,
     "! The game directory 'builds' is inside 'builds', where the publisher writes"),
    ("metadata-over-1mib", oversized_metadata(1024 * 1024 + 1), PKG, 1,
     "is 1048577 bytes, more than the 1048576 a metadata file may have; refusing it"),
    ("junk-metadata", junk_lines(5000), PKG, 0,
     "# 9980 more invalid or unknown metadata lines, not shown"),
    ("nul-in-metadata", nul_on_line_3, PKG, 1,
     "# Game metadata file 'mygame/metadata/game_metadata.txt' holds a NUL byte on line 3; "
     "everything after it was ignored"),
    ("escape-in-title", title_with_escape, PKG, 0,
     "- Game Title: \\x1b[31mRed\\x07"),
    ("failed-download-keeps-target", existing_target,
     ["--download", "http://127.0.0.1:1/x", "kept.txt"], 1,
     "! Download of 'http://127.0.0.1:1/x' failed"),
]


@pytest.mark.parametrize("setup,args,status,expected", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_hostile_input_is_met_with_a_clear_line(tmp_path, setup, args, status, expected):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64", "html5"])
    setup(inst)
    started = time.monotonic()
    r = subprocess.run([PUBLISH, "--set", "log.timing", "false"] + args, cwd=str(inst),
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert time.monotonic() - started < 30  # a pipe never blocks the run
    out = r.stdout.decode("utf-8")  # the log stays valid UTF-8 whatever the names
    assert r.returncode == status, out
    assert expected in out, out
    assert "\x1b" not in out and "\x07" not in out
    if (inst / "kept.txt").exists():
        assert (inst / "kept.txt").read_bytes() == b"precious"
    for made in ("out.ico", "out.icns"):
        if os.path.lexists(inst / made):
            assert stat.S_ISREG(os.lstat(inst / made).st_mode), made
    for d in ("builds", "."):
        if (inst / d).is_dir():
            assert not [n for n in os.listdir(inst / d) if ".brindlecot-tmp-" in n]


def test_junk_metadata_warns_twenty_times_then_counts(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    junk_lines(5000)(inst)
    r = subprocess.run([PUBLISH, "--set", "log.timing", "false"] + PKG, cwd=str(inst),
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    warnings = [l for l in r.stdout.decode().splitlines() if l.startswith("# ")]
    assert len(warnings) == 21, warnings
    assert warnings[-1] == "# 9980 more invalid or unknown metadata lines, not shown"


MEASURE = """
import resource, subprocess, sys
r = subprocess.run(sys.argv[2:], cwd=sys.argv[1], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def test_a_hundred_megabytes_of_junk_metadata_stay_small(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    with open(str(inst / METADATA), "ab") as f:
        chunk = b"".join(b"junk %d\n" % i for i in range(100000))
        while f.tell() < 100 * 1024 * 1024:
            f.write(chunk)
    r = subprocess.run([DEBIAN_PYTHON, "-c", MEASURE, str(inst), PUBLISH] + PKG,
                       capture_output=True, timeout=180)
    status, max_rss_kib = map(int, r.stdout.split())
    assert status == 1
    assert max_rss_kib < 64 * 1024
