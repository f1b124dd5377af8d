"""The upload that ends a publish: butler upgraded or downloaded, then the
pushes, run against a fake butler and a download server on loopback."""
import os
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import butler_fake  # noqa: E402
from butler_server import ButlerServer  # noqa: E402
from conftest import PUBLISH, build_installation  # noqa: E402
from publish_env import built_platforms, texts  # noqa: E402

BUTLER_DIR = os.path.join(".brindlecot", "itchio-butler")
ARCHIVE_PATH = "/butler/linux-amd64/LATEST/archive/default"
DESKTOP = ["linux-amd64", "linux-raspberrypi", "windows-amd64"]
SUFFIX = {"linux-amd64": ".bin", "linux-raspberrypi": ".bin", "windows-amd64": ".exe"}
TARGET = "brindlecot-demo/mygame"
FAILURE = "itch.io butler reported failure!"
ALL_PUSHED = "All builds pushed to itch.io!"
ADVICE = "If you want your HTML5 build to play in-browser from itch.io:"


def publish(inst, record, status=None, args=(), url=None):
    """A publish (upload on) of the demo game in inst."""
    extra = ["--set", "publish.butler_url", url] if url else []
    return subprocess.run([PUBLISH, "--set", "log.timing", "false"] + extra + list(args),
                          cwd=str(inst), stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=300, env=butler_fake.environment(record, status))


def installation(tmp_path, stubs, with_butler):
    inst = build_installation(tmp_path / "inst", keep_stubs=stubs)
    if with_butler:
        butler_fake.install(str(inst / BUTLER_DIR))
    return inst


def pushes(calls):
    return [c[1:] for c in calls if c[1:2] == ["push"]]


def expected_push(inst, platform, gameid="mygame", target=TARGET):
    path = "builds/%s-%s%s" % (gameid, platform, SUFFIX[platform])
    return ["push", os.path.join(".", path), "%s:%s" % (target, platform)], path


def resolves_to(cwd, path, expected):
    return os.path.realpath(os.path.join(str(cwd), path)) == os.path.realpath(str(expected))


@pytest.fixture
def server():
    s = ButlerServer({})
    yield s
    s.stop()


# --- butler already there: version, upgrade, version, pushes ------------------

@pytest.mark.parametrize("status, pushed, all_pushed", [
    ({}, 3, True),
    ({"upgrade": 1}, 0, False),
    ({"upgrade": 7, "version": 3}, 0, False),
    ({"version": 2}, 3, True),  # version's status means nothing
    ({"push#1": 1}, 1, False),
    ({"push#2": 1}, 2, False),
    ({"push#3": 1}, 3, False),
], ids=["all-pushed", "upgrade-fails", "upgrade-fails-other-status", "version-fails",
        "first-push-fails", "second-push-fails", "last-push-fails"])
def test_upgrade_then_push_newest_first(tmp_path, status, pushed, all_pushed):
    inst = installation(tmp_path, DESKTOP, with_butler=True)
    record = tmp_path / "calls.jsonl"
    r = publish(inst, record, status)
    assert r.returncode == 0, r.stdout.decode()
    info, errors = texts(r, "- "), texts(r, "! ")
    calls = butler_fake.calls(record)
    butler = inst / BUTLER_DIR / "butler"
    assert all(resolves_to(inst, c[0], butler) for c in calls)

    commands = [c[1:] for c in calls]
    upgrade_ok = status.get("upgrade", 0) == 0
    head = [["version"], ["upgrade", "--assume-yes"]] + ([["version"]] if upgrade_ok else [])
    assert commands[:len(head)] == head

    newest_first = list(reversed(built_platforms(r)))
    assert sorted(newest_first) == sorted(DESKTOP)
    expected = [expected_push(inst, p) for p in newest_first]
    assert commands[len(head):] == [e[0] for e in expected][:pushed]
    for argv, path in expected[:pushed]:
        assert os.path.isfile(inst / path)
    assert [t for t in info if t.startswith("Running ")] == (
        ['Running ".brindlecot/itchio-butler/butler upgrade --assume-yes" ...'] +
        ['Running ".brindlecot/itchio-butler/butler push "%s" %s" ...'
         % (path, argv[2]) for argv, path in expected[:pushed]])

    assert "Already downloaded itch.io butler." in info
    assert ("Butler upgrade operation complete." in info) == upgrade_ok
    assert (ALL_PUSHED in info) == all_pushed
    assert errors == ([] if all_pushed else [FAILURE])
    assert ADVICE not in info


