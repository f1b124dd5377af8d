"""The installation generator and the runtime stub it installs."""
import os
import pathlib
import stat
import subprocess
import zipfile

from PIL import Image

from conftest import BUILD_DIR, GENERATOR, RUNTIME_STUB, SOURCE_DIR, build_installation, stubs_dir

ZIP_TREE = BUILD_DIR / "tests" / "brindlecot-zip-tree"

DEFAULT_FILES = ("open-source-licenses.txt", "font.ttf", "brindlecot.png",
                 "brindlecot-controller.png", "console-logo.png")


def package(tmp_path, installation, game="mygame"):
    """What a desktop build makes: the stub with the zipped game appended."""
    result = subprocess.run([str(ZIP_TREE), str(installation), game, "game.zip", "1"],
                            capture_output=True, timeout=60)
    assert result.returncode == 0, result.stdout
    exe = tmp_path / "package"
    exe.write_bytes((stubs_dir(installation) / "linux-amd64").read_bytes()
                    + (installation / "game.zip").read_bytes())
    exe.chmod(0o755)
    return exe


def test_installation_has_every_stub_and_default_file(tmp_path):
    inst = build_installation(tmp_path / "inst")
    stubs = stubs_dir(inst)
    expected = {"linux-amd64", "linux-raspberrypi", "macos", "html5", "ios-device"}
    if (SOURCE_DIR / "tools" / "pe_stub.py").exists():
        expected.add("windows-amd64")
    assert expected <= set(os.listdir(stubs))

    runtime = RUNTIME_STUB.read_bytes()
    for name in ("linux-amd64", "linux-raspberrypi"):
        assert (stubs / name).read_bytes() == runtime
        assert os.stat(stubs / name).st_mode & stat.S_IXUSR
    macos = (stubs / "macos").read_bytes()
    assert bytes(b ^ 0xFF for b in macos[:4]) == runtime[:4]
    assert macos[4:] == runtime[4:]

    assert (stubs / "html5" / "stub" / "index.html").read_text().count(
        "brindlecot-html5-loader.js") == 1
    assert "GBrindlecotGameTitle" in (stubs / "html5" / "brindlecot-html5-loader.js").read_text()

    for name in DEFAULT_FILES:
        assert (inst / name).is_file(), name
    for name in ("brindlecot.png", "brindlecot-controller.png", "console-logo.png"):
        with Image.open(inst / name) as image:
            assert image.format == "PNG"


def test_demo_game_has_metadata_icon_and_native_code(tmp_path):
    game = build_installation(tmp_path / "inst") / "mygame"
    metadata = dict(line.split("=", 1) for line in
                    (game / "metadata" / "game_metadata.txt").read_text().splitlines()
                    if "=" in line)
    assert {"devid", "devtitle", "gameid", "gametitle", "version"} <= set(metadata)
    assert metadata["gameid"] == "mygame"
    with Image.open(game / metadata.get("icon", "metadata/icon.png")) as icon:
        icon.verify()
        assert icon.format == "PNG"
    nested = [p for p in game.rglob("*") if p.is_file() and len(p.relative_to(game).parts) >= 3]
    assert nested
    assert {p.name for p in (game / "native").iterdir()} >= {"linux-amd64", "windows-amd64",
                                                            "macos"}


def test_without_game_only_the_installation_is_written(tmp_path):
    inst = build_installation(tmp_path / "inst", with_game=False)
    assert not (inst / "mygame").exists()
    assert (stubs_dir(inst) / "linux-amd64").is_file()


def test_generator_without_a_built_stub_says_so(tmp_path):
    result = subprocess.run(["/usr/bin/python3", str(GENERATOR), "--runtime-stub",
                             str(tmp_path / "missing"), str(tmp_path / "inst")],
                            capture_output=True, timeout=60)
    assert result.returncode == 1
    assert b"brindlecot-runtime-stub" in result.stderr


def test_runtime_stub_lists_and_prints_its_appended_game(tmp_path):
    inst = build_installation(tmp_path / "inst")
    exe = package(tmp_path, inst)

    listing = subprocess.run([str(exe)], capture_output=True, timeout=30)
    assert listing.returncode == 0, listing.stderr
    entries = set(listing.stdout.decode().splitlines())
    assert {"metadata/", "metadata/game_metadata.txt", "metadata/icon.png",
            "data/levels/bonus/level2.txt", "native/linux-amd64/libdemo.so"} <= entries
    assert "data/.DS_Store" not in entries
    # PhysicsFS and python's zipfile agree on what the package holds.
    with zipfile.ZipFile(exe) as z:
        assert set(z.namelist()) == entries

    shown = subprocess.run([str(exe), "--cat", "metadata/game_metadata.txt"],
                           capture_output=True, timeout=30)
    assert shown.returncode == 0
    assert shown.stdout == (inst / "mygame" / "metadata" / "game_metadata.txt").read_bytes()

    missing = subprocess.run([str(exe), "--cat", "no/such/file"], capture_output=True, timeout=30)
    assert missing.returncode == 1


def test_runtime_stub_without_an_archive_fails(tmp_path):
    result = subprocess.run([str(RUNTIME_STUB)], capture_output=True, timeout=30)
    assert result.returncode == 1
    assert b"no game archive" in result.stderr
