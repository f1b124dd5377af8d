#!/usr/bin/python3
"""The installation's Windows runtime stub, built byte by byte.

A PE32+ image (PE32 on request) with no code and one resource section that
holds, in language 1033: a named icon group "MAINICON" of 20 bytes, icon 1
(a 1x1 PNG), version 1 (a version block without strings) and RCDATA 300,
the zero-filled scratch space that the publisher writes the game's icon and
version into. The scratch data is placed last in the section; every
resource's data starts on a multiple of 4.

Variants break one thing each, for the publisher's tests of broken stubs.

    make_pe_stub(variant="good", scratch_size=131072, pe32=False) -> bytes

Command line: pe_stub.py OUT [--variant NAME] [--scratch-size N] [--pe32]
"""

import struct
import sys
import zlib

RT_ICON = 3
RT_RCDATA = 10
RT_GROUP_ICON = 14
RT_VERSION = 16
LANG_EN_US = 1033
SCRATCH_ID = 300
SCRATCH_SIZE = 131072

FILE_ALIGN = 0x200
SECTION_ALIGN = 0x1000
RSRC_RVA = 0x1000
RSRC_FILE_OFFSET = 0x200
E_LFANEW = 0x40

VARIANTS = (
    "good",
    "not-pe",              # "MZ" header, but no PE signature at e_lfanew
    "truncated",           # e_lfanew points past the end of the file
    "no-optional-header",  # SizeOfOptionalHeader 0
    "bad-magic",           # optional header magic neither PE32 nor PE32+
    "no-resource-table",   # data directory 2 empty
    "no-resource-section", # resource RVA lies in no section
    "small-raw-size",      # SizeOfRawData < table, VirtualSize covers it
    "few-data-dirs",       # NumberOfRvaAndSizes 3: the section table still
                           # follows the declared optional header
    "numeric-icon-group",  # the only icon group has an id, not a name
    "no-icon",             # icon 1 missing (icon id 2 instead)
    "no-version",          # version 1 missing
    "no-scratch",          # RCDATA 300 missing
    "scratch-outside",     # scratch data entry's RVA beyond the section
    "bad-dir-offset",      # a subdirectory offset past the resource table
    "huge-entry-count",    # a directory claims 65535 id entries
    "entry-in-scratch",    # version data entry placed inside the scratch
)


def _png_1x1():
    """A 1x1 opaque RGBA PNG: the stub's own (placeholder) icon."""
    def chunk(kind, data):
        crc = zlib.crc32(kind + data) & 0xFFFFFFFF
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)
    ihdr = struct.pack(">IIBBBBB", 1, 1, 8, 6, 0, 0, 0)
    idat = zlib.compress(b"\x00\x20\x40\x80\xff")
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", idat)
            + chunk(b"IEND", b""))


def _utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


def _pad4(data):
    return data + b"\0" * (-len(data) % 4)


def _version_block():
    """VS_VERSIONINFO with its fixed part (version 1.0.0.0) and no children."""
    key = _utf16z("VS_VERSION_INFO")
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x00010000, 0x00010000, 0,
                        0x00010000, 0, 0x3F, 0, 0x40004, 1, 0, 0, 0)
    body = struct.pack("<HHH", 0, len(fixed), 0) + key
    body = _pad4(body) + fixed
    return struct.pack("<H", len(body)) + body[2:]


def _icon_group(icon_size):
    return struct.pack("<HHH", 0, 1, 1) + struct.pack(
        "<BBBBHHIH", 1, 1, 0, 0, 1, 32, icon_size, 1)


def _resources(variant, scratch_size):
    """(type, name or id, language, data) in data order; scratch last."""
    icon = _png_1x1()
    group_name = 7 if variant == "numeric-icon-group" else "MAINICON"
    icon_id = 2 if variant == "no-icon" else 1
    res = [(RT_GROUP_ICON, group_name, LANG_EN_US, _icon_group(len(icon))),
           (RT_ICON, icon_id, LANG_EN_US, icon)]
    if variant != "no-version":
        res.append((RT_VERSION, 1, LANG_EN_US, _version_block()))
    if variant != "no-scratch":
        res.append((RT_RCDATA, SCRATCH_ID, LANG_EN_US, b"\0" * scratch_size))
    return res


