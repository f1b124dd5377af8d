#!/usr/bin/python3
"""Writes publish/android/android_tables.cpp from the Android framework data;
the arrays it defines are declared in publish/android/android_tables.h.

    /usr/bin/python3 tools/gen_android_tables.py DATA_DIR OUTPUT

DATA_DIR holds attribute-formats.tsv, manifest-attributes.tsv and
public-resources.tsv (API level 26, see their SOURCE.md). Every public
attribute is typed by its compiled format, as the platform's packager types
it, wherever its format was declared. Its enum and flag names are API 26's
where manifest-attributes.tsv lists them (so a name that a later framework
renamed still works), followed by the compiled framework's names that API
26 does not have. The output is committed; CTest regenerates it into
the build tree and fails on any difference, so edit this script, never the
output.

Besides the two tables in file order (which decides which row of a repeated
resource name wins), the output holds, for each table, its row numbers sorted by
(name, row): a binary search there finds the first row of a name.
"""

import sys

ATTRIBUTE_ROWS = 1355
RESOURCE_ROWS = 2470

# One bit per format name, in alphabetical order of the names.
FORMAT_BITS = {
    "boolean": "ATTR_FORMAT_BOOLEAN",
    "color": "ATTR_FORMAT_COLOR",
    "dimension": "ATTR_FORMAT_DIMENSION",
    "enum": "ATTR_FORMAT_ENUM",
    "flags": "ATTR_FORMAT_FLAGS",
    "float": "ATTR_FORMAT_FLOAT",
    "fraction": "ATTR_FORMAT_FRACTION",
    "integer": "ATTR_FORMAT_INTEGER",
    "reference": "ATTR_FORMAT_REFERENCE",
    "string": "ATTR_FORMAT_STRING",
}


def fail(message):
    sys.stderr.write("gen_android_tables: %s\n" % message)
    sys.exit(1)


def read_tsv(path, columns):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    header = lines[0].split("\t")
    if header != columns:
        fail("%s: unexpected columns %r" % (path, header))
    rows = []
    for number, line in enumerate(lines[1:], start=2):
        fields = line.split("\t")
        if len(fields) != len(columns):
            fail("%s:%d: %d fields" % (path, number, len(fields)))
        rows.append(dict(zip(columns, fields)))
    return rows


def parse_int32(text):
    value = int(text, 0)
    if value < -(1 << 31) or value >= (1 << 31):
        fail("value %s does not fit 32 bits" % text)
    return value


def attribute_rows(path, resources):
    rows = read_tsv(path, ["name", "id", "format", "values"])
    if len(rows) != ATTRIBUTE_ROWS:
        fail("expected %d attribute rows, have %d" % (ATTRIBUTE_ROWS, len(rows)))
    attr_ids = {r["name"]: r["id_value"] for r in resources if r["type"] == "attr"}
    seen = set()
    for row in rows:
        if row["name"] in seen:
            fail("attribute %s listed twice" % row["name"])
        seen.add(row["name"])
        if attr_ids.get(row["name"]) != int(row["id"], 16):
            fail("attribute %s: id %s is not the public one" % (row["name"], row["id"]))
        names = row["format"].split("|") if row["format"] else []
        for name in names:
            if name not in FORMAT_BITS:
                fail("unknown format %r of %s" % (name, row["name"]))
        values = []
        for item in row["values"].split():
            kind, _, pair = item.partition(":")
            name, _, number = pair.partition("=")
            if kind not in ("enum", "flag") or not name or not number:
                fail("bad value %r of %s" % (item, row["name"]))
            if ("enum" if kind == "enum" else "flags") not in names:
                fail("%s value %r without its format" % (row["name"], item))
            values.append((name, parse_int32(number), kind))
        if not names:
            fail("attribute %s has no format" % row["name"])
        row["bits"] = " | ".join(FORMAT_BITS[n] for n in sorted(set(names)))
        row["parsed_values"] = values
    return rows


def api26_values(path):
    """The enum and flag values of each name's first row that lists any,
    in declaration order."""
    rows = read_tsv(path, ["row", "group", "name", "format", "values"])
    found = {}
    for row in rows:
        if not row["values"] or row["name"] in found:
            continue
        values = []
        for item in row["values"].split(";"):
            kind, _, pair = item.partition(":")
            name, _, number = pair.partition("=")
            if kind not in ("enum", "flag") or not name or not number:
                fail("bad value %r of %s in %s" % (item, row["name"], path))
            values.append((name, parse_int32(number), kind))
        found[row["name"]] = values
    return found


