"""The shipped armhf libscanstrip.so, read with binutils' own readers.

The library's behaviour is checked by the test host (tests/ext); this file
checks what the engine's loader on the target sees: the machine, the
architecture and float ABI it was built for, its dependencies, its name and
its exports. It also makes sure the armhf host really is Arm code, so the
emulated run checks what it claims to.
"""
import os
import re
import subprocess

import pytest

from conftest import BUILD_DIR

BUILD = str(BUILD_DIR)
LIB = os.path.join(BUILD, "samples", "native_extension", "armhf", "libscanstrip.so")
HOST = os.path.join(BUILD, "tests", "ext", "armhf", "scanstrip_host")


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=60).stdout


def header_field(path, name):
    m = re.search(r"^\s*%s:\s*(.+?)\s*$" % re.escape(name), run("readelf", "-h", path), re.M)
    assert m, "readelf -h shows no %s for %s" % (name, path)
    return m.group(1)


@pytest.mark.parametrize("path", [LIB, HOST], ids=["library", "host"])
def test_is_32_bit_arm_hard_float(path):
    assert header_field(path, "Class") == "ELF32"
    assert header_field(path, "Machine") == "ARM"
    assert "hard-float ABI" in header_field(path, "Flags")


def test_library_is_a_shared_object():
    assert header_field(LIB, "Type").startswith("DYN")


@pytest.mark.parametrize("tag, value", [
    ("Tag_CPU_arch", "v6"),
    ("Tag_ARM_ISA_use", "Yes"),
    ("Tag_FP_arch", "VFPv2"),
    ("Tag_ABI_VFP_args", "VFP registers"),
])
def test_library_arm_attributes(tag, value):
    attrs = dict(re.findall(r"^\s*(Tag_\w+):\s*(.+?)\s*$", run("readelf", "-A", LIB), re.M))
    assert attrs.get(tag) == value, attrs


def test_library_needs_only_libc_and_names_itself():
    dynamic = run("readelf", "-d", LIB)
    assert re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic) == ["libc.so.6"]
    assert re.findall(r"\(SONAME\)\s+Library soname: \[(.+?)\]", dynamic) == ["libscanstrip.so"]


def test_library_exports_exactly_the_two_functions():
    defined = [line.split() for line in run("nm", "-D", "--defined-only", LIB).splitlines()]
    assert sorted((f[1], f[2]) for f in defined) == [
        ("T", "kiln_register_c_extensions_with_api"),
        ("T", "update_scanner_texture"),
    ]


def test_library_has_no_undefined_symbols():
    assert run("nm", "-D", "--undefined-only", LIB).strip() == ""