def test_builds_that_are_never_uploaded_push_nothing(tmp_path):
    inst = installation(tmp_path, ["ios-device"], with_butler=True)
    record = tmp_path / "calls.jsonl"
    r = publish(inst, record)
    assert r.returncode == 0
    assert built_platforms(r) == ["ios-device"]
    assert pushes(butler_fake.calls(record)) == []
    info = texts(r, "- ")
    assert info.index("All platform builds are complete!") < info.index(ALL_PUSHED)
    assert ADVICE not in info


def test_package_only_runs_no_butler(tmp_path):
    inst = installation(tmp_path, ["linux-amd64"], with_butler=True)
    record = tmp_path / "calls.jsonl"
    r = publish(inst, record, args=["--only-package"])
    assert r.returncode == 0
    assert butler_fake.calls(record) == []
    assert not any("butler" in t for t in texts(r, "- "))


def test_failed_build_uploads_nothing(tmp_path):
    inst = installation(tmp_path, ["linux-amd64"], with_butler=True)
    (inst / ".brindlecot" / "stubs" / "beos").write_text("x")
    record = tmp_path / "calls.jsonl"
    r = publish(inst, record)
    assert r.returncode == 1
    assert butler_fake.calls(record) == []


def write_metadata(inst, devid, gameid, title):
    (inst / "mygame" / "metadata" / "game_metadata.txt").write_text(
        "devid=%s\ndevtitle=Dev\ngameid=%s\ngametitle=%s\n"
        "version=1.0\nicon=metadata/icon.png\n" % (devid, gameid, title))


def bundle_of(inst):
    """The macOS bundle directory the build made, relative to inst."""
    bundles = list((inst / "builds").glob("*/*.app"))
    assert len(bundles) == 1, bundles
    return os.path.relpath(str(bundles[0]), str(inst))


# Ids are itch.io names (anything else stops the upload, below); the title
# names the macOS bundle, so a hostile one reaches butler inside a path.
@pytest.mark.parametrize("devid, gameid, title", [
    ("my-dev", "my_game", "My Demo Game"),
    ("Dev_2", "game-3", "$(touch PWNED-title) `touch PWNED-t2`"),
    ("_dev", "G", 'a "quoted" title; touch PWNED-t3 &'),
], ids=["spaces", "substitutions", "quotes-and-semicolons"])
def test_metadata_reaches_butler_as_single_arguments(tmp_path, devid, gameid, title):
    inst = installation(tmp_path, ["linux-amd64", "macos"], with_butler=True)
    write_metadata(inst, devid, gameid, title)
    record = tmp_path / "calls.jsonl"
    r = publish(inst, record)
    assert r.returncode == 0, r.stdout.decode()
    target = "%s/%s" % (devid, gameid)
    bundle = bundle_of(inst)
    assert os.path.basename(bundle) == title + ".app"
    expected = {
        "linux-amd64": expected_push(inst, "linux-amd64", gameid, target)[0],
        "macos": ["push", os.path.join(".", bundle), target + ":macos"],
    }
    newest_first = list(reversed(built_platforms(r)))
    assert pushes(butler_fake.calls(record)) == [expected[p] for p in newest_first]
    assert os.path.isfile(inst / expected["linux-amd64"][1])
    assert os.path.isdir(inst / bundle)
    assert ('Running ".brindlecot/itchio-butler/butler push "%s" %s:macos" ...'
            % (bundle, target)) in texts(r, "- ")
    assert ALL_PUSHED in texts(r, "- ")
    assert list(tmp_path.rglob("PWNED*")) == []


@pytest.mark.parametrize("devid, gameid, named", [
    ("--identity=/tmp/evil", "mygame", "devid '--identity=/tmp/evil'"),
    ("brindlecot-demo", "-rf", "gameid '-rf'"),
    ("my dev", "mygame", "devid 'my dev'"),
    ("brindlecot-demo", "$(touch PWNED-gameid)", "gameid '$(touch PWNED-gameid)'"),
    ("brindlecot-demo", "my.game", "gameid 'my.game'"),
    ("d\u00e9v", "mygame", "devid 'd\u00e9v'"),
], ids=["flag-devid", "flag-gameid", "space", "substitution", "dot", "non-ascii"])
def test_ids_that_are_not_itchio_names_stop_the_upload(tmp_path, devid, gameid, named):
    inst = installation(tmp_path, ["linux-amd64"], with_butler=True)
    write_metadata(inst, devid, gameid, "Title")
    record = tmp_path / "calls.jsonl"
    r = publish(inst, record)
    # The builds stand; only the upload is refused, before butler runs.
    assert r.returncode == 0, r.stdout.decode()
    assert butler_fake.calls(record) == []
    assert ("Can't upload to itch.io: %s is not an itch.io %s name (letters, digits, '-' and "
            "'_', not beginning with '-')" % (named, "user" if named.startswith("devid") else
                                               "project")) in texts(r, "! ")
    assert ALL_PUSHED not in texts(r, "- ")
    assert list(tmp_path.rglob("PWNED*")) == []


