"""Game manifests in the shapes common engines' Android templates take,
compiled by the publisher and by the platform's own packager (aapt) from the
same text and compared with aapt dump xmltree; each app bundle is read back
with aapt2 convert. Then every refusal and warning of the Android builds:
exit status, message, and no package left after a refusal."""
import re

import pytest

from bundle_env import base_module_as_binary_apk, run, xmltree
from conftest import STUBS, build_installation
from publish_env import run_publish, texts
from web_env import set_metadata

FRAMEWORK = "/usr/share/android-framework-res/framework-res.apk"
PACKAGE = "com.example.shapes"
NS = 'xmlns:android="http://schemas.android.com/apk/res/android"'

# Empty values, framework references, flags, formats declared outside the
# manifest's own definitions.
ENGINE_A = """<?xml version="1.0" encoding="utf-8"?>
<manifest %s package="%s" android:versionCode="7" android:versionName="1.2"
    android:installLocation="preferExternal">
  <uses-sdk android:minSdkVersion="19" android:targetSdkVersion="26" />
  <application android:label="Shapes" android:enabled="true" android:hasCode="true"
      android:theme="@android:style/Theme.NoTitleBar.Fullscreen" android:isGame="true">
    <activity android:name="com.example.shapes.Main" android:taskAffinity=""
        android:launchMode="singleTask" android:screenOrientation="sensorLandscape"
        android:configChanges="mcc|mnc|locale|touchscreen|keyboard|keyboardHidden|navigation|orientation|screenLayout|uiMode|screenSize|smallestScreenSize|fontScale|layoutDirection|density"
        android:hardwareAccelerated="false" android:use32bitAbi="true"
        android:windowSoftInputMode="adjustResize|stateHidden" android:keepScreenOn="true">
      <intent-filter>
        <action android:name="android.intent.action.MAIN" />
        <category android:name="android.intent.category.LAUNCHER" />
      </intent-filter>
      <meta-data android:name="unityplayer.UnityActivity" android:value="true" />
      <meta-data android:name="ratio" android:value="2.1" />
    </activity>
  </application>
  <uses-feature android:glEsVersion="0x00020000" />
</manifest>
""" % (NS, PACKAGE)

# <layout> with dimensions and fractions, tags broken over lines.
ENGINE_B = """<manifest
    %s
    package="%s"
    android:versionCode="1"
    >
  <supports-screens
      android:smallScreens="true"
      android:normalScreens="true"
      android:largeScreens="true"
      android:xlargeScreens="true" />
  <application
      android:label="Shapes &amp; Co"
      android:allowBackup="false"
      android:resizeableActivity="true">
    <activity
        android:name=".Main"
        android:excludeFromRecents="false"
        android:resizeableActivity="true">
      <layout
          android:defaultWidth="600dp"
          android:defaultHeight="50%%"
          android:gravity="top|end"
          android:minWidth="320dp"
          android:minHeight="1.5in" />
    </activity>
  </application>
</manifest>
""" % (NS, PACKAGE)

# Permissions, a service, booleans in other cases, colours in meta-data.
ENGINE_C = """<?xml version="1.0" encoding="utf-8"?>
<manifest %s package="%s" android:versionCode="0x10">
  <uses-permission android:name="android.permission.INTERNET" />
  <uses-permission android:name="android.permission.VIBRATE" android:maxSdkVersion="28" />
  <uses-feature android:name="android.hardware.gamepad" android:required="False" />
  <application android:label="" android:debuggable="TRUE" android:largeHeap="true">
    <service android:name=".Sync" android:exported="false" android:process=":sync" />
    <activity android:name=".Main" android:label="Main"
        android:theme="@android:style/Theme.Holo.Light.DarkActionBar"
        android:alwaysRetainTaskState="true" android:maxAspectRatio="2">
      <meta-data android:name="tint" android:value="#80FF0000" />
      <meta-data android:name="count" android:value="-3" />
    </activity>
  </application>
</manifest>
""" % (NS, PACKAGE)

SHAPES = [("engine_a", ENGINE_A), ("engine_b", ENGINE_B), ("engine_c", ENGINE_C)]


def aapt_compile(text, tmp_path):
    manifest = tmp_path / "AndroidManifest.xml"
    manifest.write_text(text, encoding="utf-8")
    apk = tmp_path / "aapt.apk"
    code, out = run(["aapt", "package", "-f", "-M", str(manifest), "-I", FRAMEWORK,
                     "-F", str(apk)])
    assert code == 0, out
    return apk


def bundle_as_binary_apk(inst, tmp_path):
    base = inst / "builds" / "mygame-googleplay-1.0" / "base"
    return base_module_as_binary_apk(base, tmp_path)


def publish(inst, platforms):
    r = run_publish(["--only-package", "--platforms=" + platforms, "mygame"], inst)
    return r, r.stdout.decode("utf-8", "replace")


