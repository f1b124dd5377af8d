"""What a publish may touch: the game id and version become file names, so a
value that holds a separator (or a game id that is not UTF-8) is refused
before anything is written or deleted; odd values that make one valid name
still build; a game's own folders named builds or .brindlecot are the
game's; and an earlier package that a failed build cannot delete is
reported."""
import os
import pathlib
import re
import zipfile

import pytest

from conftest import build_installation
from publish_env import lines, run_publish, texts

METADATA = pathlib.Path("mygame", "metadata", "game_metadata.txt")

PACKAGES = {
    "linux-amd64": ".bin", "linux-raspberrypi": ".bin", "windows-amd64": ".exe",
    "macos": ".zip", "html5": ".zip", "android": ".apk", "oculusquest": ".apk",
    "googleplay": ".aab",
}


def set_values(inst, **values):
    """Rewrites the game's metadata with the given keys replaced (or added)."""
    path = inst / METADATA
    kept = [l for l in path.read_bytes().splitlines()
            if l.split(b"=", 1)[0].strip().decode() not in values]
    kept += [k.encode() + b"=" + (v if isinstance(v, bytes) else v.encode())
             for k, v in values.items()]
    path.write_bytes(b"\n".join(kept) + b"\n")


def snapshot(top):
    """Every entry below top: a file's bytes, a link's target, or a mark for
    a directory. The log and the run lock are left out: every run writes
    them."""
    seen = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, top)
            if rel.startswith(os.path.join("inst", "logs")) or rel.endswith("publish.lock"):
                continue
            if os.path.islink(full):
                seen[rel] = ("link", os.readlink(full))
            elif os.path.isdir(full):
                seen[rel] = ("dir",)
            else:
                seen[rel] = ("file", pathlib.Path(full).read_bytes())
    return seen


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """An installation whose game was built for HTML5 with version 1 (the
    tree a later run would replace), other games' packages in builds/, a
    file of the installation's own and a directory beside it."""
    top = tmp_path_factory.mktemp("contained")
    inst = build_installation(top / "inst")
    set_values(inst, version="1")
    r = run_publish(["--only-package", "--platforms=html5", "mygame"], inst)
    assert r.returncode == 0, lines(r)
    assert (inst / "builds" / "mygame-html5-1" / "index.html").is_file()
    (inst / "builds" / "othergame-linux-amd64.bin").write_bytes(b"another game's package")
    (inst / "builds" / "othergame-html5-1.0").mkdir()
    (inst / "builds" / "othergame-html5-1.0" / "index.html").write_bytes(b"<p>other</p>")
    (inst / "notes.txt").write_bytes(b"the installation's own")
    (top / "canary").mkdir()
    (top / "canary" / "kept.txt").write_bytes(b"beside the installation")
    return top, inst


# key, value, the character named
HOSTILE = [
    ("version", "1/../../canary", "/"),
    ("version", "1.0/..", "/"),
    ("version", "../../..", "/"),
    ("version", "2024/05", "/"),
    ("version", "/1", "/"),
    ("version", "1\\..\\..\\canary", "\\"),
    ("version", "..\\", "\\"),
    ("version", "1:0", ":"),
    ("gameid", "stubs/evil", "/"),
    ("gameid", "../../canary", "/"),
    ("gameid", "mygame/..", "/"),
    ("gameid", "..\\canary", "\\"),
    ("gameid", "c:game", ":"),
    # The macOS program is named after the game id alone.
    ("gameid", "..", None),
    ("gameid", ".", None),
    ("gameid", "", None),
    # ... and a zip entry must be able to carry its name.
    ("gameid", b"my\xffgame", "utf8"),
    ("gameid", b"caf\xc3", "utf8"),
    ("gameid", b"\xc0\xafetc", "utf8"),
    ("gameid", b"\xed\xa0\x80", "utf8"),
]


def shown(value):
    """A value as the log shows it: bytes that are not UTF-8 as \\xHH."""
    if isinstance(value, str):
        return value
    return value.decode("utf-8", "backslashreplace")


REASONS = {
    None: "is no file name, which it must be: the macOS program is named after it; change it",
    "utf8": "is not valid UTF-8 (the bytes shown as \\xHH), which no package may hold: the "
            "macOS program is named after it; change it",
}


@pytest.mark.parametrize("key,value,char", HOSTILE,
                         ids=["%s=%s" % (k, shown(v)) for k, v, _ in HOSTILE])
def test_a_separator_in_a_name_value_is_refused_before_anything_changes(built, key, value, char):
    top, inst = built
    set_values(inst, **dict({"gameid": "mygame", "version": "1"}, **{key: value}))
    before = snapshot(top)
    r = run_publish(["--only-package", "mygame"], inst)
    errors = texts(r, "! ")
    assert r.returncode == 1, lines(r)
    expected = ("The %s '%s' in mygame/metadata/game_metadata.txt " % (key, shown(value))
                + (REASONS[char] if char in REASONS else
                   "holds '%s', which no file name may hold: the builds are named after it; "
                   "change it" % char))
    assert expected in errors, lines(r)
    assert [e for e in errors if e.strip()] == [expected, "Packaging failed!"], lines(r)
    assert not any(t.startswith("Building for platform") for t in texts(r, "- "))
    assert snapshot(top) == before


