"""The installation generator's Android stubs (android, oculusquest and
googleplay, all written by default), read back with dexdump, aapt and
readelf."""
import hashlib
import re
import subprocess
import struct
import xml.etree.ElementTree as ET
import zipfile

import pytest

from conftest import DEBIAN_PYTHON, GENERATOR, RUNTIME_STUB, stubs_dir

ANDROID_NS = "{http://schemas.android.com/apk/res/android}"
PLACEHOLDERS = {"$ZEVRA_MANIFEST_ADDITIONS", "$ZEVRA_PACKAGEID", "$ZEVRA_VERSION_CODE",
                "$ZEVRA_VERSION"}
RUNTIME_TREE = {"BrindlecotManifest.xml", "stub/lib/armeabi-v7a/libmain.so"}
STUB_TREES = {
    "android": RUNTIME_TREE | {"stub/classes.dex", "BrindlecotResourcesBlob.bin"},
    "oculusquest": RUNTIME_TREE | {"stub/classes.dex"},
    "googleplay": RUNTIME_TREE | {"stub/dex/classes.dex"},
}
DEX_FILES = ("android/stub/classes.dex", "oculusquest/stub/classes.dex",
             "googleplay/stub/dex/classes.dex")
DENSITIES = ("mdpi", "hdpi", "xhdpi", "xxhdpi", "xxxhdpi")


