"""Builds installation directories for end-to-end tests with the project's
generator (tools/make_installation.py), the same one the demo uses.

    from installation import build_installation
    inst = build_installation(tmp_path / "inst")   # stubs, defaults, mygame/
    subprocess.run([PUBLISH, "--only-package", "mygame"], cwd=inst)
"""
import os
import pathlib
import subprocess

BUILD_DIR = pathlib.Path(os.environ.get("BRINDLECOT_BUILD_DIR", "build")).resolve()
SOURCE_DIR = pathlib.Path(os.environ.get(
    "BRINDLECOT_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2])).resolve()
GENERATOR = SOURCE_DIR / "tools" / "make_installation.py"
RUNTIME_STUB = BUILD_DIR / "tools" / "brindlecot-runtime-stub"
DEBIAN_PYTHON = "/usr/bin/python3"


def build_installation(dest, with_game=True):
    """Writes a complete installation (stub directory, the five default files
    and, unless with_game is false, the demo game mygame/) into dest, which
    is created if missing. Returns dest as a pathlib.Path."""
    dest = pathlib.Path(dest)
    args = [DEBIAN_PYTHON, str(GENERATOR), "--runtime-stub", str(RUNTIME_STUB), str(dest)]
    if not with_game:
        args.append("--no-game")
    result = subprocess.run(args, capture_output=True, timeout=120)
    if result.returncode != 0:
        raise RuntimeError("make_installation.py failed: %s" % result.stderr.decode(errors="replace"))
    return dest


def stubs_dir(installation):
    return pathlib.Path(installation) / ".brindlecot" / "stubs"
