#include "publish/zip_writer.h"

#include <SDL.h>
#include <zlib.h>

#include "engine/helpers.h"
#include "publish/byte_io.h"
#include "publish/output_file.h"
#include "publish/publish_log.h"
#include "publish/staging.h"

/* Per file entry: one input and one output buffer, whatever the file's
 * size. */
#define ZIP_BUFFER_SIZE (4 * 1024 * 1024)

#define ZIP_LOCAL_SIGNATURE 0x04034B50u
#define ZIP_CENTRAL_SIGNATURE 0x02014B50u
#define ZIP_END_SIGNATURE 0x06054B50u
#define ZIP_VERSION 20
#define ZIP_HOST_UNIX 3
#define ZIP_FLAG_MAX_COMPRESSION 0x0002u
#define ZIP_FLAG_UTF8 0x0800u
#define ZIP_METHOD_STORED 0
#define ZIP_METHOD_DEFLATED 8
#define ZIP_ATTR_DIRECTORY 0x41ED0010u
#define ZIP_ATTR_FILE 0x81A40000u
#define ZIP_ATTR_EXECUTABLE 0x81ED0000u
#define ZIP_LOCAL_HEADER_SIZE 30
#define ZIP_CENTRAL_HEADER_SIZE 46
#define ZIP_END_RECORD_SIZE 22
/* The classic format's fields: 16-bit counts and lengths, 32-bit sizes and
 * offsets. */
#define ZIP_MAX_ENTRIES 65535u
#define ZIP_MAX_NAME_LENGTH 65535u
#define ZIP_MAX_OFFSET 0xFFFFFFFFull

/* One archived entry, queued until the central directory is written. */
typedef struct ZipCentralEntry {
    char *name;            /* as stored: relative path, "/" ended for a directory */
    uint16_t name_length;
    uint32_t compressed_size;
    uint32_t uncompressed_size;
    uint32_t local_header_offset;
    uint32_t crc32;
    uint32_t external_attributes;
    uint16_t dos_date;
    uint16_t dos_time;
    uint32_t is_directory; /* 0 or 1 */
    uint16_t method;       /* 0 stored (directories, the stored file), 8 deflated */
    struct ZipCentralEntry *next;
} ZipCentralEntry;

/* One archive being written; handed to every walk callback as its data. */
typedef struct ZipContext {
    ZipCentralEntry entries; /* head sentinel: entries.next is the first */
    ZipCentralEntry *tail;   /* last queued entry, initially &entries */
    const char *zip_path;    /* for messages */
    int add_directory_entries;
    PHYSFS_File *out;
    const char *root_dir;    /* entry names are the paths below it */
    uint32_t entry_count;    /* queued entries, checked against the format's limit */
    const char *stored_name; /* the one file stored uncompressed, or NULL */
} ZipContext;

static PHYSFS_EnumerateCallbackResult zip_add_entry(void *ctx, const char *origdir,
                                                    const char *name);

/* zlib's allocation hooks, so compressor state comes from SDL's allocator. */
static void *zip_deflate_alloc(void *opaque, unsigned int items, unsigned int size)
{
    return SDL_malloc((size_t)items * size);
}

static void zip_deflate_free(void *opaque, void *address)
{
    SDL_free(address);
}

