"""Every manifest value against the platform's packager. A table of whole
manifests in the shapes engines ship and of single attributes (every value
type, blanks, signs, exponents, escapes, references, enum and flag names,
other namespaces) is built for android, oculusquest and googleplay; the same
text goes through aapt2 link (with the app's two resources at the ids the
publisher gives them). What aapt2 accepts must come out the same: each APK's
manifest through aapt dump xmltree, each bundle read back by aapt2 convert.
What aapt2 refuses must be refused with a line naming the file, the line,
the attribute and the value, and leave no package. The kept cases build:
an Android attribute API 26 lacks and an unknown resource with a warning,
a colour that does not parse as a string without one."""
import difflib

import pytest
from PIL import Image

from bundle_env import base_module_as_binary_apk, run, xmltree
from conftest import STUBS, build_installation
from publish_env import run_publish, texts
from web_env import set_metadata

FRAMEWORK = "/usr/share/android-framework-res/framework-res.apk"
PACKAGE = "com.example.oracle"
PLATFORMS = ("android", "oculusquest", "googleplay")
HEAD = """<?xml version="1.0" encoding="utf-8"?>
<manifest xmlns:android="http://schemas.android.com/apk/res/android"
    xmlns:ext="http://example.com/ext"
    xmlns:dist="http://schemas.android.com/apk/distribution"
    package="%s" android:versionCode="3" android:versionName="1.0">
  <application android:label="@string/app_name" android:icon="@mipmap/ic_launcher">
""" % PACKAGE
TAIL = """  </application>
</manifest>
"""

