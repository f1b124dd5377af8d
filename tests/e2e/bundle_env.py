"""Reading Android packages back with the platform's own tools: a manifest
through aapt dump xmltree, an app bundle's base module through aapt2
convert."""
import subprocess
import zipfile

ICON_PATHS = ["res/mipmap-%s-v4/ic_launcher.png" % d
              for d in ("mdpi", "hdpi", "xhdpi", "xxhdpi", "xxxhdpi")]


def base_module_as_binary_apk(base, out_dir):
    """The base module directory converted by aapt2 into a binary APK in
    out_dir; returns its path."""
    # A proto-format APK: the manifest and the table at the root, beside res/.
    proto_apk = out_dir / "proto.apk"
    with zipfile.ZipFile(proto_apk, "w") as z:
        z.write(base / "manifest" / "AndroidManifest.xml", "AndroidManifest.xml")
        z.write(base / "resources.pb", "resources.pb")
        for icon in ICON_PATHS:
            z.write(base / icon, icon)
    binary_apk = out_dir / "binary.apk"
    r = subprocess.run(["aapt2", "convert", "--output-format", "binary", "-o", str(binary_apk),
                        str(proto_apk)], capture_output=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return binary_apk


def run(args, timeout=120):
    """Exit status and the whole output, as text."""
    r = subprocess.run(args, capture_output=True, timeout=timeout)
    return r.returncode, (r.stdout + r.stderr).decode("utf-8", "replace")


def xmltree(apk):
    """The APK's manifest as aapt dump xmltree shows it, without the lines
    of the SDK that aapt and aapt2 add and the publisher does not."""
    code, out = run(["aapt", "dump", "xmltree", str(apk), "AndroidManifest.xml"])
    assert code == 0, out
    return [l for l in out.splitlines()
            if "compileSdkVersion" not in l and "platformBuildVersion" not in l]
