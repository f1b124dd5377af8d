"""Shared by every end-to-end test: where the source and the build are, the
programs under test, and the one way to write an installation.

CTest sets BRINDLECOT_BUILD_DIR and BRINDLECOT_SOURCE_DIR; run by hand,
pytest finds the source from this file and the build in its build/."""
import os
import pathlib
import shutil
import subprocess

SOURCE_DIR = pathlib.Path(os.environ.get(
    "BRINDLECOT_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2])).resolve()
BUILD_DIR = pathlib.Path(os.environ.get("BRINDLECOT_BUILD_DIR", SOURCE_DIR / "build")).resolve()
DEBIAN_PYTHON = "/usr/bin/python3"
GENERATOR = SOURCE_DIR / "tools" / "make_installation.py"
RUNTIME_STUB = BUILD_DIR / "tools" / "brindlecot-runtime-stub"
PUBLISH = str(BUILD_DIR / "publish" / "brindlecot-publish")
HTTPD = str(BUILD_DIR / "httpd" / "brindlecot-httpd")
STUBS = os.path.join(".brindlecot", "stubs")


def build_installation(dest, with_game=True, keep_stubs=None):
    """Writes a complete installation (stub directory, the five default
    files and, unless with_game is false, the demo game mygame/) into dest,
    which is created if missing. When keep_stubs is given, every other stub
    entry is removed. Returns dest as a pathlib.Path."""
    dest = pathlib.Path(dest)
    args = [DEBIAN_PYTHON, str(GENERATOR), "--runtime-stub", str(RUNTIME_STUB), str(dest)]
    if not with_game:
        args.append("--no-game")
    result = subprocess.run(args, capture_output=True, timeout=120)
    if result.returncode != 0:
        raise RuntimeError("make_installation.py failed: %s" % result.stderr.decode(errors="replace"))
    if keep_stubs is not None:
        stubs = stubs_dir(dest)
        for entry in stubs.iterdir():
            if entry.name in keep_stubs:
                continue
            if entry.is_dir():
                shutil.rmtree(entry)
            else:
                entry.unlink()
    return dest


def stubs_dir(installation):
    return pathlib.Path(installation) / STUBS