# Attribute, value as XML text. Each goes on an activity of its own.
ATTRIBUTES = [
    # integers: sign, hexadecimal, range, blanks
    ("android:maxRecents", "42"), ("android:maxRecents", " 42"), ("android:maxRecents", "42 "),
    ("android:maxRecents", "&#9;42&#10;"), ("android:maxRecents", "-1"),
    ("android:maxRecents", "007"), ("android:maxRecents", "0x10"),
    ("android:maxRecents", "0xFFFFFFFF"), ("android:maxRecents", "2147483647"),
    ("android:maxRecents", "-2147483648"), ("android:maxRecents", "2147483648"),
    ("android:maxRecents", "4294967296"), ("android:maxRecents", "-2147483649"),
    ("android:maxRecents", "0x100000000"), ("android:maxRecents", "+5"),
    ("android:maxRecents", "-0x10"), ("android:maxRecents", "0X10"), ("android:maxRecents", "0x"),
    ("android:maxRecents", "1.5"), ("android:maxRecents", "abc"), ("android:maxRecents", "true"),
    ("android:maxRecents", "#10"), ("android:maxRecents", "1e3"), ("android:maxRecents", "- 5"),
    ("android:maxRecents", ""), ("android:versionCode", "1.5"), ("android:versionCode", " 42"),
    ("android:minSdkVersion", " 19"), ("android:minSdkVersion", "19 "),
    ("android:minSdkVersion", "P"), ("android:minSdkVersion", "2147483648"),
    # booleans
    ("android:exported", "true"), ("android:exported", "TRUE"), ("android:exported", "True"),
    ("android:exported", " false "), ("android:exported", "tRuE"), ("android:exported", "yes"),
    ("android:exported", "on"), ("android:exported", "1"), ("android:exported", ""),
    ("android:fullBackupContent", "false"), ("android:fullBackupContent", "x"),
    # floats, dimensions, fractions
    ("android:maxAspectRatio", "2"), ("android:maxAspectRatio", "2.5"),
    ("android:maxAspectRatio", ".5"), ("android:maxAspectRatio", "+1.5"),
    ("android:maxAspectRatio", "-1.5E+2"), ("android:maxAspectRatio", "1e39"),
    ("android:maxAspectRatio", "0x10"), ("android:maxAspectRatio", "2147483648"),
    ("android:maxAspectRatio", "1.5dp"), ("android:maxAspectRatio", "1,5"),
    ("android:minWidth", "320dp"), ("android:minWidth", " 1.5in "), ("android:minWidth", "1e1dp"),
    ("android:minWidth", "320 dp"), ("android:minWidth", "320"),
    ("android:defaultHeight", "50%"), ("android:defaultHeight", "25%p"),
    # enums and flags
    ("android:screenOrientation", "landscape"), ("android:screenOrientation", " portrait "),
    ("android:screenOrientation", "Landscape"), ("android:screenOrientation", "0"),
    ("android:screenOrientation", "landscape|portrait"), ("android:launchMode", "singleTask"),
    ("android:configChanges", "orientation|keyboardHidden|screenSize"),
    ("android:configChanges", "orientation | keyboard"),
    ("android:configChanges", " orientation|keyboard "), ("android:configChanges", ""),
    ("android:configChanges", "orientation|"), ("android:configChanges", "|orientation"),
    ("android:configChanges", "orientation||keyboard"), ("android:configChanges", "0x90"),
    ("android:configChanges", "orientation|hinge"),
    ("android:windowSoftInputMode", "adjustResize|stateHidden"),
    ("android:gravity", "top|end"), ("android:uiOptions", "none"),
    # references
    ("android:theme", "@android:style/Theme.Holo"), ("android:theme", " @android:style/Theme.Holo "),
    ("android:theme", "@android:Theme.Holo"), ("android:theme", "@*android:style/Theme.Holo"),
    ("android:theme", "?android:attr/colorAccent"), ("android:theme", "?android:colorAccent"),
    ("android:theme", "@null"), ("android:theme", "true"), ("android:theme", ""),
    ("android:label", "@string/app_name"), ("android:label", " @string/app_name"),
    ("android:label", "@android:string/ok"), ("android:label", "@android:Theme.Holo"),
    ("android:label", "@empty"), ("android:label", "@"), ("android:label", "@string/"),
    ("android:label", "@+string/x"), ("android:label", "?"), ("android:icon", "@android:id/icon"),
    ("android:icon", "@android:attr/icon"), ("android:exported", "@android:string/ok"),
    ("android:exported", "@null"), ("android:exported", "@empty"),
    ("android:maxRecents", "@android:integer/config_longAnimTime"),
    ("android:logo", "@mipmap/ic_launcher"),
    # strings: blanks kept, escapes
    ("android:taskAffinity", ""), ("android:taskAffinity", "  a  b  "),
    ("android:taskAffinity", "/level/.*\\\\.lvl"), ("android:taskAffinity", "a\\'b"),
    ("android:taskAffinity", "a\\&quot;b"), ("android:taskAffinity", "a\\nb"),
    ("android:taskAffinity", "a\\tb"), ("android:taskAffinity", "\\u0041x"),
    ("android:taskAffinity", "\\u00e9\\u20AC"), ("android:taskAffinity", "x\\u12"),
    ("android:taskAffinity", "\\@x"), ("android:taskAffinity", "\\?x"),
    ("android:taskAffinity", "\\#x"), ("android:taskAffinity", "a\\\\\\\\b"),
    ("android:taskAffinity", "a\\"), ("android:taskAffinity", "&quot;quoted&quot;"),
    ("android:taskAffinity", "it's"), ("android:taskAffinity", "\\@string/app_name"),
    ("android:taskAffinity", "12"), ("android:taskAffinity", "true"),
    ("android:taskAffinity", "#fff"), ("android:label", "  12  "),
    ("android:label", "#fff"), ("android:taskAffinity", "a\tb\r\nc"),
    # other namespaces and no namespace: typed as having no definition
    ("ext:exported", "true"), ("ext:exported", "yes"), ("ext:count", "12"),
    ("ext:count", " 12 "), ("ext:f", "1.5"), ("ext:f", "1e3"), ("ext:x", "0x10"),
    ("ext:x", "-5"), ("ext:x", "5dp"), ("ext:x", "50%"), ("ext:c", "#fff"),
    ("ext:r", "@android:string/ok"), ("ext:r", "@string/app_name"),
    ("ext:r", "?android:attr/colorAccent"), ("ext:r", "@null"), ("ext:r", "@empty"),
    ("ext:r", "@android:Theme.Holo"), ("ext:x", "orientation"), ("ext:s", "a\\.b"),
    ("ext:x", "TRUE"), ("ext:x", "tRue"), ("dist:onDemand", "true"),
    ("dist:include", "false"), ("count", "12"), ("exported", "true"), ("label", "1.5"),
    ("xml:lang", "en"),
]

