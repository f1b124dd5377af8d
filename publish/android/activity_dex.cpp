#include "publish/android/activity_dex.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/android/sha1.h"
#include "publish/archive/byte_io.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"

#include <SDL.h>
#include <physfs.h>
#include <zlib.h>

#include <stddef.h>
#include <stdint.h>

/* Section offsets: the id sections have fixed sizes, so only the string
 * data and what follows it move with the package id. */
#define DEX_HEADER_SIZE 0x70
#define DEX_STRING_IDS_OFF 0x70
#define DEX_TYPE_IDS_OFF 0x84
#define DEX_PROTO_IDS_OFF 0x90
#define DEX_METHOD_IDS_OFF 0x9c
#define DEX_CLASS_DEFS_OFF 0xac
#define DEX_CODE_OFF 0xcc
#define DEX_STRING_DATA_OFF 0xe4
#define DEX_MAP_ENTRIES 11
#define DEX_MAP_SIZE (4 + DEX_MAP_ENTRIES * 12)

#define DEX_STRING_COUNT 5
#define DEX_DEBUG_INFO_SIZE 5
#define DEX_CLASS_DATA_SIZE 10

/* A string's length is stored in one byte, the ULEB128 form of a value
 * below 128. */
#define DEX_MAX_STRING 127
#define DEX_OWN_SUFFIX "/BrindlecotActivity;"
#define DEX_OWN_DESCRIPTOR_EXTRA 21 /* "L" and the suffix */

static const char SDL_ACTIVITY[] = "Lorg/libsdl/app/SDLActivity;";

/* Every string item is its length byte, its bytes and a NUL. */
#define DEX_FIXED_STRING_BYTES (8 + 25 + 30 + 3) /* "<init>", source file, SDL, "V" */
#define DEX_FILE_SIZE(own_length)                                                         \
    (((DEX_STRING_DATA_OFF + DEX_FIXED_STRING_BYTES + (own_length) + 2 + DEX_DEBUG_INFO_SIZE \
       + DEX_CLASS_DATA_SIZE + 3) & ~3) + DEX_MAP_SIZE)
#define DEX_BUFFER_SIZE 1024

static_assert(ACTIVITY_DEX_MAX_PACKAGE_ID + DEX_OWN_DESCRIPTOR_EXTRA <= DEX_MAX_STRING,
              "the longest descriptor must keep a one-byte length");
static_assert(DEX_FILE_SIZE(ACTIVITY_DEX_MAX_PACKAGE_ID + DEX_OWN_DESCRIPTOR_EXTRA)
                  <= DEX_BUFFER_SIZE,
              "the largest file must fit the buffer");

/* Which rule the package id breaks, or NULL when a class can live in it. */
static const char *package_id_fault(const char *id)
{
    size_t length = SDL_strlen(id);
    if (length == 0)
        return "it is empty";
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)id[i];
        if (c < 0x20 || c > 0x7e)
            return "it holds a character that is not printable ASCII";
    }
    if (length > ACTIVITY_DEX_MAX_PACKAGE_ID)
        return "it is longer than 106 bytes";
    for (size_t i = 0; i < length; i++) {
        char c = id[i];
        if (c == '.') {
            if (i == 0 || i + 1 == length || id[i + 1] == '.')
                return "it has an empty segment between dots";
        } else if (!SDL_isalnum((unsigned char)c) && c != '_' && c != '$' && c != '-') {
            return "it holds a character other than letters, digits, '_', '$', '-' and dots";
        }
    }
    return NULL;
}

/* The id for a log line: control bytes as \xNN so they can't act on a
 * terminal or break the line. */
static char *printable_copy(const char *id)
{
    size_t length = SDL_strlen(id);
    char *out = (char *)SDL_malloc(length * 4 + 1);
    if (!out)
        return NULL;
    char *p = out;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)id[i];
        if (c < 0x20 || c == 0x7f)
            p += SDL_snprintf(p, 5, "\\x%02X", c);
        else
            *p++ = (char)c;
    }
    *p = '\0';
    return out;
}

static int check_package_id(const char *id)
{
    const char *fault = package_id_fault(id);
    if (!fault)
        return 1;
    char *shown = printable_copy(id);
    if (!shown) {
        report_out_of_memory();
        return 0;
    }
    publish_log_error("Package ID '%s' can't name the Android activity class: %s", shown, fault);
    SDL_free(shown);
    return 0;
}

/* "L<id with '/' for '.'>/BrindlecotActivity;" */
static char *own_descriptor(const char *package_id)
{
    char *package_path = SDL_strdup(package_id);
    if (!package_path)
        return NULL;
    for (char *p = package_path; *p; p++)
        if (*p == '.')
            *p = '/';
    char *descriptor = alloc_printf("L%s" DEX_OWN_SUFFIX, package_path);
    SDL_free(package_path);
    return descriptor;
}

