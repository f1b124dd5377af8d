#!/usr/bin/python3
"""The pieces of the installation's Android runtime stubs, built byte by byte.

    make_sdl_activity_dex() -> bytes       classes.dex defining the runtime's
                                           activity org.libsdl.app.SDLActivity
    make_native_library() -> bytes         lib/armeabi-v7a/libmain.so
    make_resources_blob() -> bytes         BrindlecotResourcesBlob.bin
    MANIFEST_TEMPLATE                      BrindlecotManifest.xml

The publisher generates the game's own activity (BrindlecotActivity, a
subclass of SDLActivity) into classes2.dex beside the stub's classes.dex, so
the stub only has to define SDLActivity with a public no-argument
constructor for that class to call.

The resources blob is the part of resources.arsc that does not depend on the
game. The publisher writes the table header, the global string pool and the
first fields of the package header, then appends the blob unchanged. Its
global string pool always holds, in this order:

    0..4  res/mipmap-{mdpi,hdpi,xhdpi,xxhdpi,xxxhdpi}-v4/ic_launcher.png
    5     the game's title

and the manifest refers to the two resources as 0x7F020000
(@mipmap/ic_launcher) and 0x7F040000 (@string/app_name), so the blob fixes
those ids. Layout of the blob, all numbers little-endian; "package offset"
is counted from the first byte of the package chunk, whose 288-byte header
the blob completes (it starts at package offset 268):

    blob   package  size  content
       0      268      4  typeStrings = 288 (type string pool's package offset)
       4      272      4  lastPublicType = 4
       8      276      4  keyStrings = 396 (key string pool's package offset)
      12      280      4  lastPublicKey = 2
      16      284      4  typeIdOffset = 0
      20      288    108  type string pool (UTF-16): "attr", "mipmap",
                          "drawable", "string", giving type ids 1 to 4; only
                          2 and 4 have resources, 1 and 3 hold their places
     128      396    532  key string pool (UTF-16): "ic_launcher", "app_name";
                          its chunk ends with 448 zero bytes (see below)
     660      928     20  type spec of type 2 (mipmap): one entry, flags
                          0x100 (its value varies by screen density)
     680      948    520  five type chunks of type 2, one per density in the
                          order mdpi 160, hdpi 240, xhdpi 320, xxhdpi 480,
                          xxxhdpi 640, each with sdkVersion 4: entry 0, key
                          "ic_launcher", a string value = global string 0..4
    1200     1468     20  type spec of type 4 (string): one entry, flags 0
    1220     1488    104  type chunk of type 4, default configuration: entry
                          0, key "app_name", a string value = global string 5
    1324     1592         end of the package chunk

Each type chunk is a 20-byte header, a 64-byte configuration (the size of
the current configuration record), one entry offset (0), and the entry: an
8-byte entry header (size 8, flags 0, key index) and an 8-byte value (size
8, type 0x03 string, data = global string index). 104 bytes in all.

The publisher writes the package chunk's size as the constant 1592, so the
blob must be exactly 1324 bytes long. The resources above need 876, and the
rest is zero padding at the end of the key string pool: a pool may be longer
than its strings (readers find each string through its offset, and the
zeros after the last string keep it terminated), while bytes between or
after chunks would be read as chunk headers.
"""

import hashlib
import struct
import zlib

# --- Dalvik executable -----------------------------------------------------

NO_INDEX = 0xFFFFFFFF
ACC_PUBLIC = 0x1
ACC_CONSTRUCTOR = 0x10000

TYPE_HEADER_ITEM = 0x0000
TYPE_STRING_ID_ITEM = 0x0001
TYPE_TYPE_ID_ITEM = 0x0002
TYPE_PROTO_ID_ITEM = 0x0003
TYPE_METHOD_ID_ITEM = 0x0005
TYPE_CLASS_DEF_ITEM = 0x0006
TYPE_MAP_LIST = 0x1000
TYPE_CODE_ITEM = 0x2001
TYPE_STRING_DATA_ITEM = 0x2002
TYPE_CLASS_DATA_ITEM = 0x2000