# meta-data android:value, which takes any type.
META_VALUES = [
    "1.5", ".5", "1e3", "+1.5", "-1.5E+2", "1.", "-.5", "+5", "+0x10", "0x1p3", "1e39", "1e-50",
    "2147483648", "4294967296", "-2147483649", "-0", "0x10", "42", "-3",
    " true ", "True", "TRUE", "tRuE", "yes", "false",
    "@android:string/ok", "?android:attr/colorAccent", "@string/app_name", "@null", "@empty",
    "#fff", "#FFF ", "#8F00", "#FF0000", "#80FF0000", "#12345", " #ff0000",
    "1e", "inf", "nan", "-inf", "1_000", "1.5dp", "5%", "--1",
    "a\\.b", "\\u0041", "",
]

# Whole manifests in the shapes engines ship. {pkg} is the package.
SHAPES = {
    "sdl_deep_links": """<?xml version="1.0" encoding="utf-8"?>
<manifest xmlns:android="http://schemas.android.com/apk/res/android"
    package="{pkg}" android:versionCode=" 42" android:versionName="1.0"
    android:installLocation="auto">
  <uses-sdk android:minSdkVersion="19 " android:targetSdkVersion="26" />
  <uses-feature android:glEsVersion="0x00020000" />
  <uses-feature android:name="android.hardware.touchscreen" android:required="false" />
  <uses-permission android:name="android.permission.VIBRATE" />
  <application android:label="@string/app_name" android:icon="@mipmap/ic_launcher"
      android:allowBackup="true" android:theme="@android:style/Theme.NoTitleBar.Fullscreen"
      android:hardwareAccelerated="true">
    <activity android:name="org.libsdl.app.SDLActivity" android:label="@string/app_name"
        android:alwaysRetainTaskState="true" android:launchMode="singleInstance"
        android:configChanges="layoutDirection|locale|orientation|uiMode|screenLayout|screenSize|smallestScreenSize|keyboard|keyboardHidden|navigation"
        android:preferMinimalPostProcessing="true" android:exported="true">
      <intent-filter>
        <action android:name="android.intent.action.MAIN" />
        <category android:name="android.intent.category.LAUNCHER" />
      </intent-filter>
      <intent-filter>
        <action android:name="android.intent.action.VIEW" />
        <category android:name="android.intent.category.DEFAULT" />
        <category android:name="android.intent.category.BROWSABLE" />
        <data android:scheme="https" android:host="example.com"
            android:pathPattern="/level/.*\\\\.lvl" />
        <data android:scheme="game" android:pathPrefix="/it\\'s" />
      </intent-filter>
    </activity>
  </application>
</manifest>
""",
    "native_activity": """<manifest xmlns:android="http://schemas.android.com/apk/res/android"
    package="{pkg}" android:versionCode="0x10">
  <application android:label="Native" android:hasCode="false" android:debuggable="False">
    <activity android:name="android.app.NativeActivity" android:label="Native"
        android:screenOrientation=" landscape " android:configChanges="orientation | keyboardHidden">
      <meta-data android:name="android.app.lib_name" android:value="main" />
      <meta-data android:name="ratio" android:value="1e3" />
      <meta-data android:name="accent" android:value="?android:attr/colorAccent" />
    </activity>
  </application>
</manifest>
""",
    "vr_headset": """<manifest xmlns:android="http://schemas.android.com/apk/res/android"
    xmlns:dist="http://schemas.android.com/apk/distribution"
    package="{pkg}" android:versionCode="7" android:installLocation="auto">
  <dist:module dist:instant="false" />
  <uses-feature android:name="android.hardware.vr.headtracking" android:version="1"
      android:required="true" />
  <application android:label="VR" android:theme="@android:style/Theme.Black.NoTitleBar.Fullscreen">
    <meta-data android:name="com.samsung.android.vr.application.mode" android:value="vr_only" />
    <meta-data android:name="com.oculus.supportedDevices" android:value="quest|quest2" />
    <activity android:name=".Main" android:screenOrientation="landscape"
        android:resizeableActivity="false" android:excludeFromRecents=" true ">
      <intent-filter>
        <action android:name="android.intent.action.MAIN" />
        <category android:name="com.oculus.intent.category.VR" />
      </intent-filter>
    </activity>
  </application>
</manifest>
""",
    "tv_leanback": """<manifest xmlns:android="http://schemas.android.com/apk/res/android"
    package="{pkg}" android:versionCode="12">
  <uses-feature android:name="android.software.leanback" android:required="false" />
  <uses-feature android:name="android.hardware.touchscreen" android:required="false" />
  <application android:label="TV" android:banner="@mipmap/ic_launcher"
      android:isGame="true">
    <activity android:name=".Tv" android:label="@android:string/ok">
      <intent-filter>
        <action android:name="android.intent.action.MAIN" />
        <category android:name="android.intent.category.LEANBACK_LAUNCHER" />
      </intent-filter>
    </activity>
  </application>
</manifest>
""",
    "provider_services": """<manifest xmlns:android="http://schemas.android.com/apk/res/android"
    xmlns:ext="http://example.com/ext"
    package="{pkg}" android:versionCode="5" ext:count="12">
  <permission android:name="{pkg}.SYNC" android:protectionLevel="signature|privileged" />
  <application android:label="Services" android:usesCleartextTraffic="false">
    <service android:name=".Sync" android:exported=" false" android:process=":sync"
        android:permission="{pkg}.SYNC" />
    <provider android:name=".Files" android:authorities="{pkg}.files"
        android:grantUriPermissions="true" android:exported="false" android:initOrder="-1" />
    <receiver android:name=".Boot" android:enabled="@null" ext:exported="true" />
    <meta-data android:name="scale" android:value="+1.5" />
    <meta-data android:name="flag" android:value=" true " />
    <meta-data android:name="ok" android:value="@android:string/ok" />
  </application>
</manifest>
""",
}

