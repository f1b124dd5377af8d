"""Archives of the publisher's zip writer, read back by real zip readers."""
import os
import pathlib
import struct
import subprocess
import zipfile

import pytest

from conftest import BUILD_DIR

ZIP_TREE = BUILD_DIR / "tests" / "brindlecot-zip-tree"

UTF8_NAME = "caf\u00e9 \u00fcber \u65e5\u672c.txt"


def zip_tree(base, root, zip_path="out.zip", directories=1):
    """Runs the writer on base/root, writing base/zip_path."""
    return subprocess.run([str(ZIP_TREE), str(base), root, zip_path, str(directories)],
                          capture_output=True, timeout=120)


def write(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


@pytest.fixture
def tree(tmp_path):
    """A game-like tree; returns the files (relative name -> bytes) an
    archive of it must hold."""
    root = tmp_path / "tree"
    files = {
        "a.txt": b"alpha\n",
        "empty.bin": b"",
        "sub/b.txt": b"beta " * 1000,
        "sub/deep/deeper/c.dat": bytes(range(256)) * 10,
        "big/random.bin": os.urandom(9 * 1024 * 1024),
        "sub/" + UTF8_NAME: "unicode content \u2603".encode(),
        "A.app/Contents/MacOS/x": b"\x7fELF runtime",
        "A.app/Contents/Info.plist": b"<plist/>",
    }
    for name, data in files.items():
        write(root / name, data)
    (root / "emptydir").mkdir()
    write(root / "sub" / "deep" / ".DS_Store", b"ds")
    write(root / ".DS_Store", b"ds")
    write(root / "sub" / ".git" / "HEAD", b"ref: refs/heads/main\n")
    write(root / "big" / "__MACOSX" / "junk", b"junk")
    return files


def local_data_offsets(data, infos):
    """Where each entry's data starts, from its own local header."""
    offsets = {}
    for info in infos:
        at = info.header_offset
        signature, = struct.unpack_from("<I", data, at)
        assert signature == 0x04034B50
        name_length, extra_length = struct.unpack_from("<HH", data, at + 26)
        assert 1 <= extra_length <= 4
        offsets[info.filename] = at + 30 + name_length + extra_length
    return offsets


def test_tree_reads_back_in_every_reader(tmp_path, tree):
    result = zip_tree(tmp_path, "tree")
    assert result.returncode == 0, result.stdout
    archive = tmp_path / "out.zip"

    test = subprocess.run(["unzip", "-t", str(archive)], capture_output=True)
    assert test.returncode == 0, test.stdout
    assert b"No errors detected" in test.stdout

    with zipfile.ZipFile(archive) as z:
        assert z.testzip() is None
        infos = z.infolist()
        names = [i.filename for i in infos]
        for name, data in tree.items():
            assert z.read(name) == data, name
        files = {i.filename for i in infos if not i.is_dir()}
        assert files == set(tree)
        dirs = {i.filename for i in infos if i.is_dir()}
        assert dirs == {"sub/", "sub/deep/", "sub/deep/deeper/", "big/", "emptydir/",
                        "A.app/", "A.app/Contents/", "A.app/Contents/MacOS/"}
        for i in infos:
            assert i.compress_type == (zipfile.ZIP_STORED if i.is_dir() else zipfile.ZIP_DEFLATED)
        big = z.getinfo("big/random.bin")
        assert big.compress_size > big.file_size

    # Every entry's directory comes before it.
    for index, name in enumerate(names):
        parent = name.rstrip("/").rpartition("/")[0]
        if parent:
            assert names.index(parent + "/") < index, name

    for excluded in (".DS_Store", ".git", "__MACOSX"):
        assert not any(excluded in n.split("/") for n in names)

    offsets = local_data_offsets(archive.read_bytes(), infos)
    assert all(offset % 4 == 0 for offset in offsets.values()), offsets


def test_zipinfo_shows_the_bundle_executable_as_executable(tmp_path, tree):
    assert zip_tree(tmp_path, "tree").returncode == 0
    listing = subprocess.run(["zipinfo", str(tmp_path / "out.zip")],
                             capture_output=True, check=True).stdout.decode()
    modes = {line.split()[-1]: line.split()[0] for line in listing.splitlines()
             if line[:1] in "-d" and len(line.split()) >= 9}
    assert modes["A.app/Contents/MacOS/x"] == "-rwxr-xr-x"
    assert modes["A.app/Contents/Info.plist"] == "-rw-r--r--"
    assert modes["A.app/Contents/MacOS/"] == "drwxr-xr-x"
    assert modes["a.txt"] == "-rw-r--r--"


def test_utf8_name_is_flagged_and_decoded(tmp_path, tree):
    assert zip_tree(tmp_path, "tree").returncode == 0
    with zipfile.ZipFile(tmp_path / "out.zip") as z:
        info = z.getinfo("sub/" + UTF8_NAME)
        assert info.flag_bits & 0x800
        assert not z.getinfo("a.txt").flag_bits & 0x800
    out = tmp_path / "unpacked"
    subprocess.run(["unzip", "-q", str(tmp_path / "out.zip"), "-d", str(out)], check=True,
                   env=dict(os.environ, LC_ALL="C.UTF-8"))
    assert (out / "sub" / UTF8_NAME).read_bytes() == tree["sub/" + UTF8_NAME]


def test_without_directory_entries_only_files_are_listed(tmp_path, tree):
    assert zip_tree(tmp_path, "tree", directories=0).returncode == 0
    with zipfile.ZipFile(tmp_path / "out.zip") as z:
        assert z.testzip() is None
        assert set(z.namelist()) == set(tree)


def test_empty_root_gives_the_22_byte_archive(tmp_path):
    (tmp_path / "empty").mkdir()
    result = zip_tree(tmp_path, "empty")
    assert result.returncode == 0
    data = (tmp_path / "out.zip").read_bytes()
    assert data == b"PK\x05\x06" + bytes(18)
    with zipfile.ZipFile(tmp_path / "out.zip") as z:
        assert z.namelist() == []


def test_missing_root_fails_and_names_it(tmp_path):
    result = zip_tree(tmp_path, "no-such-dir")
    assert result.returncode == 1
    assert b"Failed to stat 'no-such-dir'" in result.stdout
    assert not (tmp_path / "out.zip").exists()
