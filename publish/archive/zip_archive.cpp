#include "publish/archive/zip_archive.h"

#include <SDL.h>
#include <errno.h>

#include "engine/helpers.h"
#include "publish/archive/byte_io.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"

/* Names up to this length go out in one write with their header. */
#define ZIP_SHORT_NAME 256

#define ZIP_LOCAL_SIGNATURE 0x04034B50u
#define ZIP_CENTRAL_SIGNATURE 0x02014B50u
#define ZIP_END_SIGNATURE 0x06054B50u
#define ZIP_VERSION 20
#define ZIP_HOST_UNIX 3
#define ZIP_FLAG_MAX_COMPRESSION 0x0002u
#define ZIP_FLAG_UTF8 0x0800u
#define ZIP_LOCAL_HEADER_SIZE 30
#define ZIP_CENTRAL_HEADER_SIZE 46
#define ZIP_END_RECORD_SIZE 22

/* Readers take names as code page 437 unless told otherwise; PhysicsFS
 * names are UTF-8. */
static int zip_name_is_ascii(const char *name)
{
    for (const unsigned char *p = (const unsigned char *)name; *p; p++) {
        if (*p >= 0x80) {
            return 0;
        }
    }
    return 1;
}

static uint32_t zip_entry_flags(uint16_t method, const char *name)
{
    uint32_t flags = method == ZIP_METHOD_DEFLATED ? ZIP_FLAG_MAX_COMPRESSION : 0;
    return zip_name_is_ascii(name) ? flags : flags | ZIP_FLAG_UTF8;
}

/* Closing is the archive's own business: a failed flush is said with
 * its own line. */
const OutputTexts zip_texts = {
    {"Opening ", " for write failed"},
    {"Write to ", " failed"},
    {NULL, NULL},
};


int zip_write(ZipContext *ctx, const void *data, uint64_t length)
{
    if (!output_write(ctx->out, ctx->zip_path, data, (size_t)length, &zip_texts))
        return 0;
    ctx->pos += length;
    return 1;
}

void zip_report_too_large(ZipContext *ctx, const char *what)
{
    publish_log_error("Can't add '%s' to '%s': the zip format's sizes and offsets stop "
                      "below 4 GiB",
                      what, ctx->zip_path);
}

/* The whole local header, up to and including the alignment padding, so
 * that the entry's data starts at a multiple of 4 from the start of the
 * archive. CRC and sizes are written as e holds them: zero for a directory,
 * and for a streamed file until zip_patch_local_header. */
int zip_write_local_header(ZipContext *ctx, ZipPending *e)
{
    if (ctx->pos > ZIP_MAX_OFFSET) {
        zip_report_too_large(ctx, e->name);
        return 0;
    }
    e->offset = (uint32_t)ctx->pos;
    /* Q is the position right after the uncompressed-size field, so the
     * data starts at Q + 4 + N + P; P is 1 to 4, never 0. */
    uint64_t q = ctx->pos + 26;
    uint32_t padding = 4 - (uint32_t)((q + e->name_length) % 4);
    unsigned char h[ZIP_LOCAL_HEADER_SIZE + ZIP_SHORT_NAME + 4] = {0};
    le_put_u32(h, ZIP_LOCAL_SIGNATURE);
    le_put_u16(h + 4, ZIP_VERSION);
    le_put_u16(h + 6, zip_entry_flags(e->method, e->name));
    le_put_u16(h + 8, e->method);
    le_put_u16(h + 10, e->dos_time);
    le_put_u16(h + 12, e->dos_date);
    le_put_u32(h + 14, e->crc);
    le_put_u32(h + 18, (uint32_t)e->compressed);
    le_put_u32(h + 22, (uint32_t)e->uncompressed);
    le_put_u16(h + 26, e->name_length);
    le_put_u16(h + 28, padding);
    if (e->name_length <= ZIP_SHORT_NAME) {
        /* The padding is already zero. */
        SDL_memcpy(h + ZIP_LOCAL_HEADER_SIZE, e->name, e->name_length);
        return zip_write(ctx, h, ZIP_LOCAL_HEADER_SIZE + e->name_length + padding);
    }
    static const unsigned char zeros[4] = {0, 0, 0, 0};
    return zip_write(ctx, h, ZIP_LOCAL_HEADER_SIZE) &&
           zip_write(ctx, e->name, e->name_length) && zip_write(ctx, zeros, padding);
}

/* Fills in the CRC and sizes of a streamed entry, known only after its
 * data. */
int zip_patch_local_header(ZipContext *ctx, const ZipPending *e)
{
    unsigned char p[12];
    le_put_u32(p, e->crc);
    le_put_u32(p + 4, (uint32_t)e->compressed);
    le_put_u32(p + 8, (uint32_t)e->uncompressed);
    out_file_seek(ctx->out, ctx->base + e->offset + 14);
    if (!output_write(ctx->out, ctx->zip_path, p, sizeof p, &zip_texts))
        return 0;
    out_file_seek(ctx->out, ctx->base + ctx->pos);
    return 1;
}

