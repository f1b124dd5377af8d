"""Shared helpers for end-to-end tests of brindlecot-publish: a generated
installation in a temporary directory and a way to run the program in it."""
import os
import shutil
import subprocess

SOURCE = os.environ.get("BRINDLECOT_SOURCE_DIR",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD = os.path.abspath(os.environ.get("BRINDLECOT_BUILD_DIR", os.path.join(SOURCE, "build")))
PUBLISH = os.path.join(BUILD, "publish", "brindlecot-publish")
GENERATOR = os.path.join(SOURCE, "tools", "make_installation.py")
STUBS = os.path.join(".brindlecot", "stubs")


def make_installation(dest, keep_stubs=None):
    """Writes an installation with the demo game into dest; when keep_stubs
    is given, every other stub entry is removed."""
    subprocess.run(["/usr/bin/python3", GENERATOR, "--build-dir", BUILD, str(dest)],
                   check=True, capture_output=True, timeout=120)
    stubs = os.path.join(str(dest), STUBS)
    if keep_stubs is not None:
        for name in os.listdir(stubs):
            if name not in keep_stubs:
                path = os.path.join(stubs, name)
                if os.path.isdir(path):
                    shutil.rmtree(path)
                else:
                    os.remove(path)
    return dest


def run_publish(args, cwd, timeout=300):
    """Runs the publisher with the timing column off; returns the process."""
    return subprocess.run([PUBLISH, "--set", "log.timing", "false"] + list(args),
                          cwd=str(cwd), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)


def lines(result):
    return result.stdout.decode("utf-8", "replace").splitlines()


def texts(result, prefix):
    """Texts of the lines of one level ("! " errors, "- " info)."""
    return [l[len(prefix):] for l in lines(result) if l.startswith(prefix)]


def built_platforms(result):
    """Platforms in the order the publisher started building them."""
    out = []
    for t in texts(result, "- "):
        if t.startswith("Building for platform '") and t.endswith("' ..."):
            out.append(t[len("Building for platform '"):-len("' ...")])
    return out