# Values that make one valid file name, as odd as they come.
ODD = [
    {"version": "1..2"},
    {"version": ".."},
    {"version": ""},
    {"version": "1.0 beta 'quoted' \"twice\"\tand a tab"},
    {"gameid": "...", "packageid": "org.example.dots"},
    {"gameid": "my game's \"best\"", "packageid": "org.example.odd"},
    {"gameid": ".hidden", "version": "..x..", "packageid": "org.example.hidden"},
]


@pytest.mark.parametrize("values", ODD, ids=[repr(v) for v in ODD])
def test_odd_valid_values_build_every_platform(tmp_path, values):
    inst = build_installation(tmp_path / "inst")
    set_values(inst, **values)
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0, lines(r)
    assert "All platform builds are complete!" in texts(r, "- ")
    gameid = values.get("gameid", "mygame")
    version = values.get("version", "1.0")
    for platform, suffix in PACKAGES.items():
        package = inst / "builds" / ("%s-%s%s" % (gameid, platform, suffix))
        with zipfile.ZipFile(package) as z:
            assert z.testzip() is None, package
            assert any(n.endswith("metadata/BRINDLECOT_PRODUCTION_BUILD") for n in z.namelist())
    assert (inst / "builds" / ("%s-html5-%s" % (gameid, version)) / "index.html").is_file()
    assert (inst / ".brindlecot" / ("%s.ico" % gameid)).is_file()
    assert sorted(os.listdir(tmp_path)) == ["inst"]


def test_a_game_may_hold_folders_named_builds_and_brindlecot(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["linux-amd64", "html5"])
    (inst / "mygame" / "builds").mkdir()
    (inst / "mygame" / "builds" / "a.txt").write_bytes(b"the game's own builds folder")
    (inst / "mygame" / ".brindlecot").mkdir()
    (inst / "mygame" / ".brindlecot" / "x").write_bytes(b"never packaged")
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0, lines(r)
    for package, prefix in (("mygame-linux-amd64.bin", ""), ("mygame-html5.zip", "gamedata/")):
        with zipfile.ZipFile(inst / "builds" / package) as z:
            assert z.read(prefix + "builds/a.txt") == b"the game's own builds folder"
            assert not [n for n in z.namelist() if ".brindlecot" in n.split("/")], package
    # The installation's own places stay refused as game directories.
    for game_dir, text in (("builds", "The game directory 'builds' is inside 'builds'"),
                           (".brindlecot/stubs", "The game directory '.brindlecot/stubs' is "
                                                 "inside '.brindlecot'")):
        r = run_publish(["--only-package", game_dir], inst)
        assert r.returncode == 1
        assert any(t.startswith(text) for t in texts(r, "! ")), lines(r)


def colon_name(inst):
    (inst / "mygame" / "a:b.txt").write_bytes(b"no package can hold this name")


def bad_package_id(inst):
    set_values(inst, packageid="not a package id")


# platform, the package it leaves, what fails its build
FAILED_BUILDS = [
    ("linux-amd64", "mygame-linux-amd64.bin", colon_name),
    ("html5", "mygame-html5.zip", colon_name),
    ("android", "mygame-android.apk", bad_package_id),
    ("android", "mygame-android.apk", colon_name),
    ("googleplay", "mygame-googleplay.aab", bad_package_id),
]


@pytest.mark.parametrize("platform,package,breaks", FAILED_BUILDS,
                         ids=["%s-%s" % (p, b.__name__) for p, _, b in FAILED_BUILDS])
def test_an_earlier_package_that_stays_is_reported(tmp_path, platform, package, breaks):
    inst = build_installation(tmp_path / "inst", keep_stubs=[platform])
    breaks(inst)
    args = ["--only-package", "--platforms=" + platform, "mygame"]
    # Nothing there: no failure of its own.
    r = run_publish(args, inst)
    assert r.returncode == 1
    assert not [t for t in texts(r, "! ") if t.startswith("Couldn't delete")], lines(r)
    # A directory where the package goes cannot be deleted as one.
    (inst / "builds" / package).mkdir()
    (inst / "builds" / package / "kept").write_bytes(b"x")
    r = run_publish(args, inst)
    assert r.returncode == 1
    assert ("Couldn't delete 'builds/%s', the package of an earlier run: Directory not empty; "
            "it is not this run's package" % package) in texts(r, "! "), lines(r)


def test_builds_as_a_link_leads_no_delete_elsewhere(tmp_path):
    """With builds/ a link to another directory, the HTML5 tree of that
    name over there stays: the removal never passes the link."""
    inst = build_installation(tmp_path / "inst", keep_stubs=["html5"])
    elsewhere = tmp_path / "elsewhere"
    (elsewhere / "mygame-html5-1.0").mkdir(parents=True)
    (elsewhere / "mygame-html5-1.0" / "index.html").write_bytes(b"not the publisher's")
    os.symlink(str(elsewhere), str(inst / "builds"))
    before = snapshot(tmp_path)
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 1
    assert ("Refusing to run: 'builds' in the installation is a symbolic link, and the "
            "publisher never writes through one; make it a directory of its own"
            in r.stderr.decode()), lines(r)
    assert snapshot(tmp_path) == before