int zip_data_fits(ZipContext *ctx, const ZipPending *e)
{
    if (e->compressed > ZIP_MAX_OFFSET || e->uncompressed > ZIP_MAX_OFFSET) {
        zip_report_too_large(ctx, e->name);
        return 0;
    }
    return 1;
}

int zip_queue_entry(ZipContext *ctx, const ZipPending *e)
{
    ZipCentralEntry *c = (ZipCentralEntry *)SDL_calloc(1, sizeof(ZipCentralEntry));
    char *name = c ? SDL_strdup(e->name) : NULL;
    if (!name) {
        SDL_free(c);
        report_out_of_memory();
        return 0;
    }
    c->name = name;
    c->name_length = (uint16_t)e->name_length;
    c->compressed_size = (uint32_t)e->compressed;
    c->uncompressed_size = (uint32_t)e->uncompressed;
    c->local_header_offset = e->offset;
    c->crc32 = e->crc;
    c->external_attributes = e->attributes;
    c->dos_date = e->dos_date;
    c->dos_time = e->dos_time;
    c->is_directory = e->is_directory ? 1 : 0;
    c->method = e->method;
    ctx->tail->next = c;
    ctx->tail = c;
    ctx->entry_count++;
    return 1;
}

/* path opened through PhysicsFS, or NULL after a logged failure whose
 * cause is the system's own when PhysicsFS's is vaguer. */
PHYSFS_File *zip_open_path(const char *path)
{
    errno = 0;
    PHYSFS_File *in = PHYSFS_openRead(path);
    if (!in) {
        int saved_errno = errno;
        publish_log_error("Opening '%s' for read failed: %s", path,
                          fs_error_cause(PHYSFS_getLastErrorCode(), saved_errno));
    }
    return in;
}

static int zip_write_central_record(ZipContext *ctx, const ZipCentralEntry *c)
{
    unsigned char h[ZIP_CENTRAL_HEADER_SIZE + ZIP_SHORT_NAME] = {0};
    le_put_u32(h, ZIP_CENTRAL_SIGNATURE);
    h[4] = ZIP_VERSION;
    h[5] = ZIP_HOST_UNIX;
    le_put_u16(h + 6, ZIP_VERSION);
    le_put_u16(h + 8, zip_entry_flags(c->method, c->name));
    le_put_u16(h + 10, c->method);
    le_put_u16(h + 12, c->dos_time);
    le_put_u16(h + 14, c->dos_date);
    le_put_u32(h + 16, c->crc32);
    le_put_u32(h + 20, c->compressed_size);
    le_put_u32(h + 24, c->uncompressed_size);
    le_put_u16(h + 28, c->name_length);
    /* extra, comment, disk, internal attributes: all zero */
    le_put_u32(h + 38, c->external_attributes);
    le_put_u32(h + 42, c->local_header_offset);
    if (c->name_length <= ZIP_SHORT_NAME) {
        SDL_memcpy(h + ZIP_CENTRAL_HEADER_SIZE, c->name, c->name_length);
        return zip_write(ctx, h, ZIP_CENTRAL_HEADER_SIZE + c->name_length);
    }
    return zip_write(ctx, h, ZIP_CENTRAL_HEADER_SIZE) &&
           zip_write(ctx, c->name, c->name_length);
}

int zip_write_directory_and_end(ZipContext *ctx)
{
    uint64_t start = ctx->pos;
    uint32_t count = 0;
    for (const ZipCentralEntry *c = ctx->entries.next; c; c = c->next) {
        if (!zip_write_central_record(ctx, c)) {
            return 0;
        }
        count++;
    }
    uint64_t end = ctx->pos;
    /* The end record must be able to point at the central directory. */
    if (end > ZIP_MAX_OFFSET) {
        publish_log_error("Zipfile '%s' is too large: the zip format's offsets stop below 4 GiB",
                          ctx->zip_path);
        return 0;
    }
    unsigned char r[ZIP_END_RECORD_SIZE] = {0};
    le_put_u32(r, ZIP_END_SIGNATURE);
    le_put_u16(r + 8, count & 0xFFFF);
    le_put_u16(r + 10, count & 0xFFFF);
    le_put_u32(r + 12, (uint32_t)(end - start));
    le_put_u32(r + 16, (uint32_t)start);
    return zip_write(ctx, r, sizeof r);
}

void zip_free_entries(ZipContext *ctx)
{
    ZipCentralEntry *c = ctx->entries.next;
    while (c) {
        ZipCentralEntry *next = c->next;
        SDL_free(c->name);
        SDL_free(c);
        c = next;
    }
    ctx->entries.next = NULL;
    ctx->tail = &ctx->entries;
}