def _name_key(name):
    # Named entries come first, in order; id entries after them, ascending.
    return (0, name, 0) if isinstance(name, str) else (1, "", name)


def _build_rsrc(resources, base_rva):
    """The resource section's bytes and the offsets of each data entry."""
    tree = {}
    for rtype, name, lang, data in resources:
        tree.setdefault(rtype, {}).setdefault(name, {})[lang] = data
    types = sorted(tree)

    # Directories, then name strings, then data entries, then data.
    def dir_size(n):
        return 16 + 8 * n
    pos = dir_size(len(types))
    name_dirs, lang_dirs = {}, {}
    for t in types:
        name_dirs[t] = pos
        pos += dir_size(len(tree[t]))
    for t in types:
        for name in sorted(tree[t], key=_name_key):
            lang_dirs[(t, name)] = pos
            pos += dir_size(len(tree[t][name]))
    strings = {}
    for t in types:
        for name in tree[t]:
            if isinstance(name, str):
                strings[(t, name)] = pos
                pos += 2 + 2 * len(name)
    pos += -pos % 4
    data_entries = {}
    for rtype, name, lang, _ in resources:
        data_entries[(rtype, name, lang)] = pos
        pos += 16
    data_at = {}
    for rtype, name, lang, data in resources:
        pos += -pos % 4
        data_at[(rtype, name, lang)] = pos
        pos += len(data)

    out = bytearray(pos)

    def put_dir(at, named, ids):
        struct.pack_into("<IIHHHH", out, at, 0, 0, 4, 0, named, ids)

    def entry_key(t, name):
        if isinstance(name, str):
            return 0x80000000 | strings[(t, name)]
        return name

    put_dir(0, 0, len(types))
    for i, t in enumerate(types):
        struct.pack_into("<II", out, 16 + 8 * i, t, 0x80000000 | name_dirs[t])
        names = sorted(tree[t], key=_name_key)
        named = sum(isinstance(n, str) for n in names)
        put_dir(name_dirs[t], named, len(names) - named)
        for j, name in enumerate(names):
            struct.pack_into("<II", out, name_dirs[t] + 16 + 8 * j, entry_key(t, name),
                             0x80000000 | lang_dirs[(t, name)])
            langs = sorted(tree[t][name])
            put_dir(lang_dirs[(t, name)], 0, len(langs))
            for m, lang in enumerate(langs):
                struct.pack_into("<II", out, lang_dirs[(t, name)] + 16 + 8 * m, lang,
                                 data_entries[(t, name, lang)])
    for (t, name), at in strings.items():
        struct.pack_into("<H", out, at, len(name))
        out[at + 2:at + 2 + 2 * len(name)] = name.encode("utf-16-le")
    for rtype, name, lang, data in resources:
        key = (rtype, name, lang)
        struct.pack_into("<IIII", out, data_entries[key], base_rva + data_at[key],
                         len(data), 0, 0)
        out[data_at[key]:data_at[key] + len(data)] = data
    layout = {"name_dirs": name_dirs, "lang_dirs": lang_dirs,
              "data_entries": data_entries, "data_at": data_at}
    return out, layout


def _break_rsrc(variant, rsrc, layout):
    """Variants that damage the resource directory itself."""
    entries = layout["data_entries"]
    if variant == "scratch-outside":
        at = entries[(RT_RCDATA, SCRATCH_ID, LANG_EN_US)]
        struct.pack_into("<I", rsrc, at, RSRC_RVA + len(rsrc) + 0x10000)
    elif variant == "bad-dir-offset":
        # The icon type's entry at the root points far past the table.
        types = sorted(layout["name_dirs"])
        i = types.index(RT_ICON)
        struct.pack_into("<I", rsrc, 16 + 8 * i + 4, 0x80000000 | 0x00FFFFF0)
    elif variant == "huge-entry-count":
        struct.pack_into("<H", rsrc, layout["name_dirs"][RT_VERSION] + 14, 0xFFFF)
    elif variant == "entry-in-scratch":
        # Move the version resource's data entry into the scratch data.
        lang_dir = layout["lang_dirs"][(RT_VERSION, 1)]
        scratch = layout["data_at"][(RT_RCDATA, SCRATCH_ID, LANG_EN_US)]
        old = entries[(RT_VERSION, 1, LANG_EN_US)]
        rsrc[scratch + 64:scratch + 80] = rsrc[old:old + 16]
        struct.pack_into("<I", rsrc, lang_dir + 16 + 4, scratch + 64)


