#!/usr/bin/python3
"""Writes a complete installation directory and, beside its stubs, a demo game.

    /usr/bin/python3 tools/make_installation.py [--build-dir DIR]
        [--runtime-stub FILE] [--no-game] DEST

DEST gets:
  .brindlecot/stubs/<platform>   one entry per platform (see STUBS below)
  the five default files          copied into every staged game
  mygame/                         the demo game (unless --no-game)

DEST may hold an earlier installation: each of these entries is replaced
whole (a stale file inside a stub tree goes with it), and everything else
in DEST stays as it is: other games, builds, logs, other stub entries.

The desktop stubs are this project's runtime stub program (the CMake target
brindlecot-runtime-stub, found under --build-dir, default "build" beside
tools/, or given with --runtime-stub). The publisher is run with DEST as its
current directory.

Every stub is written: the desktop ones, android, oculusquest and
googleplay. The Android stubs' bytes, and the layout of the resources blob,
are in tools/android_stub.py. There is no --android option any more
(every stub is always written): a command line that gives it is refused.

Each stub is written by one function taking the stubs directory and the
options; add a platform by writing its function and listing it in STUBS.
"""

import argparse
import importlib
import io
import os
import shutil
import sys
import tempfile

from PIL import Image, ImageDraw

TOOLS_DIR = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(TOOLS_DIR)

DEFAULT_FILES = (
    "open-source-licenses.txt",
    "font.ttf",
    "brindlecot.png",
    "brindlecot-controller.png",
    "console-logo.png",
)