def merge_values(attributes, api26):
    """API 26's values first; a compiled value joins them unless API 26 has
    its name."""
    for row in attributes:
        first = api26.get(row["name"])
        if first is None:
            continue
        kinds = set(row["bits"].split(" | "))
        for name, value, kind in first:
            if FORMAT_BITS["enum" if kind == "enum" else "flags"] not in kinds:
                fail("%s: API 26 value %s of a format the compiled one lacks" % (row["name"], name))
        names = {name for name, _, _ in first}
        row["parsed_values"] = first + [v for v in row["parsed_values"] if v[0] not in names]


def resource_rows(path):
    rows = read_tsv(path, ["type", "name", "id"])
    if len(rows) != RESOURCE_ROWS:
        fail("expected %d resource rows, have %d" % (RESOURCE_ROWS, len(rows)))
    for row in rows:
        row["id_value"] = int(row["id"], 16)
    return rows


def c_string(text):
    if not all(c.isalnum() or c in "._-" for c in text):
        fail("unexpected characters in %r" % text)
    return '"%s"' % text


def name_index(rows):
    # Python compares str by code point, which is SDL_strcmp's byte order
    # for the ASCII names the tables hold.
    return sorted(range(len(rows)), key=lambda i: (rows[i]["name"], i))


def index_lines(indices):
    lines = []
    for start in range(0, len(indices), 12):
        lines.append("    " + ", ".join(str(i) for i in indices[start:start + 12]) + ",")
    return lines


def generate(attributes, resources):
    out = [
        "/* Generated by tools/gen_android_tables.py from attribute-formats.tsv,",
        " * manifest-attributes.tsv and public-resources.tsv (Android framework, API",
        " * level 26). Do not edit: change the script and run it again; a test fails",
        " * when this file differs from what the script writes. */",
        '#include "publish/android/android_tables.h"',
        "",
        "#include <stddef.h>",
        "",
    ]
    for number, row in enumerate(attributes):
        if not row["parsed_values"]:
            continue
        out.append("static const ManifestAttributeValue values_%d_%s[] = {" % (number, row["name"]))
        for name, value, kind in row["parsed_values"]:
            # Flags read best as bits, enums as numbers.
            number = "0x%x" % value if kind == "flag" and value >= 0 else "%d" % value
            out.append("    {%s, %s}," % (c_string(name), number))
        out.append("    {NULL, 0},")
        out.append("};")
    out.append("")
    out.append("const ManifestAttributeFormat manifest_attribute_formats[MANIFEST_ATTRIBUTE_FORMAT_COUNT] = {")
    for number, row in enumerate(attributes):
        values = "values_%d_%s" % (number, row["name"]) if row["parsed_values"] else "NULL"
        out.append("    {%s, %s, %s}," % (c_string(row["name"]), row["bits"], values))
    out.append("};")
    out.append("")
    out.append("const uint16_t manifest_attribute_name_index[MANIFEST_ATTRIBUTE_FORMAT_COUNT] = {")
    out.extend(index_lines(name_index(attributes)))
    out.append("};")
    out.append("")
    out.append("const AndroidResourceId android_resource_ids[ANDROID_RESOURCE_ID_COUNT] = {")
    for row in resources:
        out.append("    {%s, %s, 0x%08xu}," % (c_string(row["type"]), c_string(row["name"]), row["id_value"]))
    out.append("};")
    out.append("")
    out.append("const uint16_t android_resource_name_index[ANDROID_RESOURCE_ID_COUNT] = {")
    out.extend(index_lines(name_index(resources)))
    out.append("};")
    return "\n".join(out) + "\n"


USAGE = "usage: /usr/bin/python3 tools/gen_android_tables.py DATA_DIR OUTPUT\n"


def main():
    if len(sys.argv) == 2 and sys.argv[1] in ("-h", "--help"):
        sys.stdout.write(USAGE)
        sys.exit(0)
    if len(sys.argv) != 3 or any(a.startswith("-") for a in sys.argv[1:]):
        sys.stderr.write(USAGE)
        sys.exit(2)
    data_dir, output = sys.argv[1], sys.argv[2]
    resources = resource_rows(data_dir + "/public-resources.tsv")
    attributes = attribute_rows(data_dir + "/attribute-formats.tsv", resources)
    merge_values(attributes, api26_values(data_dir + "/manifest-attributes.tsv"))
    text = generate(attributes, resources)
    with open(output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


if __name__ == "__main__":
    main()