@pytest.fixture(scope="module")
def installation(tmp_path_factory):
    return build_installation(tmp_path_factory.mktemp("shapes") / "inst",
                              keep_stubs=["android", "oculusquest", "googleplay"])


@pytest.fixture
def inst(installation):
    """The installation with the demo game's own metadata and no templates."""
    set_metadata(installation, packageid=PACKAGE)
    meta = installation / "mygame" / "metadata"
    for p in meta.glob("*-manifest*.xml"):
        p.unlink()
    yield installation


@pytest.mark.parametrize("name,text", SHAPES, ids=[s[0] for s in SHAPES])
def test_publisher_and_packager_agree(inst, tmp_path, name, text):
    meta = inst / "mygame" / "metadata"
    (meta / "android-manifest.xml").write_text(text, encoding="utf-8")
    (meta / "googleplay-manifest.xml").write_text(text, encoding="utf-8")
    r, out = publish(inst, "android,googleplay")
    assert r.returncode == 0, out
    assert "WARNING" not in out, out
    expected = xmltree(aapt_compile(text, tmp_path))
    assert xmltree(inst / "builds" / "mygame-android.apk") == expected
    converted = xmltree(bundle_as_binary_apk(inst, tmp_path))
    assert not [l for l in converted if "STRING_TOO_LARGE" in l or "\ufffd" in l]
    assert converted == expected


def failing(inst, platforms, message):
    """Publishes, expects the failure and the message, returns the output."""
    r, out = publish(inst, platforms)
    assert r.returncode != 0, out
    errors = texts(r, "! ")
    assert any(message in e for e in errors), errors
    for platform in platforms.split(","):
        suffix = ".aab" if platform == "googleplay" else ".apk"
        assert not (inst / "builds" / ("mygame-" + platform + suffix)).exists()
    return out


BAD_IDS = [
    ({}, "Package id 'org.brindlecot-demo.mygame' is not one Android accepts: segment "
         "'brindlecot-demo' holds '-'", "metadata keys devid and gameid"),
    ({"packageid": "quest"}, "Package id 'quest' is not one Android accepts: it has one segment",
     "metadata key packageid"),
    ({"packageid": "org.1up.quest"}, "segment '1up' does not start with a letter",
     "metadata key packageid"),
    ({"packageid": "org..quest"}, "it has an empty segment", "packageid"),
    ({"packageid": "org.caf\u00e9.quest"}, "holds a byte that is not a letter", "packageid"),
    ({"packageid": "org." + "a" * 103}, "it is 107 bytes long, at most 106 fit", "packageid"),
]


@pytest.mark.parametrize("values,message,keys", BAD_IDS, ids=[str(i) for i in range(len(BAD_IDS))])
def test_package_ids_android_refuses_are_refused(inst, values, message, keys):
    set_metadata(inst, **values)
    for platform in ("android", "oculusquest", "googleplay"):
        out = failing(inst, platform, message)
        assert keys in out


def test_the_longest_id_passes(inst):
    set_metadata(inst, packageid="org." + "a" * 102)
    r, out = publish(inst, "android")
    assert r.returncode == 0, out


@pytest.mark.parametrize("platform,path", [
    ("android", "stub/classes.dex"), ("oculusquest", "stub/classes.dex"),
    ("googleplay", "stub/dex/classes.dex")])
def test_stub_without_main_executable_is_refused(inst, platform, path):
    dex = inst / STUBS / platform / path
    saved = dex.read_bytes()
    dex.unlink()
    try:
        failing(inst, platform,
                "The Android stub lacks '.brindlecot/stubs/%s/%s'" % (platform, path))
    finally:
        dex.write_bytes(saved)


def test_titles_past_the_string_limits_are_refused(inst):
    # 12,000 CJK characters: 36,000 bytes of UTF-8, 12,000 UTF-16 units.
    set_metadata(inst, packageid=PACKAGE, gametitle="\u6f22" * 12000)
    failing(inst, "googleplay", "The game title (metadata key gametitle) is 36000 bytes of "
                                "UTF-8; an app bundle's strings hold at most 32767")
    r, out = publish(inst, "android")
    assert r.returncode == 0, out
    set_metadata(inst, packageid=PACKAGE, gametitle="x" * 32768)
    failing(inst, "android", "the game title (metadata key gametitle) is 32768 UTF-16 units "
                             "long, at most 32767 fit")