def generate(dest, *flags):
    result = subprocess.run([DEBIAN_PYTHON, str(GENERATOR), "--runtime-stub", str(RUNTIME_STUB),
                             "--no-game", *flags, str(dest)], capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return stubs_dir(dest)


@pytest.fixture(scope="module")
def stubs(tmp_path_factory):
    return generate(tmp_path_factory.mktemp("inst"))


def tree(root):
    return {p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file()}


def test_every_android_stub_is_written_by_default(tmp_path, stubs):
    for platform, files in STUB_TREES.items():
        assert tree(stubs / platform) == files, platform
    assert (stubs / "linux-amd64").is_file()

    plain = generate(tmp_path / "plain")
    for platform, files in STUB_TREES.items():
        assert tree(plain / platform) == files, platform


@pytest.mark.parametrize("path", DEX_FILES)
def test_classes_dex_defines_the_sdl_activity(stubs, path):
    dex = stubs / path
    # dexdump verifies the file (structure and checksum) before it dumps it.
    result = subprocess.run(["dexdump", "-f", "-d", str(dex)], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "Class descriptor  : 'Lorg/libsdl/app/SDLActivity;'" in out
    assert re.search(r"Class #0 .*\n.*\n\s+Access flags\s+: 0x0001 \(PUBLIC\)", out)
    assert "Superclass        : 'Landroid/app/Activity;'" in out
    assert re.search(r"name\s+: '<init>'\n\s+type\s+: '\(\)V'\n\s+access\s+: 0x10001 "
                     r"\(PUBLIC CONSTRUCTOR\)", out)
    assert "invoke-direct {v0}, Landroid/app/Activity;.<init>:()V" in out
    assert "return-void" in out
    # dexdump does not look at the signature: SHA-1 of everything after it.
    data = dex.read_bytes()
    assert data[12:32] == hashlib.sha1(data[32:]).digest()


def test_native_library_is_an_arm_shared_object(stubs):
    for platform in STUB_TREES:
        result = subprocess.run(["readelf", "-h", str(stubs / platform / "stub" / "lib"
                                                      / "armeabi-v7a" / "libmain.so")],
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        assert re.search(r"Class:\s+ELF32", result.stdout)
        assert re.search(r"Type:\s+DYN", result.stdout)
        assert re.search(r"Machine:\s+ARM", result.stdout)


@pytest.mark.parametrize("platform", sorted(STUB_TREES))
def test_manifest_template(stubs, platform):
    template = (stubs / platform / "BrindlecotManifest.xml").read_text()
    assert set(re.findall(r"\$ZEVRA_[A-Z_]+", template)) == PLACEHOLDERS

    # Filled in the publisher's order, additions first; they land at the top level.
    text = template.replace("$ZEVRA_MANIFEST_ADDITIONS",
                            '<uses-permission android:name="android.permission.VIBRATE" />')
    for placeholder, value in (("$ZEVRA_PACKAGEID", "com.example.game"),
                               ("$ZEVRA_VERSION_CODE", "1234"), ("$ZEVRA_VERSION", "1.0")):
        text = text.replace(placeholder, value)
    manifest = ET.fromstring(text)
    assert manifest.get("package") == "com.example.game"
    assert manifest.get(ANDROID_NS + "versionCode") == "1234"
    assert manifest.get(ANDROID_NS + "versionName") == "1.0"
    assert manifest.find("uses-permission").get(ANDROID_NS + "name") == "android.permission.VIBRATE"

    application = manifest.find("application")
    assert application.get(ANDROID_NS + "label") == "@string/app_name"
    assert application.get(ANDROID_NS + "icon") == "@mipmap/ic_launcher"
    launchers = [a for a in application.iter("activity")
                 if {"android.intent.action.MAIN", "android.intent.category.LAUNCHER"}
                 <= {e.get(ANDROID_NS + "name") for e in a.iter() if e.tag in ("action", "category")}]
    assert [a.get(ANDROID_NS + "name") for a in launchers] == [
        "com.example.game.BrindlecotActivity"]


# --- the resources blob, completed as the publisher completes it ------------

ICON_PATHS = ["res/mipmap-%s-v4/ic_launcher.png" % d for d in DENSITIES]


def utf16_pool(strings):
    offsets, data = [], b""
    for text in strings:
        units = text.encode("utf-16-le")
        offsets.append(len(data))
        data += struct.pack("<H", len(units) // 2) + units + b"\0\0"
    data += b"\0" * (-len(data) % 4)
    return (struct.pack("<HHIIIIII", 0x0001, 28, 28 + 4 * len(strings) + len(data),
                        len(strings), 0, 0, 28 + 4 * len(strings), 0)
            + b"".join(struct.pack("<I", o) for o in offsets) + data)


def resources_arsc(blob, title, package_id):
    """The table header, the global string pool (five icon paths and the
    title) and the package header up to its name, then the blob."""
    name = package_id.encode("utf-16-le")[:254]
    package = struct.pack("<HHII", 0x0200, 288, 1592, 0x7F) + name.ljust(256, b"\0") + blob
    body = utf16_pool(ICON_PATHS + [title]) + package
    return struct.pack("<HHII", 0x0002, 12, 12 + len(body), 1) + body


def test_resources_blob_length(stubs):
    assert (stubs / "android" / "BrindlecotResourcesBlob.bin").stat().st_size == 1324


# An odd and an even title length: the package chunk starts 4-aligned either way.
@pytest.mark.parametrize("title", ["My Game", "Zwei Äpfel"])
def test_resources_blob_completes_a_valid_table(stubs, tmp_path, title):
    blob = (stubs / "android" / "BrindlecotResourcesBlob.bin").read_bytes()
    apk = tmp_path / "table.apk"
    with zipfile.ZipFile(apk, "w") as z:
        z.writestr("resources.arsc", resources_arsc(blob, title, "com.example.game"))
    result = subprocess.run(["aapt", "dump", "--values", "resources", str(apk)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout

    assert "Package 0 id=0x7f name=com.example.game" in out
    assert "spec resource 0x7f020000 com.example.game:mipmap/ic_launcher: flags=0x00000100" in out
    assert "spec resource 0x7f040000 com.example.game:string/app_name: flags=0x00000000" in out
    # One value per density, each the global string of its icon path.
    icons = re.findall(r"config (\S+):\n\s+resource 0x7f020000 com\.example\.game:mipmap/"
                       r"ic_launcher: t=0x03 d=(0x[0-9a-f]+) .*\n\s+\(string16\) \"(.*)\"", out)
    assert icons == [("%s-v4" % d, "0x%08x" % i, ICON_PATHS[i]) for i, d in enumerate(DENSITIES)]
    names = re.findall(r"config (\S+):\n\s+resource 0x7f040000 com\.example\.game:string/"
                       r"app_name: t=0x03 d=(0x[0-9a-f]+) .*\n\s+\(string16\) \"(.*)\"", out)
    assert names == [("(default)", "0x00000005", title)]
    assert len(re.findall(r"^\s+resource 0x", out, re.M)) == 6