HEADER_SIZE = 0x70

# Sorted as the format demands (by code point; all ASCII here).
DEX_STRINGS = ("<init>", "Landroid/app/Activity;", "Lorg/libsdl/app/SDLActivity;", "V")
# type ids, by string index: 0 android.app.Activity, 1 SDLActivity, 2 void
DEX_TYPES = (1, 2, 3)
TYPE_ACTIVITY, TYPE_SDL_ACTIVITY, TYPE_VOID = 0, 1, 2
# method ids, sorted by class: 0 Activity.<init>()V, 1 SDLActivity.<init>()V
METHOD_ACTIVITY_INIT, METHOD_SDL_ACTIVITY_INIT = 0, 1


def _uleb128(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def _align4(data):
    return data + b"\0" * (-len(data) % 4)


def _string_data(text):
    # Length in UTF-16 units, then modified UTF-8 (plain ASCII here), then NUL.
    return _uleb128(len(text)) + text.encode("ascii") + b"\0"


def make_sdl_activity_dex():
    """public class org.libsdl.app.SDLActivity extends android.app.Activity
    with one public constructor that calls Activity's, as a dex file of
    format version 035 with its checksum and signature."""
    string_ids_off = HEADER_SIZE
    type_ids_off = string_ids_off + 4 * len(DEX_STRINGS)
    proto_ids_off = type_ids_off + 4 * len(DEX_TYPES)
    method_ids_off = proto_ids_off + 12
    class_defs_off = method_ids_off + 8 * 2
    data_off = class_defs_off + 32

    # Data section: the constructor's code, the strings, the class data, the map.
    code_off = data_off
    insns = struct.pack("<4H",
                        0x1070,                # invoke-direct, one argument register
                        METHOD_ACTIVITY_INIT,  # Activity.<init>()V
                        0x0000,                # {v0}: "this"
                        0x000E)                # return-void
    code_item = struct.pack("<4HII", 1, 1, 1, 0, 0, len(insns) // 2) + insns

    string_data_off = code_off + len(code_item)
    string_offsets = []
    string_data = b""
    for text in DEX_STRINGS:
        string_offsets.append(string_data_off + len(string_data))
        string_data += _string_data(text)

    class_data_off = string_data_off + len(string_data)
    class_data = (_uleb128(0) + _uleb128(0) + _uleb128(1) + _uleb128(0)
                  + _uleb128(METHOD_SDL_ACTIVITY_INIT)
                  + _uleb128(ACC_PUBLIC | ACC_CONSTRUCTOR) + _uleb128(code_off))

    map_off = class_data_off + len(class_data)
    map_off += -map_off % 4
    map_entries = [
        (TYPE_HEADER_ITEM, 1, 0),
        (TYPE_STRING_ID_ITEM, len(DEX_STRINGS), string_ids_off),
        (TYPE_TYPE_ID_ITEM, len(DEX_TYPES), type_ids_off),
        (TYPE_PROTO_ID_ITEM, 1, proto_ids_off),
        (TYPE_METHOD_ID_ITEM, 2, method_ids_off),
        (TYPE_CLASS_DEF_ITEM, 1, class_defs_off),
        (TYPE_CODE_ITEM, 1, code_off),
        (TYPE_STRING_DATA_ITEM, len(DEX_STRINGS), string_data_off),
        (TYPE_CLASS_DATA_ITEM, 1, class_data_off),
        (TYPE_MAP_LIST, 1, map_off),
    ]
    map_list = struct.pack("<I", len(map_entries)) + b"".join(
        struct.pack("<HHII", kind, 0, size, offset) for kind, size, offset in map_entries)
    file_size = map_off + len(map_list)

    ids = b"".join(struct.pack("<I", off) for off in string_offsets)
    ids += b"".join(struct.pack("<I", s) for s in DEX_TYPES)
    ids += struct.pack("<III", DEX_STRINGS.index("V"), TYPE_VOID, 0)
    ids += struct.pack("<HHI", TYPE_ACTIVITY, 0, DEX_STRINGS.index("<init>"))
    ids += struct.pack("<HHI", TYPE_SDL_ACTIVITY, 0, DEX_STRINGS.index("<init>"))
    ids += struct.pack("<8I", TYPE_SDL_ACTIVITY, ACC_PUBLIC, TYPE_ACTIVITY, 0,
                       NO_INDEX, 0, class_data_off, 0)

    body = ids + code_item + string_data + class_data
    body += b"\0" * (map_off - HEADER_SIZE - len(body))
    body += map_list

    header_tail = struct.pack(
        "<20I", file_size, HEADER_SIZE, 0x12345678, 0, 0, map_off,
        len(DEX_STRINGS), string_ids_off, len(DEX_TYPES), type_ids_off,
        1, proto_ids_off, 0, 0, 2, method_ids_off, 1, class_defs_off,
        file_size - data_off, data_off)
    signed = header_tail + body
    signature = hashlib.sha1(signed).digest()
    checksum = zlib.adler32(signature + signed)
    return b"dex\n035\0" + struct.pack("<I", checksum) + signature + signed


# --- native library ----------------------------------------------------------

def make_native_library():
    """A placeholder for the runtime's native library: only the ELF header of
    a 32-bit little-endian Arm (EABI5) shared object, so that tools looking
    at the APK see the library its ABI directory promises. Nothing runs it."""
    ident = b"\x7fELF" + bytes([1, 1, 1, 0]) + b"\0" * 8
    return ident + struct.pack("<HHIIIIIHHHHHH",
                               3,           # ET_DYN
                               40,          # EM_ARM
                               1, 0, 0, 0,  # version, entry, phoff, shoff
                               0x05000000,  # EABI version 5
                               52, 32, 0, 40, 0, 0)


# --- resource table blob -------------------------------------------------------

RES_STRING_POOL_TYPE = 0x0001
RES_TABLE_TYPE_TYPE = 0x0201
RES_TABLE_TYPE_SPEC_TYPE = 0x0202
TYPE_STRING = 0x03
CONFIG_DENSITY = 0x0100
CONFIG_SIZE = 64

BLOB_SIZE = 1324
# Where the blob starts inside the package chunk, and the package header's size.
BLOB_PACKAGE_OFFSET = 268
PACKAGE_HEADER_SIZE = 288

TYPE_NAMES = ("attr", "mipmap", "drawable", "string")
KEY_NAMES = ("ic_launcher", "app_name")
MIPMAP_TYPE_ID = 2
STRING_TYPE_ID = 4
# Density and the global string holding that icon's path.
ICON_DENSITIES = ((160, 0), (240, 1), (320, 2), (480, 3), (640, 4))
ICON_SDK_VERSION = 4
TITLE_STRING = 5


def _string_pool(strings, padding=0):
    """A UTF-16 string pool chunk, its end padded to a multiple of 4 and then
    by padding more zero bytes."""
    offsets = b""
    data = b""
    for text in strings:
        offsets += struct.pack("<I", len(data))
        units = text.encode("utf-16-le")
        data += struct.pack("<H", len(units) // 2) + units + b"\0\0"
    data = _align4(data) + b"\0" * padding
    start = 28 + len(offsets)
    return struct.pack("<HHIIIIII", RES_STRING_POOL_TYPE, 28, start + len(data),
                       len(strings), 0, 0, start, 0) + offsets + data


def _type_spec(type_id, flags):
    return struct.pack("<HHIBBHI", RES_TABLE_TYPE_SPEC_TYPE, 16, 16 + 4 * len(flags),
                       type_id, 0, 0, len(flags)) + b"".join(struct.pack("<I", f) for f in flags)


def _config(density=0, sdk_version=0):
    config = bytearray(CONFIG_SIZE)
    struct.pack_into("<I", config, 0, CONFIG_SIZE)
    struct.pack_into("<H", config, 14, density)
    struct.pack_into("<H", config, 24, sdk_version)
    return bytes(config)


def _type_chunk(type_id, config, key, global_string):
    """A type chunk with one entry: key (key pool index) = a string value."""
    header_size = 20 + len(config)
    entries_start = header_size + 4
    entry = struct.pack("<HHI", 8, 0, key) + struct.pack("<HBBI", 8, 0, TYPE_STRING, global_string)
    return (struct.pack("<HHIBBHII", RES_TABLE_TYPE_TYPE, header_size, entries_start + len(entry),
                        type_id, 0, 0, 1, entries_start)
            + config + struct.pack("<I", 0) + entry)


def make_resources_blob():
    """BrindlecotResourcesBlob.bin: the tail of the resource table's package
    chunk, from its header's typeStrings field to the end (see the module's
    description for the layout)."""
    type_pool = _string_pool(TYPE_NAMES)
    chunks = [_type_spec(MIPMAP_TYPE_ID, [CONFIG_DENSITY])]
    for density, path_string in ICON_DENSITIES:
        chunks.append(_type_chunk(MIPMAP_TYPE_ID, _config(density, ICON_SDK_VERSION),
                                  KEY_NAMES.index("ic_launcher"), path_string))
    chunks.append(_type_spec(STRING_TYPE_ID, [0]))
    chunks.append(_type_chunk(STRING_TYPE_ID, _config(), KEY_NAMES.index("app_name"),
                              TITLE_STRING))
    types = b"".join(chunks)

    header_tail_size = PACKAGE_HEADER_SIZE - BLOB_PACKAGE_OFFSET
    used = header_tail_size + len(type_pool) + len(_string_pool(KEY_NAMES)) + len(types)
    key_pool = _string_pool(KEY_NAMES, BLOB_SIZE - used)

    type_strings = PACKAGE_HEADER_SIZE
    key_strings = type_strings + len(type_pool)
    blob = (struct.pack("<5I", type_strings, len(TYPE_NAMES), key_strings, len(KEY_NAMES), 0)
            + type_pool + key_pool + types)
    assert len(blob) == BLOB_SIZE
    return blob


# --- manifest template -----------------------------------------------------------

# The publisher fills in the four $ZEVRA_ placeholders; the additions go
# where a game's extra permissions and features belong, at the top level.
MANIFEST_TEMPLATE = """<?xml version="1.0" encoding="utf-8"?>
<manifest xmlns:android="http://schemas.android.com/apk/res/android"
    package="$ZEVRA_PACKAGEID"
    android:versionCode="$ZEVRA_VERSION_CODE"
    android:versionName="$ZEVRA_VERSION"
    android:installLocation="auto">
    <uses-sdk android:minSdkVersion="19" android:targetSdkVersion="26" />
    <uses-feature android:glEsVersion="0x00020000" />
    $ZEVRA_MANIFEST_ADDITIONS
    <application android:label="@string/app_name"
        android:icon="@mipmap/ic_launcher"
        android:hasCode="true"
        android:theme="@android:style/Theme.NoTitleBar.Fullscreen">
        <activity android:name="$ZEVRA_PACKAGEID.BrindlecotActivity"
            android:label="@string/app_name"
            android:configChanges="orientation|keyboardHidden|screenSize"
            android:screenOrientation="landscape"
            android:exported="true">
            <intent-filter>
                <action android:name="android.intent.action.MAIN" />
                <category android:name="android.intent.category.LAUNCHER" />
            </intent-filter>
        </activity>
    </application>
</manifest>
"""


USAGE = """usage: /usr/bin/python3 tools/android_stub.py --help
A module of tools/make_installation.py, which writes the stubs from it: it
has nothing to run on its own and takes no arguments.
"""

if __name__ == "__main__":
    import sys
    if sys.argv[1:] in (["-h"], ["--help"]):
        sys.stdout.write(USAGE)
        sys.exit(0)
    sys.stderr.write(USAGE)
    sys.exit(2)
