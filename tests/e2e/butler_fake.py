"""A stand-in for the store's upload tool: a script that appends its
argument vector to a record file and exits with a status the test chose.

The publisher passes its environment on, so the test steers the fake with
two variables:
  BUTLER_FAKE_RECORD  file that gets one JSON list (argv) per run
  BUTLER_FAKE_STATUS  JSON object: command -> exit status, where a command
                      is argv[1] ("upgrade") or argv[1] and its run count
                      ("push#2", the second push); missing means 0
"""
import io
import json
import os
import zipfile

SCRIPT = r'''#!/usr/bin/python3
import json, os, sys
record = os.environ["BUTLER_FAKE_RECORD"]
command = sys.argv[1] if len(sys.argv) > 1 else ""
runs = 1
if os.path.exists(record):
    with open(record) as f:
        runs += sum(1 for line in f if json.loads(line)[1:2] == [command])
with open(record, "a") as f:
    f.write(json.dumps(sys.argv) + "\n")
rules = json.loads(os.environ.get("BUTLER_FAKE_STATUS") or "{}")
sys.exit(rules.get("%s#%d" % (command, runs), rules.get(command, 0)))
'''


def install(directory):
    """Writes an executable fake butler into directory; returns its path."""
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, "butler")
    with open(path, "w") as f:
        f.write(SCRIPT)
    os.chmod(path, 0o755)
    return path


def archive(extra=(), with_butler=True):
    """The bytes of a download archive holding the fake butler (first, and
    without execute bits: the unpacking must give them) and the extra
    (name, bytes) entries."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        if with_butler:
            z.writestr("butler", SCRIPT)
        for name, data in extra:
            z.writestr(name, data)
    return out.getvalue()


def environment(record, status=None):
    """The publisher's environment for a run with the fake: no proxies, so
    loopback downloads go straight to the test's server."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["BUTLER_FAKE_RECORD"] = str(record)
    env["BUTLER_FAKE_STATUS"] = json.dumps(status or {})
    return env


def calls(record):
    """Every argument vector the fake was run with, in order."""
    if not os.path.exists(str(record)):
        return []
    with open(str(record)) as f:
        return [json.loads(line) for line in f]
