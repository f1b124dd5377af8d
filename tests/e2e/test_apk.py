"""The Android and Oculus Quest packages of a whole publish, read by Android's
own tools: aapt, dexdump, apktool, zipalign and apksigner, with unzip and
zipinfo for the archive."""
import re
import subprocess
import xml.etree.ElementTree as ET
import zipfile

import pytest

from conftest import PUBLISH, build_installation
from publish_env import texts

PLATFORMS = ("android", "oculusquest")
DENSITIES = (("mdpi", 160), ("hdpi", 240), ("xhdpi", 320), ("xxhdpi", 480), ("xxxhdpi", 640))
ICONS = ["res/mipmap-%s-v4/ic_launcher.png" % d for d, _ in DENSITIES]
# UTF-8 beyond ASCII and beyond the Basic Multilingual Plane, both quotes
# and an ampersand: everything a reader could get wrong.
TITLE = "Zo\u00eb's \"Grand\" Quest & Co \U0001F3AE"
PACKAGE_ID = "com.example.grandquest"
VERSION = "2.5.1"

METADATA = """devid=tester
devtitle=Tester
gameid=quest
gametitle=%s
version=%s
icon=metadata/icon.png
packageid=%s
""" % (TITLE, VERSION, PACKAGE_ID)


def run(args, cwd=None, timeout=120):
    result = subprocess.run(args, cwd=cwd, capture_output=True, timeout=timeout)
    out = result.stdout.decode("utf-8", "replace") + result.stderr.decode("utf-8", "replace")
    return result.returncode, out


def publish(inst, *args):
    return subprocess.run([PUBLISH, "--set", "log.timing", "false", "--only-package", *args,
                           "mygame"], cwd=str(inst), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=600)


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """The generator's installation, its demo game retitled, packaged for
    every platform of the installation."""
    inst = build_installation(tmp_path_factory.mktemp("apk") / "inst")
    (inst / "mygame" / "metadata" / "game_metadata.txt").write_text(METADATA, encoding="utf-8")
    result = publish(inst)
    assert result.returncode == 0, result.stdout.decode("utf-8", "replace")
    ids = {t for t in texts(result, "- ") if t.startswith("This Android build will have")}
    # One build ID for every Android build of the run.
    assert len(ids) == 1, ids
    build_id = re.search(r"'(\d+)'", ids.pop()).group(1)
    return inst, build_id


def apk(built, platform):
    return built[0] / "builds" / ("quest-%s.apk" % platform)


def test_a_publish_builds_both_packages(built):
    builds = built[0] / "builds"
    for platform in PLATFORMS:
        assert (builds / ("quest-%s.apk" % platform)).is_file()
        assert (builds / ("quest-%s-%s" % (platform, VERSION)) / "resources.arsc").is_file()
    assert (builds / "quest-linux-amd64.bin").is_file()


def aapt_unescape(text):
    return text.replace('\\"', '"')


@pytest.mark.parametrize("platform", PLATFORMS)
def test_badging(built, platform):
    code, out = run(["aapt", "dump", "badging", str(apk(built, platform))])
    assert code == 0, out
    assert "package: name='%s' versionCode='%s' versionName='%s'" % (
        PACKAGE_ID, built[1], VERSION) in out
    labels = re.findall(r"^application-label:'(.*)'$", out, re.M)
    assert [aapt_unescape(l) for l in labels] == [TITLE]
    for (density, dpi), icon in zip(DENSITIES, ICONS):
        assert "application-icon-%d:'%s'" % (dpi, icon) in out
    assert "launchable-activity: name='%s.BrindlecotActivity'" % PACKAGE_ID in out


@pytest.mark.parametrize("platform", PLATFORMS)
def test_manifest_is_typed(built, platform):
    code, out = run(["aapt", "dump", "xmltree", str(apk(built, platform)), "AndroidManifest.xml"])
    assert code == 0, out
    assert re.search(r"A: android:versionCode\(0x0101021b\)=\(type 0x10\)0x%x\n" % int(built[1]),
                     out)
    assert 'A: android:versionName(0x0101021c)="%s"' % VERSION in out
    assert 'A: package="%s"' % PACKAGE_ID in out
    # The app's own resources, by the ids the resource table declares.
    assert "A: android:label(0x01010001)=@0x7f040000" in out
    assert "A: android:icon(0x01010002)=@0x7f020000" in out


@pytest.mark.parametrize("platform", PLATFORMS)
def test_resource_values(built, platform):
    code, out = run(["aapt", "dump", "--values", "resources", str(apk(built, platform))])
    assert code == 0, out
    assert "Package 0 id=0x7f name=%s" % PACKAGE_ID in out
    icons = re.findall(r"config (\S+):\n\s+resource 0x7f020000 \S+:mipmap/ic_launcher: "
                       r".*\n\s+\(string16\) \"(.*)\"", out)
    assert icons == [("%s-v4" % d, path) for (d, _), path in zip(DENSITIES, ICONS)]
    names = re.findall(r"config \(default\):\n\s+resource 0x7f040000 \S+:string/app_name: "
                       r".*\n\s+\(string16\) \"(.*)\"", out)
    assert [aapt_unescape(n) for n in names] == [TITLE]