def test_html5_and_macos_push_their_directories_then_advise(tmp_path):
    inst = installation(tmp_path, ["html5", "macos"], with_butler=True)
    record = tmp_path / "calls.jsonl"
    r = publish(inst, record)
    assert r.returncode == 0, r.stdout.decode()
    done = pushes(butler_fake.calls(record))
    newest_first = list(reversed(built_platforms(r)))
    assert [p[2].rsplit(":", 1)[1] for p in done] == newest_first
    assert sorted(newest_first) == ["html5", "macos"]
    for push in done:
        assert push[2].startswith(TARGET + ":")
        assert os.path.isdir(inst / push[1]), push  # the build directory, not the zip
    by_channel = {p[2].rsplit(":", 1)[1]: p[1] for p in done}
    assert by_channel["macos"] == os.path.join(".", bundle_of(inst))
    assert os.path.isfile(os.path.join(str(inst), by_channel["html5"], "index.html"))

    info = texts(r, "- ")
    advice = info[info.index(ALL_PUSHED) + 1:]
    assert len(advice) == 23
    assert advice[:5] == ["", "", "", "*" * 69, ADVICE]
    assert advice[-4:] == ["*" * 69, "", "", ""]
    assert advice[12] == ""
    assert advice[13] == "If you _don't_ want it to play in-browser from itch.io:"


def test_no_arguments_runs_the_butler_beside_the_program(tmp_path):
    """Started without arguments from a directory without "mygame", the
    publisher works in its own directory: butler and the pushed files must
    be found there, not in the current directory."""
    inst = installation(tmp_path, ["linux-amd64"], with_butler=True)
    shutil.copy2(PUBLISH, inst / "brindlecot-publish")
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    record = tmp_path / "calls.jsonl"
    r = subprocess.run([str(inst / "brindlecot-publish")], cwd=str(elsewhere),
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=300,
                       env=butler_fake.environment(record))
    assert r.returncode == 0, r.stdout.decode()
    calls = butler_fake.calls(record)
    assert [c[1:2] for c in calls] == [["version"], ["upgrade"], ["version"], ["push"]]
    for c in calls:
        assert resolves_to(elsewhere, c[0], inst / BUTLER_DIR / "butler")
    push = calls[-1]
    assert resolves_to(elsewhere, push[2], inst / "builds" / "mygame-linux-amd64.bin")
    assert os.path.isfile(inst / "builds" / "mygame-linux-amd64.bin")
    assert push[3] == TARGET + ":linux-amd64"
    assert os.listdir(elsewhere) == []


# --- no butler yet: download and unpack ------------------------------------------

def test_download_unpacks_an_executable_butler_then_upgrades_next_time(tmp_path, server):
    server.routes[ARCHIVE_PATH] = (200, butler_fake.archive([("7z.so", b"\x7fELF lib")]))
    inst = installation(tmp_path, ["linux-amd64", "linux-raspberrypi"], with_butler=False)
    record = tmp_path / "calls.jsonl"
    r = publish(inst, record, url=server.base)
    assert r.returncode == 0, r.stdout.decode()
    assert server.paths == [ARCHIVE_PATH]
    info = texts(r, "- ")
    for line in ["Downloading itch.io butler...", "itch.io butler downloaded!",
                 "itch.io butler is good to go", ALL_PUSHED]:
        assert line in info
    assert info.index("itch.io butler is good to go") < info.index(ALL_PUSHED)
    assert "Already downloaded itch.io butler." not in info
    assert texts(r, "! ") == []

    butler = inst / BUTLER_DIR / "butler"
    assert os.access(butler, os.X_OK)
    assert butler.read_text() == butler_fake.SCRIPT
    assert (inst / BUTLER_DIR / "7z.so").read_bytes() == b"\x7fELF lib"
    assert (inst / BUTLER_DIR / "butler.zip").is_file()  # kept beside it
    newest_first = list(reversed(built_platforms(r)))
    assert [c[1:] for c in butler_fake.calls(record)] == [
        expected_push(inst, p)[0] for p in newest_first]

    # The next publish finds it and upgrades instead of downloading.
    record.unlink()
    r = publish(inst, record, url=server.base)
    assert r.returncode == 0
    assert server.paths == [ARCHIVE_PATH]
    assert "Already downloaded itch.io butler." in texts(r, "- ")
    assert [c[1] for c in butler_fake.calls(record)] == ["version", "upgrade", "version",
                                                         "push", "push"]


