"""--only-package with the macos stub: the application bundle on disk and in
the package, read back with plistlib, zipinfo, unzip and icns2png."""
import os
import plistlib
import stat
import subprocess
import zipfile

import pytest

from conftest import BUILD_DIR, STUBS, build_installation
from publish_env import run_publish, texts
from web_env import set_metadata

ROOT = "mygame-mac-1.0"
TITLE = "Tom & Jerry: <3/2"
BUNDLE = "Tom & Jerry_ <3_2.app"
RUNTIME = os.path.join(BUILD_DIR, "tools", "brindlecot-runtime-stub")


@pytest.fixture
def inst(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["macos"])
    set_metadata(inst, gametitle=TITLE, packageid="com.example.tomjerry", version="1.0")
    return inst


def publish(inst):
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0, r.stdout.decode("utf-8", "replace")
    return r


def zip_modes(package):
    """Entry name -> mode column of zipinfo's listing."""
    out = subprocess.run(["zipinfo", str(package)], capture_output=True, timeout=60,
                         check=True).stdout.decode("utf-8")
    modes = {}
    for line in out.splitlines():
        fields = line.split(None, 8)
        if len(fields) == 9 and fields[0][0] in "-d":
            modes[fields[8]] = fields[0]
    return modes


def test_bundle_on_disk_and_in_the_package(inst):
    publish(inst)
    bundle = inst / "builds" / ROOT / BUNDLE
    package = inst / "builds" / "mygame-macos.zip"
    assert sorted(os.listdir(inst / "builds" / ROOT)) == [BUNDLE]

    plist_bytes = (bundle / "Contents" / "Info.plist").read_bytes()
    assert plistlib.loads(plist_bytes) == {
        "CFBundleDevelopmentRegion": "English",
        "CFBundleDisplayName": TITLE,
        "CFBundleExecutable": "mygame",
        "CFBundleIconFile": "mygame.icns",
        "CFBundleIdentifier": "com.example.tomjerry",
        "CFBundleInfoDictionaryVersion": "6.0",
        "CFBundleName": "mygame",
        "CFBundlePackageType": "APPL",
        "CFBundleShortVersionString": "1.0",
        "CFBundleSupportedPlatforms": ["MacOSX"],
    }

    # The stub stores the executable with four bytes complemented; the
    # bundle carries the executable itself.
    runtime = open(RUNTIME, "rb").read()
    assert (inst / STUBS / "macos").read_bytes() != runtime
    exe = bundle / "Contents" / "MacOS" / "mygame"
    assert exe.read_bytes() == runtime
    assert stat.S_IMODE(exe.stat().st_mode) == 0o755

    r = subprocess.run(["icns2png", "-l", str(bundle / "Contents" / "Resources" / "mygame.icns")],
                       capture_output=True, timeout=60)
    assert r.returncode == 0
    assert "'ic09' 512x512" in r.stdout.decode()

    assert subprocess.run(["unzip", "-tq", str(package)], capture_output=True,
                          timeout=60).returncode == 0
    modes = zip_modes(package)
    assert modes[BUNDLE + "/Contents/MacOS/mygame"] == "-rwxr-xr-x"
    assert modes[BUNDLE + "/Contents/Info.plist"] == "-rw-r--r--"
    assert modes[BUNDLE + "/"] == "drwxr-xr-x"

    with zipfile.ZipFile(package) as z:
        names = z.namelist()
        assert z.read(BUNDLE + "/Contents/MacOS/mygame") == runtime
        assert z.read(BUNDLE + "/Contents/Info.plist") == plist_bytes
    # Top level is the bundle; each directory comes before what it holds.
    assert names[0] == BUNDLE + "/"
    assert names.index(BUNDLE + "/Contents/") == 1
    for n in names:
        parent = n.rstrip("/").rpartition("/")[0]
        if parent:
            assert names.index(parent + "/") < names.index(n), n
    resources = BUNDLE + "/Contents/Resources/"
    for f in ["app/main.rb", "font.ttf", "metadata/BRINDLECOT_PRODUCTION_BUILD",
              "native/macos/libdemo.dylib", "mygame.icns"]:
        assert resources + f in names
    assert not any(".DS_Store" in n or "/native/linux" in n or "/native/windows" in n
                   for n in names)


def test_rebuild_deletes_the_old_build_root(inst):
    publish(inst)
    stale = inst / "builds" / ROOT / BUNDLE / "Contents" / "Resources" / "stale.txt"
    stale.write_text("from an earlier build")
    (inst / "mygame" / "app" / "main.rb").write_text("puts 2\n")
    r = publish(inst)
    assert "Deleting 'builds/%s'..." % ROOT in texts(r, "- ")
    assert not stale.exists()
    with zipfile.ZipFile(inst / "builds" / "mygame-macos.zip") as z:
        assert not any(n.endswith("stale.txt") for n in z.namelist())
        assert z.read(BUNDLE + "/Contents/Resources/app/main.rb") == b"puts 2\n"


def test_too_long_bundle_path_fails_the_publish(inst):
    # builds/mygame-mac-1.0/ + title + .app: 201 bytes.
    set_metadata(inst, gametitle="x" * 175)
    (inst / "builds").mkdir()
    (inst / "builds" / "mygame-macos.zip").write_bytes(b"an older package")
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 1
    assert "App bundle name ('builds/%s/%s.app') is too long" % (ROOT, "x" * 175) in texts(r, "! ")
    assert not (inst / "builds" / "mygame-macos.zip").exists()


def test_title_with_bytes_xml_cannot_carry_gives_a_readable_plist(inst):
    # Invalid UTF-8, a surrogate, U+FFFE, an escape sequence and other
    # control bytes: each invalid sequence reads back as U+FFFD and the
    # controls are gone, so plistlib (expat) reads the file.
    title = b"Bad\xff\xc3 \x01\x1b[2J\x7f\xed\xa0\x80\xef\xbf\xbe & <ok>\x0b\xc3\xa9"
    meta = inst / "mygame" / "metadata" / "game_metadata.txt"
    text = meta.read_bytes().replace(b"gametitle=Tom & Jerry: <3/2", b"gametitle=" + title)
    assert title in text
    meta.write_bytes(text)
    publish(inst)
    (bundle,) = os.listdir(inst / "builds" / ROOT)
    plist = inst / "builds" / ROOT / bundle / "Contents" / "Info.plist"
    values = plistlib.loads(plist.read_bytes())
    assert values["CFBundleDisplayName"] == "Bad\ufffd\ufffd [2J\ufffd\ufffd\ufffd\ufffd & <ok>\u00e9"
    assert values["CFBundleIdentifier"] == "com.example.tomjerry"
    # The bundle's directory is named after the mended title, so every
    # entry name of the package is UTF-8 and the zip reads whole.
    assert bundle == "Bad\ufffd\ufffd __[2J\x7f\ufffd\ufffd\ufffd\ufffe & <ok>_\u00e9.app"
    with zipfile.ZipFile(inst / "builds" / "mygame-macos.zip") as z:
        assert z.testzip() is None
        assert any(n.startswith("%s/Contents/" % bundle) for n in z.namelist())
