"""Helpers for end-to-end tests of brindlecot-publish: running the program
in an installation (conftest.build_installation) and reading its lines."""
import subprocess
import threading

from conftest import PUBLISH


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


class Background:
    """Runs work(stopped) on a thread for the length of a with block:
    stopped, an Event, is set when the block ends, and the thread joined."""

    def __init__(self, work):
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=work, args=(self.stopped,), daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopped.set()
        self.thread.join()