/* Days since 1970-01-01 to a civil date (proleptic Gregorian). */
static void zip_civil_from_days(int64_t z, int64_t *year, unsigned *month, unsigned *day)
{
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = (unsigned)(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = (int64_t)yoe + era * 400 + (*month <= 2);
}

void unix_time_to_dos(int64_t unix_seconds, uint16_t *dos_date, uint16_t *dos_time)
{
    /* 1980-01-01 00:00:00 UTC is the format's epoch. */
    if (unix_seconds < 315532800) {
        *dos_date = 0;
        *dos_time = 0;
        return;
    }
    int64_t days = unix_seconds / 86400;
    unsigned secs = (unsigned)(unix_seconds % 86400);
    int64_t year;
    unsigned month, day;
    zip_civil_from_days(days, &year, &month, &day);
    unsigned hour = secs / 3600, minute = (secs / 60) % 60, second = secs % 60;
    *dos_date = (uint16_t)((((unsigned)(year - 1980) & 0x7F) << 9) | (month << 5) | day);
    *dos_time = (uint16_t)((hour << 11) | (minute << 5) | (second / 2));
}

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
static const OutputTexts zip_texts = {
    "Opening '%s' for write failed: %s",
    "Write to '%s' failed: %s",
    NULL,
};

static int zip_write(ZipContext *ctx, const void *data, uint64_t length)
{
    return output_write(ctx->out, ctx->zip_path, data, (size_t)length, &zip_texts);
}

static int zip_tell(ZipContext *ctx, PHYSFS_sint64 *pos)
{
    *pos = PHYSFS_tell(ctx->out);
    if (*pos < 0) {
        publish_log_error("Position check on '%s' failed: %s", ctx->zip_path, fs_error_text());
        return 0;
    }
    return 1;
}

static void zip_report_too_large(ZipContext *ctx, const char *what)
{
    publish_log_error("Can't add '%s' to '%s': the zip format's sizes and offsets stop "
                      "below 4 GiB",
                      what, ctx->zip_path);
}

/* One entry as it is being written; becomes a ZipCentralEntry once its
 * local header has been completed. */
typedef struct ZipPending {
    const char *path;     /* full path, for reading and messages */
    const char *name;     /* stored name, "/" ended for a directory */
    uint32_t name_length;
    int is_directory;
    uint16_t method;
    uint32_t attributes;
    uint16_t dos_date;
    uint16_t dos_time;
    uint32_t offset;      /* of the local header */
    uint32_t crc;
    uint64_t compressed;
    uint64_t uncompressed;
} ZipPending;

/* Everything up to and including the alignment padding, so that the entry's
 * data starts at a multiple of 4 from the start of the archive. */
static int zip_write_local_header(ZipContext *ctx, ZipPending *e)
{
    PHYSFS_sint64 pos;
    if (!zip_tell(ctx, &pos)) {
        return 0;
    }
    if ((uint64_t)pos > ZIP_MAX_OFFSET) {
        zip_report_too_large(ctx, e->name);
        return 0;
    }
    e->offset = (uint32_t)pos;
    unsigned char h[ZIP_LOCAL_HEADER_SIZE] = {0};
    le_put_u32(h, ZIP_LOCAL_SIGNATURE);
    le_put_u16(h + 4, ZIP_VERSION);
    le_put_u16(h + 6, zip_entry_flags(e->method, e->name));
    le_put_u16(h + 8, e->method);
    le_put_u16(h + 10, e->dos_time);
    le_put_u16(h + 12, e->dos_date);
    /* CRC and sizes (14..25) stay zero until the data is written. */
    if (!zip_write(ctx, h, 26)) {
        return 0;
    }
    PHYSFS_sint64 q;
    if (!zip_tell(ctx, &q)) {
        return 0;
    }
    /* Q is taken before the two length fields, so the data starts at
     * Q + 4 + N + P; P is 1 to 4, never 0. */
    uint32_t padding = 4 - (uint32_t)(((uint64_t)q + e->name_length) % 4);
    le_put_u16(h + 26, e->name_length);
    le_put_u16(h + 28, padding);
    static const unsigned char zeros[4] = {0, 0, 0, 0};
    return zip_write(ctx, h + 26, 4) && zip_write(ctx, e->name, e->name_length) &&
           zip_write(ctx, zeros, padding);
}

static int zip_deflate_stream(ZipContext *ctx, ZipPending *e, PHYSFS_File *in,
                              z_stream *zs, unsigned char *inbuf, unsigned char *outbuf)
{
    int at_end = 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        if (zs->avail_in == 0 && !at_end) {
            PHYSFS_sint64 n = PHYSFS_readBytes(in, inbuf, ZIP_BUFFER_SIZE);
            if (n < 0) {
                publish_log_error("Read from '%s' failed: %s", e->path, fs_error_text());
                return 0;
            }
            at_end = PHYSFS_eof(in);
            if (n == 0 && !at_end) {
                /* Without this, a file that shrinks under us would end as a
                 * deflate error that hides the cause. */
                publish_log_error("Read from '%s' failed: %s", e->path, "unexpected end of file");
                return 0;
            }
            crc = crc32(crc, inbuf, (uInt)n);
            e->uncompressed += (uint64_t)n;
            if (e->uncompressed > ZIP_MAX_OFFSET) {
                zip_report_too_large(ctx, e->name);
                return 0;
            }
            zs->next_in = inbuf;
            zs->avail_in = (uInt)n;
        }
        zs->next_out = outbuf;
        zs->avail_out = ZIP_BUFFER_SIZE;
        int rc = deflate(zs, at_end ? Z_FINISH : Z_NO_FLUSH);
        uInt produced = ZIP_BUFFER_SIZE - zs->avail_out;
        if (produced) {
            if (!zip_write(ctx, outbuf, produced)) {
                return 0;
            }
            e->compressed += produced;
            if (e->compressed > ZIP_MAX_OFFSET) {
                zip_report_too_large(ctx, e->name);
                return 0;
            }
        }
        if (rc == Z_STREAM_END) {
            e->crc = (uint32_t)crc;
            return 1;
        }
        if (rc != Z_OK) {
            publish_log_error("Deflate of '%s' failed", e->path);
            return 0;
        }
    }
}