# The kept classes: aapt2 refuses them, the build warns and goes on.
KEPT = [
    ("android:preferMinimalPostProcessing", "true",
     "WARNING: Attribute 'android:preferMinimalPostProcessing' on line 7 (value 'true') is not "
     "an Android attribute of API level 26; it is written as a string"),
    ("android:label", "@string/none", "WARNING: Unknown resource name '@string/none' in XML file"),
    ("android:theme", "@android:style/No.Such.Theme",
     "WARNING: Unknown resource name 'No.Such.Theme' in XML file"),
    ("android:colorPrimary", "#12345", None),
]


@pytest.fixture(scope="module")
def oracle(tmp_path_factory):
    """aapt2 link of a manifest text with the app's string/app_name and
    mipmap/ic_launcher at the publisher's ids: the APK, or the error."""
    root = tmp_path_factory.mktemp("oracle")
    (root / "res" / "values").mkdir(parents=True)
    (root / "res" / "mipmap").mkdir()
    (root / "res" / "values" / "strings.xml").write_text(
        '<resources><string name="app_name">Game</string></resources>')
    Image.new("RGBA", (4, 4), (255, 0, 0, 255)).save(root / "res" / "mipmap" / "ic_launcher.png")
    code, out = run(["aapt2", "compile", "--dir", str(root / "res"), "-o", str(root / "res.zip")])
    assert code == 0, out
    (root / "ids.txt").write_text("%s:mipmap/ic_launcher = 0x7f020000\n"
                                  "%s:string/app_name = 0x7f040000\n" % (PACKAGE, PACKAGE))
    count = [0]

    def link(text):
        count[0] += 1
        manifest = root / ("m%d.xml" % count[0])
        manifest.write_text(text, encoding="utf-8")
        apk = root / ("m%d.apk" % count[0])
        code, out = run(["aapt2", "link", "-I", FRAMEWORK, "--manifest", str(manifest),
                         "--stable-ids", str(root / "ids.txt"), "-o", str(apk),
                         str(root / "res.zip")])
        return (apk if code == 0 else None), out
    return link


@pytest.fixture(scope="module")
def inst(tmp_path_factory):
    inst = build_installation(tmp_path_factory.mktemp("oracle-inst") / "inst",
                              keep_stubs=list(PLATFORMS))
    set_metadata(inst, packageid=PACKAGE)
    for p in (inst / "mygame" / "metadata").glob("*-manifest*.xml"):
        p.unlink()
    return inst


def package(inst, platform):
    return inst / "builds" / ("mygame-%s.%s" % (platform, "aab" if platform == "googleplay" else "apk"))


def publish(inst, text, platforms=PLATFORMS):
    """Builds the platforms from one game template text."""
    meta = inst / "mygame" / "metadata"
    for platform in PLATFORMS:
        (meta / ("%s-manifest.xml" % platform)).write_text(text, encoding="utf-8")
    r = run_publish(["--only-package", "--platforms=" + ",".join(platforms), "mygame"], inst)
    return r, r.stdout.decode("utf-8", "replace")


