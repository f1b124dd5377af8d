#include "publish/android/resource_table.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/archive/byte_io.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"
#include "publish/files/file_copy.h"

#include <SDL.h>
#include <physfs.h>

#include <stddef.h>
#include <stdint.h>

#define RES_STRING_POOL_TYPE 0x0001
#define RES_TABLE_TYPE 0x0002
#define RES_TABLE_PACKAGE_TYPE 0x0200

#define ARSC_TABLE_HEADER_SIZE 12
#define ARSC_POOL_HEADER_SIZE 28
#define ARSC_PACKAGE_HEADER_SIZE 288
#define ARSC_PACKAGE_ID 0x7F
/* The package header's name field, in UTF-16 units; the last one is
 * always zero. */
#define ARSC_PACKAGE_NAME_UNITS 128
/* Header up to the name (12 bytes), the name, then the block. */
#define ARSC_PACKAGE_CHUNK_SIZE (12 + 2 * ARSC_PACKAGE_NAME_UNITS + RESOURCE_TABLE_BLOCK_SIZE)

/* The paths write_android_icons writes, in the density order the block's
 * five icon configurations refer to as global strings 0 to 4. */
static const char *const arsc_icon_paths[] = {
    "res/mipmap-mdpi-v4/ic_launcher.png",   "res/mipmap-hdpi-v4/ic_launcher.png",
    "res/mipmap-xhdpi-v4/ic_launcher.png",  "res/mipmap-xxhdpi-v4/ic_launcher.png",
    "res/mipmap-xxxhdpi-v4/ic_launcher.png",
};
#define ARSC_ICON_COUNT (sizeof arsc_icon_paths / sizeof arsc_icon_paths[0])
/* The five icon paths, then the title (global string 5). */
#define ARSC_STRING_COUNT (ARSC_ICON_COUNT + 1)

static_assert(ARSC_PACKAGE_CHUNK_SIZE == 1592, "the package chunk size is fixed");

/* One string of the global pool: its UTF-16 units, already little-endian. */
typedef struct ArscString {
    unsigned char *units;
    uint32_t count;
} ArscString;

static const OutputTexts arsc_texts = {
    {"Failed to open ", " for write"},
    {"Write in ", " failed"},
    {"Failed to close ", ""},
};

typedef struct ArscFile {
    OutFile *f;
    const char *path;
} ArscFile;

/* 0 after the out-of-memory line. */
static int arsc_convert(const char *text, ArscString *out)
{
    out->units = utf16le_from_utf8(text, &out->count);
    if (!out->units) {
        report_out_of_memory();
        return 0;
    }
    return 1;
}

static void arsc_free_strings(ArscString *strings)
{
    for (size_t i = 0; i < ARSC_STRING_COUNT; i++)
        SDL_free(strings[i].units);
}

/* The icon paths and the title; 0 after one logged error. */
static int arsc_convert_strings(const char *path, ArscString *strings)
{
    for (size_t i = 0; i < ARSC_ICON_COUNT; i++)
        if (!arsc_convert(arsc_icon_paths[i], &strings[i]))
            return 0;
    const char *title = game_metadata_gametitle ? game_metadata_gametitle : "";
    if (!arsc_convert(title, &strings[ARSC_ICON_COUNT]))
        return 0;
    uint32_t units = strings[ARSC_ICON_COUNT].count;
    if (units > RESOURCE_TABLE_MAX_TITLE_UNITS) {
        /* A longer length would be read as the first half of the format's
         * two-unit length and garble the whole pool. */
        publish_log_error("Can't write '%s': the game title (metadata key gametitle) is %u "
                          "UTF-16 units long, at most %u fit",
                          path, (unsigned)units, (unsigned)RESOURCE_TABLE_MAX_TITLE_UNITS);
        return 0;
    }
    return 1;
}

static int arsc_write(ArscFile *a, const void *data, size_t len)
{
    return output_write(a->f, a->path, data, len, &arsc_texts);
}

static int arsc_u16(ArscFile *a, uint16_t v)
{
    unsigned char b[2];
    le_put_u16(b, v);
    return arsc_write(a, b, sizeof b);
}

static int arsc_u32(ArscFile *a, uint32_t v)
{
    unsigned char b[4];
    le_put_u32(b, v);
    return arsc_write(a, b, sizeof b);
}

static int arsc_tell(ArscFile *a, uint64_t *pos)
{
    *pos = out_file_tell(a->f);
    return 1;
}

/* Writes value into the u32 at field and comes back to the end. */
static int arsc_patch_u32(ArscFile *a, uint64_t field, uint32_t value)
{
    uint64_t end = out_file_tell(a->f);
    out_file_seek(a->f, field);
    if (!arsc_u32(a, value))
        return 0;
    out_file_seek(a->f, end);
    return 1;
}