static size_t put_uleb128(unsigned char *p, uint32_t v)
{
    size_t n = 0;
    do {
        unsigned char byte = (unsigned char)(v & 0x7f);
        v >>= 7;
        p[n++] = v ? (unsigned char)(byte | 0x80) : byte;
    } while (v);
    return n;
}

typedef struct DexLayout {
    uint32_t own;    /* type and method index of the game's class: 0 or 1 */
    uint32_t sdl;    /* the same for the superclass */
    uint32_t string_off[DEX_STRING_COUNT];
    uint32_t debug_info_off;
    uint32_t class_data_off;
    uint32_t map_off;
    uint32_t file_size;
} DexLayout;

/* String data and the items after it, from DEX_STRING_DATA_OFF on. */
static void dex_put_data(unsigned char *buf, const char *const strings[DEX_STRING_COUNT],
                         DexLayout *layout)
{
    size_t pos = DEX_STRING_DATA_OFF;
    for (int i = 0; i < DEX_STRING_COUNT; i++) {
        size_t length = SDL_strlen(strings[i]);
        layout->string_off[i] = (uint32_t)pos;
        buf[pos] = (unsigned char)length; /* ASCII: bytes and UTF-16 units agree */
        SDL_memcpy(buf + pos + 1, strings[i], length + 1);
        pos += length + 2;
    }

    /* Line 2 from address 0: line_start 2, no parameters, prologue end,
     * one position entry, end of sequence. */
    static const unsigned char debug_info[DEX_DEBUG_INFO_SIZE] = {0x02, 0x00, 0x07, 0x0e, 0x00};
    layout->debug_info_off = (uint32_t)pos;
    SDL_memcpy(buf + pos, debug_info, sizeof debug_info);
    pos += sizeof debug_info;

    /* No fields, one direct method (the public constructor), no virtual ones. */
    layout->class_data_off = (uint32_t)pos;
    static const unsigned char counts[4] = {0, 0, 1, 0};
    SDL_memcpy(buf + pos, counts, sizeof counts);
    pos += sizeof counts;
    pos += put_uleb128(buf + pos, layout->own);     /* method_idx_diff */
    pos += put_uleb128(buf + pos, 0x10001);         /* ACC_PUBLIC | ACC_CONSTRUCTOR */
    pos += put_uleb128(buf + pos, DEX_CODE_OFF);

    layout->map_off = (uint32_t)((pos + 3) & ~(size_t)3); /* the buffer is zeroed */
    layout->file_size = layout->map_off + DEX_MAP_SIZE;
}

static void dex_put_map(unsigned char *buf, const DexLayout *layout)
{
    const uint32_t map[DEX_MAP_ENTRIES][3] = {
        {0x0000, 1, 0},                        /* header */
        {0x0001, DEX_STRING_COUNT, DEX_STRING_IDS_OFF},
        {0x0002, 3, DEX_TYPE_IDS_OFF},
        {0x0003, 1, DEX_PROTO_IDS_OFF},
        {0x0005, 2, DEX_METHOD_IDS_OFF},
        {0x0006, 1, DEX_CLASS_DEFS_OFF},
        {0x2001, 1, DEX_CODE_OFF},             /* code item */
        {0x2002, DEX_STRING_COUNT, DEX_STRING_DATA_OFF},
        {0x2003, 1, layout->debug_info_off},
        {0x2000, 1, layout->class_data_off},
        {0x1000, 1, layout->map_off},          /* the map list itself */
    };
    unsigned char *p = buf + layout->map_off;
    le_put_u32(p, DEX_MAP_ENTRIES);
    for (int i = 0; i < DEX_MAP_ENTRIES; i++) {
        unsigned char *entry = p + 4 + 12 * i;
        le_put_u16(entry, (uint16_t)map[i][0]);
        le_put_u16(entry + 2, 0);
        le_put_u32(entry + 4, map[i][1]);
        le_put_u32(entry + 8, map[i][2]);
    }
}

static void dex_put_header(unsigned char *buf, const DexLayout *layout)
{
    SDL_memcpy(buf, "dex\n035", 8); /* with its NUL */
    const uint32_t fields[][2] = {
        {32, layout->file_size},
        {36, DEX_HEADER_SIZE},
        {40, 0x12345678},                  /* endian tag */
        {52, layout->map_off},
        {56, DEX_STRING_COUNT}, {60, DEX_STRING_IDS_OFF},
        {64, 3}, {68, DEX_TYPE_IDS_OFF},
        {72, 1}, {76, DEX_PROTO_IDS_OFF},
        {88, 2}, {92, DEX_METHOD_IDS_OFF},
        {96, 1}, {100, DEX_CLASS_DEFS_OFF},
        {104, layout->file_size - DEX_CODE_OFF}, /* data: the code item to the end */
        {108, DEX_CODE_OFF},
    };
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; i++)
        le_put_u32(buf + fields[i][0], fields[i][1]);
}