def refused_everywhere(inst, text):
    """Builds each platform on its own (a publish stops at its first failed
    build); each must fail and leave no package. Its error lines, by
    platform."""
    errors = {}
    for platform in PLATFORMS:
        r, out = publish(inst, text, [platform])
        assert r.returncode != 0, out
        assert not package(inst, platform).exists()
        errors[platform] = [l for l in out.splitlines() if l.startswith("! ")]
    return errors


def same(ours, theirs, what):
    if ours != theirs:
        diff = "\n".join(difflib.unified_diff(theirs, ours, "aapt2 link", what, lineterm=""))
        pytest.fail("%s differs from aapt2 link:\n%s" % (what, diff))


def agree(inst, tmp_path, text, expected_apk):
    r, out = publish(inst, text)
    assert r.returncode == 0, out
    expected = xmltree(expected_apk)
    for platform in ("android", "oculusquest"):
        same(xmltree(package(inst, platform)), expected, platform)
    base = inst / "builds" / "mygame-googleplay-1.0" / "base"
    same(xmltree(base_module_as_binary_apk(base, tmp_path)), expected, "googleplay")
    return out


def activities(cases):
    return "".join('    <activity android:name=".C%d" %s="%s" />\n' % (i, a, v)
                   for i, (a, v) in enumerate(cases))


def metas(values):
    return "".join('    <meta-data android:name="m%d" android:value="%s" />\n' % (i, v)
                   for i, v in enumerate(values))


SPLITS = {}


def split_by_oracle(oracle, make):
    """The cases aapt2 accepts and those it refuses, each alone."""
    key = id(make[1])
    if key not in SPLITS:
        accepted, refused = [], []
        for case in make[1]:
            apk, _ = oracle(HEAD + make[0]([case]) + TAIL)
            (accepted if apk else refused).append(case)
        SPLITS[key] = accepted, refused
    return SPLITS[key]


CASES = [("attributes", activities, ATTRIBUTES), ("meta_values", metas, META_VALUES)]


@pytest.mark.parametrize("name,make,cases", CASES, ids=[c[0] for c in CASES])
def test_values_the_packager_accepts_mean_the_same(inst, oracle, tmp_path, name, make, cases):
    accepted, _ = split_by_oracle(oracle, (make, cases))
    assert accepted
    text = HEAD + make(accepted) + TAIL
    apk, out = oracle(text)
    assert apk, out
    agree(inst, tmp_path, text, apk)


def test_values_the_packager_refuses_are_refused(inst, oracle):
    make, cases = activities, ATTRIBUTES
    accepted, refused = split_by_oracle(oracle, (make, cases))
    assert refused
    by_platform = refused_everywhere(inst, HEAD + make(refused) + TAIL)
    first_line = HEAD.count("\n") + 1
    for platform, errors in by_platform.items():
        path = "'mygame/metadata/%s-manifest.xml'" % platform
        for i, case in enumerate(refused):
            attribute, value = case
            value = value.replace("&quot;", '"').replace("&#9;", "\t").replace("&#10;", "\n")
            line = "line %d:" % (first_line + i)
            hits = [e for e in errors if path in e and line in e and
                    ("'%s'" % attribute) in e and ("'%s'" % value) in e]
            assert len(hits) == 1, (platform, case, errors)


@pytest.mark.parametrize("name", sorted(SHAPES))
def test_engine_shapes_mean_the_same(inst, oracle, tmp_path, name):
    text = SHAPES[name].replace("{pkg}", PACKAGE)
    kept_unknown = "preferMinimalPostProcessing" in text
    # An attribute of a later API is the one thing the oracle refuses there.
    apk, out = oracle(text.replace('android:preferMinimalPostProcessing="true"', ""))
    assert apk, out
    if kept_unknown:
        r, out = publish(inst, text)
        assert r.returncode == 0, out
        text = text.replace('android:preferMinimalPostProcessing="true"', "")
    out = agree(inst, tmp_path, text, apk)
    assert "! " not in out


def test_kept_cases_build_with_their_warning(inst, oracle):
    for attribute, value, warning in KEPT:
        text = HEAD + activities([(attribute, value)]) + TAIL
        apk, _ = oracle(text)
        assert apk is None, (attribute, value)
        r, out = publish(inst, text)
        assert r.returncode == 0, out
        if warning:
            assert out.count(warning) == 3, (warning, out)
        tree = xmltree(package(inst, "android"))
        local = ":" + attribute.split(":")[1]
        shown = [l for l in tree if local + "(" in l or local + "=" in l]
        assert any(('="%s"' % value) in l for l in shown), tree