@pytest.mark.parametrize("platform", PLATFORMS)
def test_dexdump_reads_both_executables(built, platform, tmp_path):
    with zipfile.ZipFile(apk(built, platform)) as z:
        z.extract("classes.dex", tmp_path)
        z.extract("classes2.dex", tmp_path)
    for dex, descriptor in (("classes.dex", "Lorg/libsdl/app/SDLActivity;"),
                            ("classes2.dex", "Lcom/example/grandquest/BrindlecotActivity;")):
        code, out = run(["dexdump", "-f", str(tmp_path / dex)])
        assert code == 0, out
        assert "Class descriptor  : '%s'" % descriptor in out


@pytest.mark.parametrize("platform", PLATFORMS)
def test_apktool_decodes(built, platform, tmp_path):
    # Its framework goes to tmp_path, not the user's home.
    code, out = run(["apktool", "d", "-f", "-p", str(tmp_path / "framework"), "-o",
                     str(tmp_path / "out"), str(apk(built, platform))], timeout=300)
    assert code == 0, out
    strings = ET.parse(tmp_path / "out" / "res" / "values" / "strings.xml").getroot()
    [app_name] = [s for s in strings if s.get("name") == "app_name"]
    # Android's string resource quoting: outer quotes, backslash escapes.
    text = app_name.text
    if len(text) >= 2 and text[0] == text[-1] == '"':
        text = text[1:-1]
    assert re.sub(r"\\(.)", r"\1", text) == TITLE
    manifest = ET.parse(tmp_path / "out" / "AndroidManifest.xml").getroot()
    assert manifest.get("package") == PACKAGE_ID
    for icon in ICONS:
        assert (tmp_path / "out" / icon).is_file()


@pytest.mark.parametrize("platform", PLATFORMS)
def test_archive_readers(built, platform):
    path = str(apk(built, platform))
    code, out = run(["unzip", "-t", path])
    assert code == 0, out
    code, out = run(["zipalign", "-c", "-v", "4", path])
    assert code == 0 and "Verification successful" in out, out
    code, out = run(["zipinfo", path])
    assert code == 0, out
    methods = {}
    for line in out.splitlines():
        fields = line.split(None, 8)
        if len(fields) == 9 and fields[0].startswith(("-", "d")):
            methods[fields[8]] = fields[5]
    # Android maps resources.arsc from the package: stored. Files deflated.
    assert methods.pop("resources.arsc") == "stor"
    files = {n: m for n, m in methods.items() if not n.endswith("/")}
    assert set(files.values()) == {"defX"}, files
    for name in ("AndroidManifest.xml", "classes.dex", "classes2.dex",
                 "lib/armeabi-v7a/libmain.so", "assets/app/main.rb", *ICONS):
        assert name in files, name
    for directory in ("assets/", "assets/saves/", "res/", "res/mipmap-mdpi-v4/", "lib/"):
        assert directory in methods, directory


@pytest.mark.parametrize("platform", PLATFORMS)
def test_signed_copy_verifies(built, platform, tmp_path):
    # The package is not signed; a signed copy shows it is a sound APK.
    keystore = tmp_path / "throwaway.p12"
    code, out = run(["keytool", "-genkeypair", "-keystore", str(keystore), "-storetype",
                     "PKCS12", "-storepass", "throwaway", "-keypass", "throwaway", "-alias",
                     "test", "-keyalg", "RSA", "-keysize", "2048", "-validity", "2",
                     "-dname", "CN=throwaway"])
    assert code == 0, out
    signed = tmp_path / "signed.apk"
    code, out = run(["apksigner", "sign", "--ks", str(keystore), "--ks-pass", "pass:throwaway",
                     "--out", str(signed), str(apk(built, platform))])
    assert code == 0, out
    code, out = run(["apksigner", "verify", "-v", str(signed)])
    assert code == 0 and out.startswith("Verifies"), out


def test_failed_build_removes_the_package_and_keeps_the_tree(tmp_path):
    inst = build_installation(tmp_path / "inst")
    assert publish(inst, "--platforms=android").returncode == 0
    package = inst / "builds" / "mygame-android.apk"
    assert package.is_file()

    (inst / "mygame" / "metadata" / "android-manifest.xml").write_text("<manifest>")
    result = publish(inst, "--platforms=android")
    assert result.returncode == 1
    assert any(t.startswith("XML failed to parse!") for t in texts(result, "! "))
    assert not package.exists()
    tree = inst / "builds" / "mygame-android-1.0"
    for name in ICONS + ["classes2.dex", "resources.arsc"]:
        assert (tree / name).is_file(), name