/* The id sections and the code item between the header and the data. */
static void dex_put_ids(unsigned char *buf, const DexLayout *layout)
{
    for (int i = 0; i < DEX_STRING_COUNT; i++)
        le_put_u32(buf + DEX_STRING_IDS_OFF + 4 * i, layout->string_off[i]);
    for (int i = 0; i < 3; i++) /* the two classes and void */
        le_put_u32(buf + DEX_TYPE_IDS_OFF + 4 * i, (uint32_t)(2 + i));

    le_put_u32(buf + DEX_PROTO_IDS_OFF, 4);     /* shorty "V" */
    le_put_u32(buf + DEX_PROTO_IDS_OFF + 4, 2); /* returns void, no parameters */

    for (int i = 0; i < 2; i++) {               /* <init>()V of type 0 and of type 1 */
        unsigned char *m = buf + DEX_METHOD_IDS_OFF + 8 * i;
        le_put_u16(m, (uint16_t)i);
        le_put_u16(m + 2, 0);
        le_put_u32(m + 4, 0);
    }

    unsigned char *c = buf + DEX_CLASS_DEFS_OFF;
    le_put_u32(c, layout->own);
    le_put_u32(c + 4, 0x1); /* public */
    le_put_u32(c + 8, layout->sdl);
    le_put_u32(c + 16, 1);  /* source file "BrindlecotActivity.java" */
    le_put_u32(c + 24, layout->class_data_off);

    /* One register holding "this": invoke-direct {v0} of the superclass
     * constructor, then return-void. */
    unsigned char *code = buf + DEX_CODE_OFF;
    le_put_u16(code, 1);     /* registers */
    le_put_u16(code + 2, 1); /* ins */
    le_put_u16(code + 4, 1); /* outs */
    le_put_u32(code + 8, layout->debug_info_off);
    le_put_u32(code + 12, 4);
    le_put_u16(code + 16, 0x1070);
    le_put_u16(code + 18, (uint16_t)layout->sdl);
    le_put_u16(code + 22, 0x000e);
}

/* Assembles the whole file in buf; its size, or 0 when it would not fit. */
static size_t dex_assemble(unsigned char *buf, size_t buf_size, const char *descriptor)
{
    size_t own_length = SDL_strlen(descriptor);
    if (own_length > DEX_MAX_STRING || DEX_FILE_SIZE(own_length) > buf_size)
        return 0;
    SDL_memset(buf, 0, DEX_FILE_SIZE(own_length));

    /* Strings, types and methods must be sorted; the two descriptors are the
     * only pair whose order depends on the package id. */
    DexLayout layout;
    int own_first = SDL_strcmp(descriptor, SDL_ACTIVITY) < 0;
    layout.own = own_first ? 0 : 1;
    layout.sdl = 1 - layout.own;
    const char *const strings[DEX_STRING_COUNT] = {
        "<init>", "BrindlecotActivity.java", own_first ? descriptor : SDL_ACTIVITY,
        own_first ? SDL_ACTIVITY : descriptor, "V"};

    dex_put_data(buf, strings, &layout);
    dex_put_map(buf, &layout);
    dex_put_header(buf, &layout);
    dex_put_ids(buf, &layout);

    Sha1Context sha;
    sha1_init(&sha);
    sha1_update(&sha, buf + 32, layout.file_size - 32);
    sha1_final(buf + 12, &sha);
    uLong checksum = adler32(adler32(0L, Z_NULL, 0), buf + 12, layout.file_size - 12);
    le_put_u32(buf + 8, (uint32_t)checksum);
    return layout.file_size;
}

static const OutputTexts dex_texts = {
    {"Failed to open ", " for write"},
    {"Failed to write to ", ""},
    {"Failed to close ", ""},
};

static int dex_write_file(const char *path, const unsigned char *buf, size_t size)
{
    return output_write_file(path, buf, size, &dex_texts);
}

int write_activity_dex(const char *dir)
{
    const char *package_id = game_metadata_packageid ? game_metadata_packageid : "";
    if (!check_package_id(package_id))
        return 0;
    char *path = alloc_printf("%s/classes2.dex", dir);
    char *descriptor = path ? own_descriptor(package_id) : NULL;
    if (!descriptor) {
        report_out_of_memory();
        SDL_free(path);
        return 0;
    }
    publish_log_info("Creating Dalvik executable '%s' with %s...", path, descriptor);

    unsigned char buf[DEX_BUFFER_SIZE];
    size_t size = dex_assemble(buf, sizeof buf, descriptor);
    int ok = 0;
    if (!size)
        publish_log_error("Failed to create '%s': class %s is too long", path, descriptor);
    else
        ok = dex_write_file(path, buf, size);
    SDL_free(descriptor);
    SDL_free(path);
    return ok;
}
