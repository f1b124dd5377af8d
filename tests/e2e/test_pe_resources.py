"""The Windows runtime stub of tools/pe_stub.py, and Windows packages built
by the real publisher from it, read back with wrestool, pefile and zipfile."""
import datetime
import importlib
import io
import os
import subprocess
import sys
import zipfile

import pefile
import pytest

from conftest import SOURCE_DIR as SOURCE, STUBS, build_installation
from publish_env import lines, run_publish, texts

sys.path.insert(0, os.path.join(str(SOURCE), "tools"))
pe_stub = importlib.import_module("pe_stub")

PACKAGE = os.path.join("builds", "mygame-windows-amd64.exe")
DEV = "Équipe Brindlecot ☕"
TITLE = "Légende 𝄞 des Glaces"


def wrestool_list(path):
    r = subprocess.run(["wrestool", "-l", str(path)], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    out = {}
    for line in r.stdout.splitlines():
        fields = dict(f.split("=", 1) for f in line.replace("[", "").replace("]", "").split()
                      if "=" in f)
        key = (fields["--type"], fields["--name"].strip("'"), fields["--language"])
        out[key] = int(fields["size"])
    return out


@pytest.mark.parametrize("pe32", [False, True])
def test_stub_lists_its_resources(tmp_path, pe32):
    path = tmp_path / "stub.exe"
    path.write_bytes(pe_stub.make_pe_stub(pe32=pe32))
    assert wrestool_list(path) == {
        ("3", "1", "1033"): 70,
        ("10", "300", "1033"): 131072,
        ("14", "MAINICON", "1033"): 20,
        ("16", "1", "1033"): 92,
    }
    pe = pefile.PE(str(path))
    assert pe.OPTIONAL_HEADER.Magic == (0x10B if pe32 else 0x20B)
    assert [s.Name.rstrip(b"\0") for s in pe.sections] == [b".rsrc"]
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                assert lang.data.struct.OffsetToData % 4 == 0
    scratch = pe.get_offset_from_rva(
        [t for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if t.id == 10][0]
        .directory.entries[0].directory.entries[0].data.struct.OffsetToData)
    assert pe.__data__[scratch:scratch + 131072] == b"\0" * 131072


def test_stub_command_line_and_variants(tmp_path):
    out = tmp_path / "cli.exe"
    subprocess.run(["/usr/bin/python3", os.path.join(SOURCE, "tools", "pe_stub.py"), str(out),
                    "--scratch-size", "4096"], check=True)
    assert wrestool_list(out)[("10", "300", "1033")] == 4096
    assert pe_stub.make_pe_stub() == pe_stub.make_pe_stub()  # no clock, no randomness
    numeric = tmp_path / "numeric.exe"
    numeric.write_bytes(pe_stub.make_pe_stub("numeric-icon-group"))
    assert ("14", "7", "1033") in wrestool_list(numeric)
    with pytest.raises(ValueError):
        pe_stub.make_pe_stub("no-such-variant")


@pytest.fixture
def inst(tmp_path):
    inst = build_installation(tmp_path / "inst", keep_stubs=["windows-amd64"])
    meta = inst / "mygame" / "metadata" / "game_metadata.txt"
    text = meta.read_text(encoding="utf-8")
    text = text.replace("devtitle=Brindlecot Demo Team", "devtitle=" + DEV)
    text = text.replace("gametitle=My Demo Game", "gametitle=" + TITLE)
    text = text.replace("version=1.0", "version=2.5.7.9")
    meta.write_text(text, encoding="utf-8")
    return inst


def version_strings(pe):
    """The version strings, decoded from the file's UTF-16 by Python (pefile's
    own values split characters outside the BMP into two escapes)."""
    out = {}
    for group in pe.FileInfo:
        for info in group:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    assert table.LangID == b"040904E4"
                    for key in table.entries:
                        at = table.entries_offsets[key][1]
                        end = at
                        while pe.__data__[end:end + 2] != b"\0\0":
                            end += 2
                        out[key.decode()] = pe.__data__[at:end].decode("utf-16-le")
    return out


def test_windows_package(inst):
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 0, lines(r)
    stub = (inst / STUBS / "windows-amd64").read_bytes()
    ico = (inst / ".brindlecot" / "mygame.ico").read_bytes()
    package = inst / PACKAGE
    data = package.read_bytes()
    assert "Updating Windows .exe resources..." in texts(r, "- ")

    listed = wrestool_list(package)
    assert listed[("14", "MAINICON", "1033")] == 20
    assert listed[("3", "1", "1033")] == len(ico) - 22
    v = len(ico) + 2 - (len(ico) - 22) % 4
    used = v + listed[("16", "1", "1033")]
    assert listed[("10", "300", "1033")] == 131072 - used
    assert "Used %d bytes of resource scratch space out of 131072" % used in texts(r, "- ")

    # The icon group and icon rebuild the build's .ico (wrestool ends every
    # icon it rebuilds with 20 zero bytes, the unpatched stub's too).
    rebuilt = subprocess.run(["wrestool", "-x", "-t14", str(package)], check=True,
                             capture_output=True).stdout
    assert rebuilt == ico + b"\0" * 20

    pe = pefile.PE(str(package))
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (0x00020005, 0x00070009)
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x00020005, 0x00070009)
    year = datetime.datetime.now().year
    assert version_strings(pe) == {
        "CompanyName": DEV,
        "FileDescription": TITLE,
        "FileVersion": "2.5.7.9",
        "InternalName": "mygame",
        "LegalCopyright": "Copyright (C) %d %s" % (year, DEV),
        "OriginalFilename": "mygame-windows-amd64.exe",
        "ProductName": TITLE,
        "ProductVersion": "2.5.7.9",
    }
    translation = [var.entry for group in pe.FileInfo for info in group
                   if info.Key == b"VarFileInfo" for var in info.Var]
    assert translation == [{b"Translation": "0x0409 0x04e4"}]

    # The stub keeps its length; the game's zip follows it.
    assert len(data) > len(stub)
    archive = zipfile.ZipFile(io.BytesIO(data[len(stub):]))
    assert archive.testzip() is None
    assert "app/main.rb" in archive.namelist()
    assert zipfile.ZipFile(str(package)).testzip() is None


BROKEN = [
    ("not-pe", 131072, "File 'builds/mygame-windows-amd64.exe' is not a Windows .exe"),
    ("no-resource-table", 131072,
     "File 'builds/mygame-windows-amd64.exe' doesn't have a resource table"),
    ("no-resource-section", 131072,
     "File 'builds/mygame-windows-amd64.exe' doesn't have a section for resource table"),
    ("numeric-icon-group", 131072, "Couldn't find application icon group resource"),
    ("good", 2048, "Needed "),
    ("scratch-outside", 131072, "File 'builds/mygame-windows-amd64.exe' has resource "
                                "scratch space outside its resource section"),
    ("bad-dir-offset", 131072,
     "File 'builds/mygame-windows-amd64.exe' has a malformed resource directory"),
]


@pytest.mark.parametrize("variant,scratch,message", BROKEN, ids=[b[0] + str(b[1]) for b in BROKEN])
def test_broken_stub_fails_and_deletes_package(inst, variant, scratch, message):
    (inst / STUBS / "windows-amd64").write_bytes(pe_stub.make_pe_stub(variant, scratch))
    r = run_publish(["--only-package", "mygame"], inst)
    assert r.returncode == 1
    errors = texts(r, "! ")
    assert any(e.startswith(message) for e in errors), errors
    assert not (inst / PACKAGE).exists()
