"""`cmake --install` puts both programs into a prefix of the user's choice,
from where they run on PATH."""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from conftest import BUILD_DIR, build_installation as make_installation  # noqa: E402


def test_install_rule_puts_both_programs_on_path(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run([shutil.which("cmake"), "--install", str(BUILD_DIR), "--prefix", str(prefix)],
                   check=True, capture_output=True, timeout=120)
    installed = sorted(os.listdir(prefix / "bin"))
    assert installed == ["brindlecot-httpd", "brindlecot-publish"]
    for name in installed:
        assert os.access(prefix / "bin" / name, os.X_OK)

    env = dict(os.environ, PATH="%s:%s" % (prefix / "bin", os.environ.get("PATH", "")))
    inst = make_installation(tmp_path / "inst", keep_stubs=["linux-amd64"])
    r = subprocess.run(["brindlecot-publish", "--only-package", "./mygame"], cwd=str(inst),
                       env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    assert r.returncode == 0, r.stdout
    assert (inst / "builds" / "mygame-linux-amd64.bin").is_file()

    r = subprocess.run(["brindlecot-httpd"], cwd=str(tmp_path), env=env,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    assert r.returncode == 1
    assert b"USAGE: brindlecot-httpd <game_directory> [port]" in r.stderr