def write_file(path, data, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(path, "wb") as f:
        f.write(data)
    if mode is not None:
        os.chmod(path, mode)


def png_bytes(size, colour, accent):
    """A real PNG: a filled square with a diagonal band, so scaling shows."""
    image = Image.new("RGBA", (size, size), colour)
    draw = ImageDraw.Draw(image)
    band = max(1, size // 8)
    draw.polygon([(0, 0), (band, 0), (size, size - band), (size, size),
                  (size - band, size), (0, band)], fill=accent)
    out = io.BytesIO()
    image.save(out, format="PNG")
    return out.getvalue()


def runtime_stub_bytes(options):
    with open(options.runtime_stub, "rb") as f:
        return f.read()


# --- stubs -----------------------------------------------------------------

def stub_linux_amd64(stubs, options):
    write_file(os.path.join(stubs, "linux-amd64"), runtime_stub_bytes(options), 0o755)


def stub_linux_raspberrypi(stubs, options):
    # The same program: tests run it here, where there is no Arm runtime.
    write_file(os.path.join(stubs, "linux-raspberrypi"), runtime_stub_bytes(options), 0o755)


def stub_macos(stubs, options):
    # Stored with its first four bytes complemented; the macOS build flips
    # them back when it puts the executable into the bundle.
    data = bytearray(runtime_stub_bytes(options))
    for i in range(min(4, len(data))):
        data[i] ^= 0xFF
    write_file(os.path.join(stubs, "macos"), bytes(data), 0o644)


def stub_ios_device(stubs, options):
    # Recorded and skipped by the publisher; its content does not matter.
    write_file(os.path.join(stubs, "ios-device"), "ios-device runtime placeholder\n")


HTML5_INDEX = """<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<title>Loading...</title>
<link rel="icon" href="favicon.png">
</head>
<body>
<div id="status">Loading...</div>
<pre id="loader-vars"></pre>
<script src="brindlecot-html5-loader.js"></script>
</body>
</html>
"""

# Follows the header the HTML5 build writes (the GBrindlecot* variables).
HTML5_LOADER_BODY = """// Runtime loader: shows the game's identity and what its manifest lists.
(function () {
    function show(text) {
        var el = document.getElementById('status');
        if (el) {
            el.textContent = text;
        }
    }
    document.title = GBrindlecotGameTitle;
    // The header's values as the page sees them, for checking a build.
    var vars = document.getElementById('loader-vars');
    if (vars) {
        vars.textContent = JSON.stringify({
            gameid: GBrindlecotGameId, gametitle: GBrindlecotGameTitle,
            devtitle: GBrindlecotDevTitle, version: GBrindlecotGameVersion,
            icon: GBrindlecotIcon
        });
    }
    fetch('manifest.json')
        .then(function (response) { return response.json(); })
        .then(function (manifest) {
            var files = Object.keys(manifest).filter(function (k) { return k !== ''; });
            show(GBrindlecotGameTitle + ' ' + GBrindlecotGameVersion + ' by ' +
                 GBrindlecotDevTitle + ': ' + files.length + ' files');
        })
        .catch(function (error) { show('Loading failed: ' + error); });
})();
"""


def stub_html5(stubs, options):
    root = os.path.join(stubs, "html5")
    write_file(os.path.join(root, "stub", "index.html"), HTML5_INDEX)
    write_file(os.path.join(root, "brindlecot-html5-loader.js"), HTML5_LOADER_BODY)


def load_pe_builder():
    """make_pe_stub of tools/pe_stub.py (the PE32+ image with the resources
    the Windows build patches), or None while that module is absent."""
    if not os.path.exists(os.path.join(TOOLS_DIR, "pe_stub.py")):
        return None
    if TOOLS_DIR not in sys.path:
        sys.path.insert(0, TOOLS_DIR)
    return importlib.import_module("pe_stub").make_pe_stub


def stub_windows_amd64(stubs, options):
    builder = load_pe_builder()
    if builder is None:
        return
    write_file(os.path.join(stubs, "windows-amd64"), builder(), 0o755)


def load_android_stub():
    """tools/android_stub.py: the dex, native library, resources blob and
    manifest template of the Android stubs."""
    if TOOLS_DIR not in sys.path:
        sys.path.insert(0, TOOLS_DIR)
    return importlib.import_module("android_stub")


def write_android_stub(root, dex_dir):
    """A runtime tree (root/stub) with the SDLActivity class in dex_dir of it
    and the native library, and the manifest template beside the tree."""
    android = load_android_stub()
    stub = os.path.join(root, "stub")
    write_file(os.path.join(stub, dex_dir, "classes.dex"), android.make_sdl_activity_dex())
    write_file(os.path.join(stub, "lib", "armeabi-v7a", "libmain.so"),
               android.make_native_library())
    write_file(os.path.join(root, "BrindlecotManifest.xml"), android.MANIFEST_TEMPLATE)


def stub_android(stubs, options):
    root = os.path.join(stubs, "android")
    write_android_stub(root, "")
    # The Oculus Quest build takes its resource table's tail from here too.
    write_file(os.path.join(root, "BrindlecotResourcesBlob.bin"),
               load_android_stub().make_resources_blob())


def stub_oculusquest(stubs, options):
    write_android_stub(os.path.join(stubs, "oculusquest"), "")


def stub_googleplay(stubs, options):
    # The stub tree is the bundle's base module, whose code lives in dex/
    # (where the publisher adds classes2.dex).
    write_android_stub(os.path.join(stubs, "googleplay"), "dex")


# Platform entries in the order they are written.
STUBS = [
    ("linux-amd64", stub_linux_amd64),
    ("linux-raspberrypi", stub_linux_raspberrypi),
    ("windows-amd64", stub_windows_amd64),
    ("macos", stub_macos),
    ("html5", stub_html5),
    ("ios-device", stub_ios_device),
    ("android", stub_android),
    ("oculusquest", stub_oculusquest),
    ("googleplay", stub_googleplay),
]

# --- default files -----------------------------------------------------------

def write_default_files(dest):
    write_file(os.path.join(dest, "open-source-licenses.txt"),
               "Licenses of the open source software in this runtime.\n\n"
               "SDL2, PhysicsFS and zlib are distributed under the zlib license.\n")
    # Opaque to the publisher: only copied. A TrueType version tag and a
    # zero table count keep it recognisable as a font file.
    write_file(os.path.join(dest, "font.ttf"), b"\x00\x01\x00\x00" + b"\x00" * 8)
    write_file(os.path.join(dest, "brindlecot.png"), png_bytes(64, (40, 40, 60, 255), (230, 180, 40, 255)))
    write_file(os.path.join(dest, "brindlecot-controller.png"), png_bytes(32, (20, 60, 20, 255), (200, 200, 200, 255)))
    write_file(os.path.join(dest, "console-logo.png"), png_bytes(48, (0, 0, 0, 255), (255, 255, 255, 255)))


# --- demo game -------------------------------------------------------------------

GAME_METADATA = """# The demo game's description.
devid=brindlecot-demo
devtitle=Brindlecot Demo Team
gameid=mygame
gametitle=My Demo Game
version=1.0
icon=metadata/icon.png
packageid=org.brindlecot_demo.mygame
"""

GAME_MAIN = """def tick args
  args.outputs.labels << [640, 360, "Hello from the demo game", 5, 1]
end
"""


def write_demo_game(dest):
    game = os.path.join(dest, "mygame")
    write_file(os.path.join(game, "metadata", "game_metadata.txt"), GAME_METADATA)
    write_file(os.path.join(game, "metadata", "icon.png"),
               png_bytes(512, (30, 90, 160, 255), (250, 250, 250, 255)))
    write_file(os.path.join(game, "app", "main.rb"), GAME_MAIN)
    write_file(os.path.join(game, "data", "levels", "level1.txt"), "#####\n#@..#\n#####\n")
    write_file(os.path.join(game, "data", "levels", "bonus", "level2.txt"), "###\n#@#\n###\n")
    write_file(os.path.join(game, "data", "empty.txt"), b"")
    write_file(os.path.join(game, "data", ".DS_Store"), b"\x00\x00\x00\x01Bud1")
    os.makedirs(os.path.join(game, "saves"), exist_ok=True)
    natives = {
        "linux-amd64": "libdemo.so",
        "linux-raspberrypi": "libdemo.so",
        "windows-amd64": "demo.dll",
        "macos": "libdemo.dylib",
        "android-arm64-v8a": "libdemo.so",
        "android-armeabi-v7a": "libdemo.so",
    }
    for platform, name in natives.items():
        write_file(os.path.join(game, "native", platform, name),
                   "native code for %s\n" % platform)


# --- driver ----------------------------------------------------------------------

def put_in_place(fresh, final):
    """Moves the freshly written entry fresh over final, whatever final was
    (a file, a tree, a symbolic link: the link itself goes, never what it
    points to). Nothing written for it leaves final as it was."""
    if not os.path.lexists(fresh):
        return
    if os.path.isdir(final) and not os.path.islink(final):
        shutil.rmtree(final)
    elif os.path.lexists(final):
        os.unlink(final)
    os.rename(fresh, final)


def make_installation(dest, runtime_stub, with_game=True):
    """Writes the installation into dest, over an earlier one; returns dest."""
    options = argparse.Namespace(runtime_stub=runtime_stub)
    stubs = os.path.join(dest, ".brindlecot", "stubs")
    os.makedirs(stubs, exist_ok=True)
    # Everything is written whole in a scratch directory inside dest (the
    # same file system, so each entry moves into place with one rename).
    with tempfile.TemporaryDirectory(prefix=".make-installation-", dir=dest) as fresh:
        fresh_stubs = os.path.join(fresh, "stubs")
        for _name, writer in STUBS:
            writer(fresh_stubs, options)
        write_default_files(fresh)
        if with_game:
            write_demo_game(fresh)
        for name, _writer in STUBS:
            put_in_place(os.path.join(fresh_stubs, name), os.path.join(stubs, name))
        entries = DEFAULT_FILES + (("mygame",) if with_game else ())
        for name in entries:
            put_in_place(os.path.join(fresh, name), os.path.join(dest, name))
    return dest


def main(argv):
    parser = argparse.ArgumentParser(description="Write an installation directory and a demo game.")
    parser.add_argument("dest", help="directory to write (created if missing; an earlier installation in it is updated)")
    parser.add_argument("--build-dir", default=os.path.join(SOURCE_DIR, "build"),
                        help="CMake build directory holding tools/brindlecot-runtime-stub")
    parser.add_argument("--runtime-stub", help="the runtime stub program (overrides --build-dir)")
    parser.add_argument("--no-game", action="store_true", help="leave out the demo game")
    args = parser.parse_args(argv)
    runtime_stub = args.runtime_stub or os.path.join(args.build_dir, "tools", "brindlecot-runtime-stub")
    if not os.path.isfile(runtime_stub):
        sys.stderr.write("runtime stub '%s' not found: build the target brindlecot-runtime-stub first\n"
                         % runtime_stub)
        return 1
    make_installation(args.dest, runtime_stub, not args.no_game)
    print("Installation written to %s" % args.dest)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