def test_dropped_escapes_are_warned_about(inst):
    r, out = publish(inst, HEAD + activities([("android:taskAffinity", "/level/.*\\.lvl"),
                                              ("android:taskAffinity", "x\\uZZ")]) + TAIL)
    assert r.returncode == 0, out
    for platform in PLATFORMS:
        path = "'mygame/metadata/%s-manifest.xml'" % platform
        assert ("WARNING: In %s, line 7: the value '/level/.*\\.lvl' of attribute "
                "'android:taskAffinity' holds the escape '\\.', which Android's packager reads "
                "as '.'" % path) in out, out
        assert ("WARNING: In %s, line 8: the value 'x\\uZZ' of attribute 'android:taskAffinity' "
                "holds \\u without a hexadecimal digit" % path) in out, out


STRUCTURE = [
    ("unbound_prefix", '<manifest package="%s" android:versionCode="1"><application/></manifest>',
     "the prefix 'android' of 'android:versionCode' is bound to no namespace"),
    ("prefix_case", '<manifest xmlns:android="http://schemas.android.com/apk/res/android" '
     'package="%s" Android:versionCode="1"><application/></manifest>',
     "the prefix 'Android' of 'Android:versionCode' is bound to no namespace"),
    ("element_prefix", '<manifest xmlns:android="http://schemas.android.com/apk/res/android" '
     'package="%s">\n<foo:application/></manifest>',
     "the prefix 'foo' of 'foo:application' is bound to no namespace"),
    ("duplicate", '<manifest xmlns:android="http://schemas.android.com/apk/res/android" '
     'package="%s" android:versionCode="1" android:versionCode="2"><application/></manifest>',
     "attribute 'android:versionCode' is given twice in one element"),
    ("duplicate_by_uri", '<manifest xmlns:android="http://schemas.android.com/apk/res/android" '
     'xmlns:a="http://schemas.android.com/apk/res/android" package="%s" android:versionCode="1" '
     'a:versionCode="2"><application/></manifest>',
     "attribute 'a:versionCode' is given twice in one element"),
    ("duplicate_plain", '<manifest xmlns:android="http://schemas.android.com/apk/res/android" '
     'package="%s" package="x.y"><application/></manifest>',
     "attribute 'package' is given twice in one element"),
    ("undeclared", '<manifest xmlns:android="http://schemas.android.com/apk/res/android" '
     'package="%s">\n<application xmlns:android=""/></manifest>',
     "the declaration 'xmlns:android' binds its prefix to no namespace"),
    ("version_code_blank", '<manifest xmlns:android="http://schemas.android.com/apk/res/android" '
     'package="%s" android:versionCode="42 "><application/></manifest>',
     "the value '42 ' of attribute 'android:versionCode' has a blank after the number"),
    ("version_code_float", '<manifest xmlns:android="http://schemas.android.com/apk/res/android" '
     'package="%s" android:versionCode="1.5"><application/></manifest>',
     "the value '1.5' of attribute 'android:versionCode' fits none of the formats it takes "
     "(integer)"),
]


@pytest.mark.parametrize("name,text,message", STRUCTURE, ids=[s[0] for s in STRUCTURE])
def test_structure_the_packager_refuses_is_refused(inst, oracle, name, text, message):
    text = text % PACKAGE
    apk, _ = oracle(text)
    assert apk is None
    by_platform = refused_everywhere(inst, text)
    line = 2 if name in ("element_prefix", "undeclared") else 1
    for platform, errors in by_platform.items():
        path = "'mygame/metadata/%s-manifest.xml'" % platform
        assert any(("In %s, line %d: " % (path, line)) in e and message in e
                   for e in errors), errors


def test_other_prefix_for_android_and_attributes_before_their_declaration(inst, oracle, tmp_path):
    text = ('<manifest android:versionCode="7" xmlns:android="http://schemas.android.com/apk/res/android"'
            ' xmlns:a="http://schemas.android.com/apk/res/android" package="%s">\n'
            '<application a:label="x" a:debuggable="true"/></manifest>' % PACKAGE)
    apk, out = oracle(text)
    assert apk, out
    agree(inst, tmp_path, text, apk)