def test_template_in_latin1_is_mended_with_a_warning(inst, tmp_path):
    text = ENGINE_C.replace('android:label="Main"', 'android:label="Caf\u00e9 \u00e0 la carte"')
    data = text.encode("iso-8859-1")
    meta = inst / "mygame" / "metadata"
    (meta / "android-manifest.xml").write_bytes(data)
    (meta / "googleplay-manifest.xml").write_bytes(data)
    r, out = publish(inst, "android,googleplay")
    assert r.returncode == 0, out
    for platform in ("android", "googleplay"):
        warning = ("WARNING: 'mygame/metadata/%s-manifest.xml' is not valid UTF-8 (the first "
                   "malformed byte is on line 8); its malformed bytes are written as '?'"
                   % platform)
        assert out.count(warning) == 1, out
    expected = 'A: android:label(0x01010001)="Caf? ? la carte"'
    assert any(l.strip().startswith(expected) for l in xmltree(inst / "builds" /
                                                             "mygame-android.apk"))
    manifest = (inst / "builds" / "mygame-googleplay-1.0" / "base" / "manifest" /
                "AndroidManifest.xml").read_bytes()
    assert b"Caf? ? la carte" in manifest
    converted = xmltree(bundle_as_binary_apk(inst, tmp_path))
    assert any(l.strip().startswith(expected) for l in converted)


def test_additions_without_placeholder_are_warned_about(inst):
    meta = inst / "mygame" / "metadata"
    (meta / "android-manifest.xml").write_text(ENGINE_C)
    (meta / "android-manifest-additions.xml").write_text(
        '<uses-permission android:name="android.permission.CAMERA" />')
    r, out = publish(inst, "android")
    assert r.returncode == 0, out
    assert ("WARNING: 'mygame/metadata/android-manifest.xml' has no $ZEVRA_MANIFEST_ADDITIONS "
            "placeholder, so the additions in 'mygame/metadata/android-manifest-additions.xml' "
            "are left out") in out


def test_unknown_attributes_and_resources_are_warned_about(inst):
    # Values the platform's packager refuses are refused: see
    # test_manifest_oracle.py.
    text = ENGINE_C.replace(
        'android:maxAspectRatio="2"',
        'android:maxAspectRatio="2" android:preferMinimalPostProcessing="true"\n'
        '        android:logo="@drawable/none"')
    (inst / "mygame" / "metadata" / "googleplay-manifest.xml").write_text(text)
    (inst / "mygame" / "metadata" / "android-manifest.xml").write_text(text)
    r, out = publish(inst, "android,googleplay")
    assert r.returncode == 0, out
    for warning in (
            "WARNING: Attribute 'android:preferMinimalPostProcessing' on line 10 (value 'true') "
            "is not an Android attribute of API level 26; it is written as a string",
            "WARNING: Unknown resource name '@drawable/none' in XML file"):
        # Once per build: the APK's and the bundle's.
        assert out.count(warning) == 2, (warning, out)


@pytest.mark.parametrize("source", ["template", "additions"])
def test_broken_manifest_names_the_file_line_and_column(inst, source):
    meta = inst / "mygame" / "metadata"
    if source == "template":
        broken = ENGINE_C.replace('android:name=".Sync"', 'android:name=".Sync" <')
        (meta / "android-manifest.xml").write_text(broken)
        where = "'mygame/metadata/android-manifest.xml': line #7, column #35"
    else:
        (meta / "android-manifest-additions.xml").write_text(
            '<!-- extra -->\n  <uses-permission android:name="a" />\n  <uses-feature <x/>\n')
        where = "'mygame/metadata/android-manifest-additions.xml': line #3, column #17"
    out = failing(inst, "android", "XML failed to parse! XML text:")
    lines = [l for l in out.splitlines() if l.startswith("! ")]
    problem = [i for i, l in enumerate(lines) if l.startswith("! XML parse problem: ")]
    assert problem, out
    assert lines[problem[0] + 1] == "! The manifest text there comes from " + where


def test_the_demo_builds_installable_packages(tmp_path):
    inst = build_installation(tmp_path / "inst",
                              keep_stubs=["android", "oculusquest", "googleplay"])
    r, out = publish(inst, "android,oculusquest,googleplay")
    assert r.returncode == 0, out
    for platform in ("android", "oculusquest"):
        code, badging = run(["aapt", "dump", "badging",
                             str(inst / "builds" / ("mygame-%s.apk" % platform))])
        assert code == 0, badging
        assert re.match(r"package: name='org\.brindlecot_demo\.mygame' ", badging), badging


def test_title_with_malformed_utf8_reads_back_from_the_bundle(inst, tmp_path):
    path = inst / "mygame" / "metadata" / "game_metadata.txt"
    set_metadata(inst, packageid=PACKAGE)
    text = path.read_bytes().replace(b"gametitle=My Demo Game", b"gametitle=Caf\xe9 \xff Game")
    path.write_bytes(text)
    r, out = publish(inst, "googleplay")
    assert r.returncode == 0, out
    warning = ("WARNING: The game title (metadata key gametitle) is not valid UTF-8; its "
               "malformed bytes are written as '?'")
    assert out.count(warning) == 1, out
    apk = bundle_as_binary_apk(inst, tmp_path)
    code, strings = run(["aapt", "dump", "strings", str(apk)])
    assert code == 0, strings
    assert "Caf? ? Game" in strings, strings