def corrupt_archive():
    """A zip that mounts but whose butler entry cannot be inflated: its
    deflate data starts with a block of the reserved type."""
    data = bytearray(butler_fake.archive())
    # The first entry's data follows its local header (30 bytes + name).
    start = 30 + len("butler")
    data[start] = 0x07
    return bytes(data)


@pytest.mark.parametrize("status, body, error", [
    (404, b"no such file", "Failed to download itch.io butler"),
    (500, b"<h1>broken</h1>", "Failed to download itch.io butler"),
    (200, b"<html>this is not a zip</html>", "Couldn't mount butler.zip: "),
    (200, corrupt_archive(), "Couldn't unpack butler.zip"),
], ids=["not-found", "server-error", "not-a-zip", "corrupt-entry"])
def test_failed_download_pushes_nothing_and_publish_succeeds(tmp_path, server, status, body,
                                                             error):
    server.routes[ARCHIVE_PATH] = (status, body)
    inst = installation(tmp_path, ["linux-amd64"], with_butler=False)
    record = tmp_path / "calls.jsonl"
    r = publish(inst, record, url=server.base)
    assert r.returncode == 0, r.stdout.decode()
    assert server.paths == [ARCHIVE_PATH]
    assert butler_fake.calls(record) == []
    errors = texts(r, "! ")
    assert any(e.startswith(error) for e in errors), errors
    assert ALL_PUSHED not in texts(r, "- ")
    assert not (inst / BUTLER_DIR / "butler").exists()
    if error.startswith("Couldn't unpack"):
        # Nothing half-unpacked stays to be taken for a butler next time.
        assert not (inst / BUTLER_DIR).exists()

    # Whatever was left, the next publish downloads again and gets going.
    server.routes[ARCHIVE_PATH] = (200, butler_fake.archive())
    r = publish(inst, record, url=server.base)
    assert r.returncode == 0
    assert server.paths == [ARCHIVE_PATH, ARCHIVE_PATH]
    assert [c[1] for c in butler_fake.calls(record)] == ["push"]
    assert ALL_PUSHED in texts(r, "- ")


def test_archive_without_butler_is_not_kept(tmp_path, server):
    server.routes[ARCHIVE_PATH] = (200, butler_fake.archive([("README.txt", b"no program")],
                                                            with_butler=False))
    inst = installation(tmp_path, ["linux-amd64"], with_butler=False)
    record = tmp_path / "calls.jsonl"
    r = publish(inst, record, url=server.base)
    assert r.returncode == 0
    assert any(e.startswith("Failed to make '.brindlecot/itchio-butler/butler' executable")
               for e in texts(r, "! "))
    assert butler_fake.calls(record) == []
    assert not (inst / BUTLER_DIR).exists()


def test_leftovers_of_an_earlier_download_are_deleted_first(tmp_path, server):
    server.routes[ARCHIVE_PATH] = (200, butler_fake.archive())
    inst = installation(tmp_path, ["linux-amd64"], with_butler=False)
    stale = inst / BUTLER_DIR
    (stale / "old").mkdir(parents=True)
    (stale / "old" / "junk.bin").write_bytes(b"junk")
    (stale / "butler.zip").write_bytes(b"half a download")
    record = tmp_path / "calls.jsonl"
    r = publish(inst, record, url=server.base)
    assert r.returncode == 0
    info = texts(r, "- ")
    assert "Deleting '.brindlecot/itchio-butler'..." in info
    assert info.index("Downloading itch.io butler...") < info.index(
        "Deleting '.brindlecot/itchio-butler'...")
    assert not (stale / "old").exists()
    assert sorted(os.listdir(stale)) == ["butler", "butler.zip"]
    assert [c[1] for c in butler_fake.calls(record)] == ["push"]
