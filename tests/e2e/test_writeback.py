"""Each result file reaches the disk once: its writeback is started while it
is written, and the one flush comes before its rename into place. Counted
with strace on a real publish of two desktop packages."""
import io
import os
import re
import shutil
import subprocess
import zipfile

import pytest

from conftest import PUBLISH, STUBS, build_installation

STRACE = shutil.which("strace")
PACKAGES = {"linux-amd64": "mygame-linux-amd64.bin", "windows-amd64": "mygame-windows-amd64.exe"}
CALL = re.compile(r"^\d+\s+(fsync|fdatasync|sync_file_range|rename\w*)\((.*)")
TEMP = re.compile(r"[/\"]\.([^/<>\"]+)\.brindlecot-tmp-\d+")


def traced_publish(inst, trace):
    args = [STRACE, "-f", "-qq", "-y", "-o", str(trace),
            "-e", "trace=fsync,fdatasync,sync_file_range,rename,renameat,renameat2",
            PUBLISH, "--set", "log.timing", "false", "--only-package", "mygame"]
    return subprocess.run(args, cwd=str(inst), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=300)


def calls_by_result(trace):
    """For each result file's final name, its calls in order: "flush",
    "hint" and "rename" (calls on the final name after it are "late")."""
    calls = {}
    renamed = set()
    for line in trace.read_text(errors="replace").splitlines():
        m = CALL.match(line)
        if not m or "resumed>" in line:
            continue
        name, rest = m.group(1), m.group(2)
        temp = TEMP.search(rest)
        if name.startswith("rename"):
            if temp:
                calls.setdefault(temp.group(1), []).append("rename")
                renamed.add(temp.group(1))
            continue
        kind = "hint" if name == "sync_file_range" else "flush"
        if temp:
            calls.setdefault(temp.group(1), []).append(kind)
            continue
        final = re.match(r"\d+</.*/([^/<>]+)>", rest)
        if final and final.group(1) in renamed:
            calls[final.group(1)].append("late " + kind)
    return calls


@pytest.mark.skipif(STRACE is None, reason="strace is not installed")
def test_each_package_is_flushed_once_before_its_rename_after_early_writeback(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=list(PACKAGES))
    # Random bytes stay as large in the zip: some 20 MiB to write back.
    (inst / "mygame" / "data" / "noise.bin").write_bytes(os.urandom(20 << 20))
    trace = tmp_path / "trace.txt"
    r = traced_publish(inst, trace)
    if r.returncode != 0 and b"ptrace" in r.stderr:
        pytest.skip("strace may not trace here: %s" % r.stderr.decode(errors="replace"))
    assert r.returncode == 0, r.stdout.decode(errors="replace")
    calls = calls_by_result(trace)
    for platform, package in PACKAGES.items():
        seen = calls.get(package, [])
        assert seen.count("flush") == 1, (package, seen)
        assert seen.index("flush") < seen.index("rename"), (package, seen)
        assert seen[-1] == "rename", (package, seen)
        assert "hint" in seen, (package, seen)
        data = (inst / "builds" / package).read_bytes()
        stub = (inst / STUBS / platform).read_bytes()
        archive = zipfile.ZipFile(io.BytesIO(data[len(stub):]))
        assert archive.testzip() is None
        assert archive.read("data/noise.bin") == (inst / "mygame" / "data" / "noise.bin").read_bytes()
    # Every other result file (the Windows icon) is flushed once too.
    for name, seen in calls.items():
        assert seen.count("flush") == 1 and seen[-1] == "rename", (name, seen)
    assert not any(TEMP.search(n) for n in os.listdir(inst / "builds"))
