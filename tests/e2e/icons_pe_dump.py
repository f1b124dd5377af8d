#!/usr/bin/python3
"""Reads a Windows executable's resources and version information with
Debian's pefile and prints them one per line, for tests in any language:

    resource TYPE NAME LANG RVA SIZE DATA_OFFSET ENTRY_OFFSET
    fixed FILE_MS FILE_LS PRODUCT_MS PRODUCT_LS      (hex)
    table LANGID
    string KEY_HEX VALUE_HEX                         (UTF-8 bytes in hex)
    translation TEXT
    warning TEXT                                     (version parsing only)

NAME is the id, or the name string prefixed with '='.
"""

import sys

import pefile


def resources(pe):
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            name = str(n.id) if n.name is None else "=" + str(n.name)
            for lang in n.directory.entries:
                d = lang.data.struct
                yield (t.id, name, lang.id, d.OffsetToData, d.Size,
                       pe.get_offset_from_rva(d.OffsetToData), d.get_file_offset())


def utf16_at(pe, offset):
    """The zero-terminated UTF-16 text at a file offset, decoded strictly
    (pefile's own values keep surrogate pairs as two escapes)."""
    data = pe.__data__
    end = offset
    while end + 1 < len(data) and data[end:end + 2] != b"\0\0":
        end += 2
    return bytes(data[offset:end]).decode("utf-16-le")


def version_lines(pe):
    for fixed in getattr(pe, "VS_FIXEDFILEINFO", []):
        yield "fixed %x %x %x %x" % (fixed.FileVersionMS, fixed.FileVersionLS,
                                     fixed.ProductVersionMS, fixed.ProductVersionLS)
    for group in getattr(pe, "FileInfo", []):
        for info in group:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    yield "table " + table.LangID.decode()
                    for key in table.entries:
                        value = utf16_at(pe, table.entries_offsets[key][1])
                        yield "string %s %s" % (key.hex() or "-",
                                                value.encode("utf-8").hex() or "-")
            elif info.Key == b"VarFileInfo":
                for var in info.Var:
                    for key, value in var.entry.items():
                        yield "translation %s %s" % (key.decode(), value)


def main(path):
    pe = pefile.PE(path)
    for r in resources(pe):
        print("resource %d %s %d %d %d %d %d" % r)
    for line in version_lines(pe):
        print(line)
    for w in pe.get_warnings():
        if any(word in w for word in ("Version", "version", "StringFileInfo", "VarFileInfo",
                                      "StringTable", "Corrupt")):
            print("warning " + w.replace("\n", " "))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