/* The global string pool, starting right after the table header. */
static int arsc_write_pool(ArscFile *a, const ArscString *strings)
{
    uint64_t start, size_field, end;
    uint32_t offsets_size = 4 * ARSC_STRING_COUNT;
    if (!arsc_tell(a, &start) || !arsc_u16(a, RES_STRING_POOL_TYPE) ||
        !arsc_u16(a, ARSC_POOL_HEADER_SIZE) || !arsc_tell(a, &size_field) || !arsc_u32(a, 0) ||
        !arsc_u32(a, ARSC_STRING_COUNT) || !arsc_u32(a, 0) || !arsc_u32(a, 0) ||
        !arsc_u32(a, ARSC_POOL_HEADER_SIZE + offsets_size) || !arsc_u32(a, 0))
        return 0;
    /* Each string takes its length, its units and a terminating zero unit. */
    uint32_t offset = 0;
    for (size_t i = 0; i < ARSC_STRING_COUNT; i++) {
        if (!arsc_u32(a, offset))
            return 0;
        offset += (strings[i].count + 2) * 2;
    }
    for (size_t i = 0; i < ARSC_STRING_COUNT; i++)
        if (!arsc_u16(a, (uint16_t)strings[i].count) ||
            !arsc_write(a, strings[i].units, 2 * (size_t)strings[i].count) || !arsc_u16(a, 0))
            return 0;
    /* Positions are even here; the package chunk must start 4-aligned. */
    if (!arsc_tell(a, &end))
        return 0;
    if (end % 4 != 0) {
        if (!arsc_u16(a, 0) || !arsc_tell(a, &end))
            return 0;
    }
    return arsc_patch_u32(a, size_field, (uint32_t)(end - start));
}

/* The package header up to the block: the package id, cut to 127 bytes and
 * then converted, fills the 128-unit name field, which ends with a zero. */
static int arsc_write_package_header(ArscFile *a)
{
    char id[ARSC_PACKAGE_NAME_UNITS];
    SDL_snprintf(id, sizeof id, "%s", game_metadata_packageid ? game_metadata_packageid : "");
    PHYSFS_uint16 name[ARSC_PACKAGE_NAME_UNITS];
    SDL_zeroa(name);
    PHYSFS_utf8ToUtf16(id, name, sizeof name);
    unsigned char le[2 * ARSC_PACKAGE_NAME_UNITS];
    for (size_t i = 0; i < ARSC_PACKAGE_NAME_UNITS; i++)
        le_put_u16(le + 2 * i, name[i]);
    return arsc_u16(a, RES_TABLE_PACKAGE_TYPE) && arsc_u16(a, ARSC_PACKAGE_HEADER_SIZE) &&
           arsc_u32(a, ARSC_PACKAGE_CHUNK_SIZE) && arsc_u32(a, ARSC_PACKAGE_ID) &&
           arsc_write(a, le, sizeof le);
}

/* Appends the installation's block and checks its length: the package
 * chunk's size is a constant, so a block of another length would make every
 * reader misplace what follows. */
static int arsc_append_block(ArscFile *a)
{
    uint64_t before, after;
    if (!arsc_tell(a, &before) || !copy_stream(a->f, a->path, RESOURCE_TABLE_BLOCK_PATH) ||
        !arsc_tell(a, &after))
        return 0;
    if (after - before != RESOURCE_TABLE_BLOCK_SIZE) {
        publish_log_error("Resource block '%s' is %lld bytes long; it must be exactly %d bytes",
                          RESOURCE_TABLE_BLOCK_PATH, (long long)(after - before),
                          RESOURCE_TABLE_BLOCK_SIZE);
        return 0;
    }
    return 1;
}

static int arsc_write_table(ArscFile *a, const ArscString *strings)
{
    uint64_t size_field, length;
    if (!arsc_u16(a, RES_TABLE_TYPE) || !arsc_u16(a, ARSC_TABLE_HEADER_SIZE) ||
        !arsc_tell(a, &size_field) || !arsc_u32(a, 0) || !arsc_u32(a, 1))
        return 0;
    if (!arsc_write_pool(a, strings) || !arsc_write_package_header(a) || !arsc_append_block(a))
        return 0;
    return arsc_tell(a, &length) && arsc_patch_u32(a, size_field, (uint32_t)length);
}

int write_resources_arsc(const char *build_root)
{
    char *path = alloc_printf("%s/resources.arsc", build_root);
    if (!path) {
        report_out_of_memory();
        return 0;
    }
    publish_log_info("Creating Android arsc '%s' ...", path);
    fs_mkdir(build_root); /* a failure shows up as the open's */

    int ok = 0;
    ArscString strings[ARSC_STRING_COUNT];
    SDL_zeroa(strings);
    if (arsc_convert_strings(path, strings)) {
        ArscFile a = {output_open(path, &arsc_texts), path};
        if (a.f) {
            ok = arsc_write_table(&a, strings);
            if (ok)
                ok = output_close(a.f, path, &arsc_texts);
            else
                output_abandon(a.f);
        }
    }
    arsc_free_strings(strings);
    SDL_free(path);
    return ok;
}