static int zip_compress_file(ZipContext *ctx, ZipPending *e)
{
    z_stream zs;
    SDL_zero(zs);
    zs.zalloc = zip_deflate_alloc;
    zs.zfree = zip_deflate_free;
    if (deflateInit2(&zs, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        publish_log_error("deflate init failed");
        return 0;
    }
    int result = 0;
    unsigned char *inbuf = NULL, *outbuf = NULL;
    PHYSFS_File *in = PHYSFS_openRead(e->path);
    if (!in) {
        publish_log_error("Opening '%s' for read failed: %s", e->path, fs_error_text());
    } else if (!(inbuf = (unsigned char *)SDL_malloc(ZIP_BUFFER_SIZE)) ||
               !(outbuf = (unsigned char *)SDL_malloc(ZIP_BUFFER_SIZE))) {
        report_out_of_memory();
    } else {
        result = zip_deflate_stream(ctx, e, in, &zs, inbuf, outbuf);
    }
    deflateEnd(&zs);
    if (in) {
        PHYSFS_close(in);
    }
    SDL_free(inbuf);
    SDL_free(outbuf);
    return result;
}

/* A file's bytes as they are, for the entry a reader maps from the
 * archive without inflating it. */
static int zip_store_file(ZipContext *ctx, ZipPending *e)
{
    PHYSFS_File *in = PHYSFS_openRead(e->path);
    if (!in) {
        publish_log_error("Opening '%s' for read failed: %s", e->path, fs_error_text());
        return 0;
    }
    unsigned char *buf = (unsigned char *)SDL_malloc(ZIP_BUFFER_SIZE);
    if (!buf) {
        report_out_of_memory();
        PHYSFS_close(in);
        return 0;
    }
    uLong crc = crc32(0L, Z_NULL, 0);
    int ok = 1;
    while (ok && !PHYSFS_eof(in)) {
        PHYSFS_sint64 n = PHYSFS_readBytes(in, buf, ZIP_BUFFER_SIZE);
        if (n < 0 || (n == 0 && !PHYSFS_eof(in))) {
            publish_log_error("Read from '%s' failed: %s", e->path,
                              n < 0 ? fs_error_text() : "unexpected end of file");
            ok = 0;
        } else if (e->uncompressed + (uint64_t)n > ZIP_MAX_OFFSET) {
            zip_report_too_large(ctx, e->name);
            ok = 0;
        } else if (zip_write(ctx, buf, (uint64_t)n)) {
            crc = crc32(crc, buf, (uInt)n);
            e->uncompressed += (uint64_t)n;
        } else {
            ok = 0;
        }
    }
    e->crc = (uint32_t)crc;
    e->compressed = e->uncompressed;
    SDL_free(buf);
    PHYSFS_close(in);
    return ok;
}

/* Fills in the CRC and sizes that were unknown when the header went out. */
static int zip_patch_local_header(ZipContext *ctx, const ZipPending *e)
{
    PHYSFS_sint64 end;
    if (!zip_tell(ctx, &end)) {
        return 0;
    }
    unsigned char p[12];
    le_put_u32(p, e->crc);
    le_put_u32(p + 4, (uint32_t)e->compressed);
    le_put_u32(p + 8, (uint32_t)e->uncompressed);
    /* zip_write logs its own failure; only a failed seek is said here. */
    if (!PHYSFS_seek(ctx->out, (PHYSFS_uint64)e->offset + 14)) {
        publish_log_error("Write to '%s' failed: %s", ctx->zip_path, fs_error_text());
        return 0;
    }
    if (!zip_write(ctx, p, 12)) {
        return 0;
    }
    if (!PHYSFS_seek(ctx->out, (PHYSFS_uint64)end)) {
        publish_log_error("Write to '%s' failed: %s", ctx->zip_path, fs_error_text());
        return 0;
    }
    return 1;
}

static int zip_queue_entry(ZipContext *ctx, const ZipPending *e)
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

/* Refuses what the classic format cannot record before anything of the
 * entry is written. */
static int zip_entry_fits(ZipContext *ctx, const ZipPending *e, const PHYSFS_Stat *st)
{
    if (ctx->entry_count >= ZIP_MAX_ENTRIES) {
        publish_log_error("Can't add '%s' to '%s': a zip archive holds at most %u entries",
                          e->name, ctx->zip_path, ZIP_MAX_ENTRIES);
        return 0;
    }
    if (e->name_length > ZIP_MAX_NAME_LENGTH) {
        publish_log_error("Can't add '%s' to '%s': a zip entry name holds at most %u bytes",
                          e->path, ctx->zip_path, ZIP_MAX_NAME_LENGTH);
        return 0;
    }
    if (!e->is_directory && st->filesize > 0 && (uint64_t)st->filesize > ZIP_MAX_OFFSET) {
        zip_report_too_large(ctx, e->name);
        return 0;
    }
    return 1;
}

static int zip_add_record(ZipContext *ctx, ZipPending *e, const PHYSFS_Stat *st)
{
    if (!zip_entry_fits(ctx, e, st)) {
        return 0;
    }
    unix_time_to_dos(st->modtime, &e->dos_date, &e->dos_time);
    publish_log_info("Adding '%s' to zip...", e->path + SDL_strlen(ctx->root_dir) + 1);
    if (!zip_write_local_header(ctx, e)) {
        return 0;
    }
    if (!e->is_directory) {
        int stored = e->method == ZIP_METHOD_STORED;
        if (!(stored ? zip_store_file(ctx, e) : zip_compress_file(ctx, e)) ||
            !zip_patch_local_header(ctx, e)) {
            return 0;
        }
    }
    return zip_queue_entry(ctx, e);
}

static PHYSFS_EnumerateCallbackResult zip_add_path(ZipContext *ctx, const char *path)
{
    PHYSFS_Stat st;
    if (!PHYSFS_stat(path, &st)) {
        publish_log_error("Failed to stat '%s': %s", path, fs_error_text());
        return PHYSFS_ENUM_ERROR;
    }
    int is_directory = st.filetype == PHYSFS_FILETYPE_DIRECTORY;
    if (!is_directory && st.filetype != PHYSFS_FILETYPE_REGULAR) {
        return PHYSFS_ENUM_OK; /* links and special files are not archived */
    }
    if (!is_directory || ctx->add_directory_entries) {
        const char *relative = path + SDL_strlen(ctx->root_dir) + 1;
        char *name = is_directory ? alloc_printf("%s/", relative) : SDL_strdup(relative);
        if (!name) {
            report_out_of_memory();
            return PHYSFS_ENUM_ERROR;
        }
        ZipPending e;
        SDL_zero(e);
        e.path = path;
        e.name = name;
        e.name_length = (uint32_t)SDL_strlen(name);
        e.is_directory = is_directory;
        e.method = is_directory || (ctx->stored_name && SDL_strcmp(name, ctx->stored_name) == 0)
                       ? ZIP_METHOD_STORED
                       : ZIP_METHOD_DEFLATED;
        e.attributes = is_directory                                  ? ZIP_ATTR_DIRECTORY
                       : SDL_strstr(relative, ".app/Contents/MacOS/") ? ZIP_ATTR_EXECUTABLE
                                                                      : ZIP_ATTR_FILE;
        int ok = zip_add_record(ctx, &e, &st);
        SDL_free(name);
        if (!ok) {
            return PHYSFS_ENUM_ERROR;
        }
    }
    /* A directory's contents follow its own entry. */
    if (is_directory && !PHYSFS_enumerate(path, zip_add_entry, ctx)) {
        return PHYSFS_ENUM_ERROR;
    }
    return PHYSFS_ENUM_OK;
}

static PHYSFS_EnumerateCallbackResult zip_add_entry(void *data, const char *origdir, const char *name)
{
    if (is_excluded_name(name)) {
        return PHYSFS_ENUM_OK;
    }
    char *path = alloc_printf("%s/%s", origdir, name);
    if (!path) {
        report_out_of_memory();
        return PHYSFS_ENUM_ERROR;
    }
    PHYSFS_EnumerateCallbackResult result = zip_add_path((ZipContext *)data, path);
    SDL_free(path);
    return result;
}

static int zip_write_central_record(ZipContext *ctx, const ZipCentralEntry *c)
{
    unsigned char h[ZIP_CENTRAL_HEADER_SIZE] = {0};
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
    return zip_write(ctx, h, sizeof h) && zip_write(ctx, c->name, c->name_length);
}

static int zip_write_directory_and_end(ZipContext *ctx)
{
    PHYSFS_sint64 start, end;
    if (!zip_tell(ctx, &start)) {
        return 0;
    }
    uint32_t count = 0;
    for (const ZipCentralEntry *c = ctx->entries.next; c; c = c->next) {
        if (!zip_write_central_record(ctx, c)) {
            return 0;
        }
        count++;
    }
    if (!zip_tell(ctx, &end)) {
        return 0;
    }
    /* The end record must be able to point at the central directory. */
    if ((uint64_t)end > ZIP_MAX_OFFSET) {
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

static void zip_free_entries(ZipContext *ctx)
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

/* An empty archive of a root that is not there would pass for a package of
 * a game with no files. */
static int zip_root_is_directory(const char *root_dir)
{
    PHYSFS_Stat st;
    if (!PHYSFS_stat(root_dir, &st)) {
        publish_log_error("Failed to stat '%s': %s", root_dir, fs_error_text());
        return 0;
    }
    if (st.filetype != PHYSFS_FILETYPE_DIRECTORY) {
        publish_log_error("Can't zip '%s': not a directory", root_dir);
        return 0;
    }
    return 1;
}

int zip_directory(const char *zip_path, const char *root_dir, int add_directory_entries)
{
    return zip_directory_storing(zip_path, root_dir, add_directory_entries, NULL);
}

int zip_directory_storing(const char *zip_path, const char *root_dir, int add_directory_entries,
                          const char *stored_name)
{
    publish_log_info("Zipping %s ...", zip_path);
    if (!zip_root_is_directory(root_dir)) {
        return 0;
    }
    PHYSFS_File *out = output_open(zip_path, &zip_texts);
    if (!out) {
        return 0;
    }
    ZipContext ctx;
    SDL_zero(ctx);
    ctx.tail = &ctx.entries;
    ctx.zip_path = zip_path;
    ctx.add_directory_entries = add_directory_entries;
    ctx.out = out;
    ctx.root_dir = root_dir;
    ctx.stored_name = stored_name;

    int written = PHYSFS_enumerate(root_dir, zip_add_entry, &ctx) &&
                  zip_write_directory_and_end(&ctx);
    int result = 0;
    if (!PHYSFS_close(out)) {
        if (written) {
            publish_log_error("Zipfile '%s' failed to flush to disk!", zip_path);
        }
    } else if (written) {
        publish_log_info("Zipfile '%s' successfully created!", zip_path);
        result = 1;
    }
    zip_free_entries(&ctx);
    return result;
}