def test_additions_file_is_named_with_its_own_line(inst):
    meta = inst / "mygame" / "metadata"
    try:
        (meta / "android-manifest-additions.xml").write_text(
            '<!-- extra -->\n    <activity android:name=".Extra"\n'
            '        android:screenOrientation="sideways" />\n')
        r, out = publish(inst, HEAD + "$ZEVRA_MANIFEST_ADDITIONS\n" + TAIL, ["android"])
        assert r.returncode != 0, out
        errors = [l for l in out.splitlines() if l.startswith("! ")]
        assert not package(inst, "android").exists()
        # The other platforms have no additions and build.
        r, out = publish(inst, HEAD + "$ZEVRA_MANIFEST_ADDITIONS\n" + TAIL,
                         ["oculusquest", "googleplay"])
        assert r.returncode == 0, out
    finally:
        (meta / "android-manifest-additions.xml").unlink()
    assert any("In 'mygame/metadata/android-manifest-additions.xml', line 3: the value 'sideways'"
               " of attribute 'android:screenOrientation' fits none of the formats it takes "
               "(enum (" in e for e in errors), errors


# Past what a pool string's short length holds (32,767), both in UTF-16
# units and in bytes of UTF-8: 32,768 units of one byte, and 35,000 units
# (70,000 bytes) of two- and four-byte characters.
LONG_STRINGS = ('    <meta-data android:name="long" android:value="%s" />\n'
                '    <activity android:name=".Long" android:label="%s" />\n'
                % ("y" * 32768, "\u00e9" * 25000 + "\U0001F600" * 5000))


@pytest.mark.parametrize("where", ["template", "additions"])
def test_long_strings_are_kept_whole(inst, oracle, tmp_path, where):
    """The packager and the bundle's converter write such strings in the
    pool's long form, so every platform builds them, whole."""
    text = HEAD + LONG_STRINGS + TAIL
    apk, out = oracle(text)
    assert apk, out
    expected = xmltree(apk)
    assert any(("\U0001F600" * 5000 + '"') in l for l in expected), "the oracle cut the label"
    meta = inst / "mygame" / "metadata"
    additions = [meta / ("%s-manifest-additions.xml" % p) for p in PLATFORMS]
    try:
        if where == "additions":
            for path in additions:
                path.write_text(LONG_STRINGS, encoding="utf-8")
            text = HEAD + "$ZEVRA_MANIFEST_ADDITIONS" + TAIL
        out = agree(inst, tmp_path, text, apk)
    finally:
        for path in additions:
            if path.exists():
                path.unlink()
    assert "! " not in out


def test_api26_flag_names_are_taken_beside_later_ones(inst):
    # aapt2's later framework lacks "ephemeral" (API 26's name for 0x1000).
    text = (HEAD.replace("<application", '<permission android:name="%s.P" '
                         'android:protectionLevel="signature|ephemeral" />\n'
                         '  <permission android:name="%s.Q" '
                         'android:protectionLevel="signature|instant" />\n  <application'
                         % (PACKAGE, PACKAGE)) + TAIL)
    r, out = publish(inst, text)
    assert r.returncode == 0, out
    tree = xmltree(package(inst, "android"))
    levels = [l.strip() for l in tree if "protectionLevel" in l]
    assert levels == ["A: android:protectionLevel(0x01010009)=(type 0x11)0x1002"] * 2, tree


def test_stub_template_is_named_when_the_game_has_none(inst):
    template = inst / STUBS / "android" / "BrindlecotManifest.xml"
    saved = template.read_text()
    lines = saved.splitlines(True)
    line = next(i for i, l in enumerate(lines) if 'android:screenOrientation="landscape"' in l)
    template.write_text(saved.replace('android:screenOrientation="landscape"',
                                      'android:screenOrientation="Landscape"'))
    for p in (inst / "mygame" / "metadata").glob("*-manifest*.xml"):
        p.unlink()
    try:
        r = run_publish(["--only-package", "--platforms=android", "mygame"], inst)
    finally:
        template.write_text(saved)
    out = r.stdout.decode("utf-8", "replace")
    assert r.returncode != 0, out
    assert ("In '.brindlecot/stubs/android/BrindlecotManifest.xml', line %d: the value "
            "'Landscape' of attribute 'android:screenOrientation'" % (line + 1)) in out, out
    assert not package(inst, "android").exists()