def _align(n, a):
    return (n + a - 1) // a * a


def _headers(variant, pe32, rsrc_size):
    raw_size = _align(rsrc_size, FILE_ALIGN)
    virtual_size = rsrc_size
    if variant == "small-raw-size":
        raw_size = FILE_ALIGN  # smaller than the table, which still fits the file
    size_of_image = _align(RSRC_RVA + virtual_size, SECTION_ALIGN)

    dos = bytearray(E_LFANEW)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 60, 0x7FFFFF00 if variant == "truncated" else E_LFANEW)

    k = 0 if pe32 else 16
    opt_size = 224 if pe32 else 240
    rsrc_rva = RSRC_RVA + (0x100000 if variant == "no-resource-section" else 0)
    rsrc_dir_size = 0 if variant == "no-resource-table" else rsrc_size
    data_dirs = [(0, 0)] * 16
    data_dirs[2] = (rsrc_rva, rsrc_dir_size)
    rva_count = 3 if variant == "few-data-dirs" else 16

    opt = bytearray(opt_size)
    magic = 0x20B if not pe32 else 0x10B
    if variant == "bad-magic":
        magic = 0x107
    struct.pack_into("<HBBIIIII", opt, 0, magic, 14, 0, 0, raw_size, 0, RSRC_RVA, RSRC_RVA)
    if pe32:
        struct.pack_into("<II", opt, 24, RSRC_RVA, 0x00400000)
    else:
        struct.pack_into("<Q", opt, 24, 0x140000000)
    struct.pack_into("<IIHHHHHHIIII", opt, 32, SECTION_ALIGN, FILE_ALIGN, 6, 0, 0, 0,
                     6, 0, 0, size_of_image, FILE_ALIGN, 0)
    struct.pack_into("<HH", opt, 68, 3, 0x8160)  # console, ASLR/DEP/high-entropy
    fmt = "<IIIIII" if pe32 else "<QQQQII"
    struct.pack_into(fmt, opt, 72, 0x100000, 0x1000, 0x100000, 0x1000, 0, rva_count)
    for i, (rva, size) in enumerate(data_dirs):
        struct.pack_into("<II", opt, 96 + k + 8 * i, rva, size)

    signature = b"PE\0\0" if variant != "not-pe" else b"NE\0\0"
    coff = struct.pack("<HHIIIHH", 0x14C if pe32 else 0x8664, 1, 0, 0, 0,
                       0 if variant == "no-optional-header" else opt_size,
                       0x0102 if pe32 else 0x0022)
    section = struct.pack("<8sIIIIIIHHI", b".rsrc", virtual_size, RSRC_RVA, raw_size,
                          RSRC_FILE_OFFSET, 0, 0, 0, 0, 0x40000040)
    head = bytes(dos) + signature + coff + bytes(opt) + section
    assert len(head) <= RSRC_FILE_OFFSET
    return head + b"\0" * (RSRC_FILE_OFFSET - len(head)), _align(rsrc_size, FILE_ALIGN)


def make_pe_stub(variant="good", scratch_size=SCRATCH_SIZE, pe32=False):
    """The stub's bytes. variant is one of VARIANTS."""
    if variant not in VARIANTS:
        raise ValueError("unknown stub variant %r" % variant)
    rsrc, layout = _build_rsrc(_resources(variant, scratch_size), RSRC_RVA)
    _break_rsrc(variant, rsrc, layout)
    head, padded = _headers(variant, pe32, len(rsrc))
    image = head + bytes(rsrc) + b"\0" * (padded - len(rsrc))
    if variant == "truncated":
        image = image[:E_LFANEW]
    return image


def main(argv):
    import argparse
    parser = argparse.ArgumentParser(description="Write a Windows runtime stub.")
    parser.add_argument("out")
    parser.add_argument("--variant", default="good", choices=VARIANTS)
    parser.add_argument("--scratch-size", type=int, default=SCRATCH_SIZE)
    parser.add_argument("--pe32", action="store_true", help="PE32 instead of PE32+")
    args = parser.parse_args(argv)
    data = make_pe_stub(args.variant, args.scratch_size, args.pe32)
    with open(args.out, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
