#include "publish/archive/zip_writer.h"

#include <SDL.h>
#include <errno.h>
#include <string.h>
#include <zlib.h>

#include "engine/helpers.h"
#include "engine/tree_walk.h"
#include "platform/native_file.h"
#include "platform/signals.h"
#include "publish/archive/byte_io.h"
#include "publish/archive/deflate_pool.h"
#include "publish/files/entry_name.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"
#include "publish/archive/zip_cache.h"
#include "publish/archive/zip_prepass.h"

/* Files up to this size are read whole and compressed in one call, on a
 * worker when the run has them; a slot holds one such file and its
 * compressed form. Larger files are streamed through the run's buffer
 * pair, ZIP_BUFFER_SIZE each. */
#define ZIP_WHOLE_FILE_LIMIT (2 * 1024 * 1024)
#define ZIP_BUFFER_SIZE (4 * 1024 * 1024)
/* Names up to this length go out in one write with their header. */
#define ZIP_SHORT_NAME 256

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

/* One entry between the walk and its place in the archive. */
typedef struct ZipPending {
    char *path;           /* full path, for reading and messages */
    int empty;            /* nothing to read: an empty file of the caller's,
                           * path only names it */
    char *name;           /* stored name, "/" ended for a directory */
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

typedef enum ZipSlotState {
    ZIP_SLOT_DIRECTORY,   /* nothing to compress */
    ZIP_SLOT_COMPRESSING, /* its job is with the workers */
    ZIP_SLOT_COMPRESSED,  /* the job's results are in */
    ZIP_SLOT_CACHED       /* the data comes from the cache */
} ZipSlotState;

/* An entry read but not yet written: entries go out strictly in walk
 * order, while later ones are being compressed. */
typedef struct ZipSlot {
    ZipPending entry;     /* path and name are the slot's own copies */
    ZipSlotState state;
    unsigned char *in;    /* ZIP_WHOLE_FILE_LIMIT bytes, kept for the run */
    unsigned char *out;   /* the run's slot_out_capacity bytes */
    DeflateJob job;
    const ZipCacheEntry *cached;
    uint8_t digest[ZIP_CACHE_DIGEST_SIZE];
    int add_to_cache;     /* the digest is good and the result is new */
} ZipSlot;

/* What one publish keeps from archive to archive. */
typedef struct ZipRun {
    z_stream zs;          /* the main thread's deflate state */
    unsigned char *stream_in;  /* streamed files; allocated on first use */
    unsigned char *stream_out;
    DeflatePool *pool;    /* NULL: everything is compressed on the main thread */
    ZipCache *cache;      /* NULL: no reuse */
    ZipSlot *slots;
    int slot_count;
    size_t slot_out_capacity;
    ZipRunStats stats;
} ZipRun;

/* One archive being written; handed to every walk callback as its data. */
typedef struct ZipContext {
    ZipCentralEntry entries; /* head sentinel: entries.next is the first */
    ZipCentralEntry *tail;   /* last queued entry, initially &entries */
    const char *zip_path;    /* for messages */
    PHYSFS_File *out;
    uint32_t entry_count;    /* queued entries, checked against the format's limit */
    const ZipOptions *options;
    ZipRun *run;
    uint64_t base;           /* position in out of the archive's first byte */
    uint64_t pos;            /* archive position, counted from base */
    int head;                /* first occupied slot */
    int used;                /* occupied slots */
} ZipContext;

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
    {"Opening ", " for write failed"},
    {"Write to ", " failed"},
    {NULL, NULL},
};


static int zip_write(ZipContext *ctx, const void *data, uint64_t length)
{
    if (!output_write(ctx->out, ctx->zip_path, data, (size_t)length, &zip_texts))
        return 0;
    ctx->pos += length;
    return 1;
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

/* The whole local header, up to and including the alignment padding, so
 * that the entry's data starts at a multiple of 4 from the start of the
 * archive. CRC and sizes are written as e holds them: zero for a directory,
 * and for a streamed file until zip_patch_local_header. */
static int zip_write_local_header(ZipContext *ctx, ZipPending *e)
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
static int zip_patch_local_header(ZipContext *ctx, const ZipPending *e)
{
    unsigned char p[12];
    le_put_u32(p, e->crc);
    le_put_u32(p + 4, (uint32_t)e->compressed);
    le_put_u32(p + 8, (uint32_t)e->uncompressed);
    /* output_write logs its own failure; only a failed seek is said here. */
    errno = 0;
    if (!PHYSFS_seek(ctx->out, ctx->base + e->offset + 14)) {
        publish_log_error("Seek in '%s' failed: %s", ctx->zip_path,
                          fs_error_cause(PHYSFS_getLastErrorCode(), errno));
        return 0;
    }
    if (!output_write(ctx->out, ctx->zip_path, p, sizeof p, &zip_texts))
        return 0;
    errno = 0;
    if (!PHYSFS_seek(ctx->out, ctx->base + ctx->pos)) {
        publish_log_error("Seek in '%s' failed: %s", ctx->zip_path,
                          fs_error_cause(PHYSFS_getLastErrorCode(), errno));
        return 0;
    }
    return 1;
}

static int zip_data_fits(ZipContext *ctx, const ZipPending *e)
{
    if (e->compressed > ZIP_MAX_OFFSET || e->uncompressed > ZIP_MAX_OFFSET) {
        zip_report_too_large(ctx, e->name);
        return 0;
    }
    return 1;
}

static void zip_report_cache_read(void)
{
    publish_log_error("Read from the compressed-data cache failed: %s", strerror(errno));
}

/* Writes an entry's compressed stream from the cache, through buffer. */
static int zip_copy_cached(ZipContext *ctx, const ZipCacheEntry *cached, unsigned char *buffer,
                           size_t capacity)
{
    uint64_t at = 0;
    while (at < cached->compressed_size) {
        uint64_t left = cached->compressed_size - at;
        size_t n = left < capacity ? (size_t)left : capacity;
        if (!zip_cache_read(ctx->run->cache, cached, at, buffer, n)) {
            zip_report_cache_read();
            return 0;
        }
        if (!zip_write(ctx, buffer, n))
            return 0;
        at += n;
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


/* --- entries compressed whole ------------------------------------------ */

static void zip_slot_clear(ZipRun *run, ZipSlot *s)
{
    if (s->state == ZIP_SLOT_COMPRESSING) {
        /* Its buffers stay the worker's until the job is done. */
        deflate_pool_wait(run->pool, &s->job);
        s->state = ZIP_SLOT_COMPRESSED;
    }
    SDL_free(s->entry.path);
    SDL_free(s->entry.name);
    s->entry.path = NULL;
    s->entry.name = NULL;
}

/* Takes a worker's results: data compressed, or the cache's entry when the
 * worker found the content there. */
static void zip_collect_job(ZipRun *run, ZipSlot *s)
{
    deflate_pool_wait(run->pool, &s->job);
    if (s->job.skipped) {
        /* Entries are never removed, so the worker's answer still holds. */
        s->cached = zip_cache_find(run->cache, s->job.digest, s->job.in_length);
        s->state = ZIP_SLOT_CACHED;
        run->stats.reused++;
        return;
    }
    s->state = ZIP_SLOT_COMPRESSED;
    run->stats.compressed++;
    if (s->job.digest_ok) {
        SDL_memcpy(s->digest, s->job.digest, sizeof s->digest);
        s->add_to_cache = 1;
    }
}

static int zip_write_slot(ZipContext *ctx, ZipSlot *s)
{
    ZipRun *run = ctx->run;
    ZipPending *e = &s->entry;
    if (s->state == ZIP_SLOT_COMPRESSING)
        zip_collect_job(run, s);
    if (s->state == ZIP_SLOT_COMPRESSED) {
        if (!s->job.ok) {
            publish_log_error("Deflate of '%s' failed", e->path);
            return 0;
        }
        e->crc = s->job.crc;
        e->compressed = s->job.out_length;
    } else if (s->state == ZIP_SLOT_CACHED) {
        e->crc = s->cached->crc;
        e->compressed = s->cached->compressed_size;
    }
    if (!zip_data_fits(ctx, e) || !zip_write_local_header(ctx, e))
        return 0;
    if (s->state == ZIP_SLOT_CACHED) {
        if (!zip_copy_cached(ctx, s->cached, s->out, run->slot_out_capacity))
            return 0;
    } else if (s->state == ZIP_SLOT_COMPRESSED) {
        if (!zip_write(ctx, s->out, e->compressed))
            return 0;
        if (s->add_to_cache) {
            zip_cache_add_begin(run->cache);
            zip_cache_add_bytes(run->cache, s->out, (size_t)e->compressed);
            zip_cache_add_commit(run->cache, s->digest, e->uncompressed, e->crc);
        }
    }
    return zip_queue_entry(ctx, e);
}

/* Writes the oldest waiting entry and frees its slot. */
static int zip_retire_oldest(ZipContext *ctx)
{
    ZipRun *run = ctx->run;
    ZipSlot *s = &run->slots[ctx->head];
    int ok = zip_write_slot(ctx, s);
    zip_slot_clear(run, s);
    ctx->head = (ctx->head + 1) % run->slot_count;
    ctx->used--;
    return ok;
}

/* Writes every waiting entry, in order. */
static int zip_flush_slots(ZipContext *ctx)
{
    while (ctx->used > 0) {
        if (!zip_retire_oldest(ctx))
            return 0;
    }
    return 1;
}

/* After a failure: nothing more is written, but no job may outlive its
 * buffers. */
static void zip_drop_slots(ZipContext *ctx)
{
    while (ctx->used > 0) {
        zip_slot_clear(ctx->run, &ctx->run->slots[ctx->head]);
        ctx->head = (ctx->head + 1) % ctx->run->slot_count;
        ctx->used--;
    }
}

/* The next free slot, with copies of e's strings; it counts as used only
 * once zip_commit_slot says so. NULL after a logged failure. */
static ZipSlot *zip_prepare_slot(ZipContext *ctx, const ZipPending *e)
{
    ZipRun *run = ctx->run;
    if (ctx->used == run->slot_count && !zip_retire_oldest(ctx))
        return NULL;
    ZipSlot *s = &run->slots[(ctx->head + ctx->used) % run->slot_count];
    if (!e->is_directory && !s->in) {
        s->in = (unsigned char *)SDL_malloc(ZIP_WHOLE_FILE_LIMIT);
        s->out = (unsigned char *)SDL_malloc(run->slot_out_capacity);
        if (!s->in || !s->out) {
            SDL_free(s->in);
            SDL_free(s->out);
            s->in = s->out = NULL;
            report_out_of_memory();
            return NULL;
        }
    }
    s->entry = *e;
    s->entry.path = SDL_strdup(e->path);
    s->entry.name = SDL_strdup(e->name);
    s->cached = NULL;
    s->add_to_cache = 0;
    s->state = ZIP_SLOT_DIRECTORY;
    if (!s->entry.path || !s->entry.name) {
        zip_slot_clear(run, s);
        report_out_of_memory();
        return NULL;
    }
    return s;
}

static void zip_commit_slot(ZipContext *ctx)
{
    ctx->used++;
}

/* Reads the whole file into buffer. 1 read (*length set), -1 the file is
 * larger than capacity by now, 0 after a logged failure. */
/* zip_read_whole from a native descriptor: the same results. */
static int zip_read_whole_fd(const char *path, int fd, unsigned char *buffer, size_t capacity,
                             size_t *length)
{
    size_t n = 0;
    int result = 1;
    for (;;) {
        /* One byte past the capacity tells a file that has grown by now. */
        unsigned char extra;
        long long got = n < capacity ? native_file_read(fd, buffer + n, capacity - n)
                                     : native_file_read(fd, &extra, 1);
        if (got < 0) {
            publish_log_error("Read from '%s' failed: %s", path, strerror(errno));
            result = 0;
            break;
        }
        if (got == 0)
            break;
        if (n == capacity) {
            result = -1;
            break;
        }
        n += (size_t)got;
    }
    native_file_close(fd);
    *length = n;
    return result;
}

/* path opened through PhysicsFS, or NULL after a logged failure whose
 * cause is the system's own when PhysicsFS's is vaguer. */
static PHYSFS_File *zip_open_path(const char *path)
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

static int zip_read_whole(const char *path, unsigned char *buffer, size_t capacity,
                          size_t *length)
{
    int fd = tree_walk_open(path);
    if (fd >= 0)
        return zip_read_whole_fd(path, fd, buffer, capacity, length);
    PHYSFS_File *in = zip_open_path(path);
    if (!in)
        return 0;
    size_t n = 0;
    int result = 1;
    while (!PHYSFS_eof(in)) {
        if (n == capacity) {
            result = -1;
            break;
        }
        PHYSFS_sint64 got = PHYSFS_readBytes(in, buffer + n, capacity - n);
        if (got < 0) {
            publish_log_error("Read from '%s' failed: %s", path, fs_error_text());
            result = 0;
            break;
        }
        if (got == 0 && !PHYSFS_eof(in)) {
            /* The file shrank under us, or the device failed. */
            publish_log_error("Read from '%s' failed: %s", path, "unexpected end of file");
            result = 0;
            break;
        }
        n += (size_t)got;
    }
    PHYSFS_close(in);
    *length = n;
    return result;
}

/* A worker's question before it compresses a file. */
static int zip_cache_skip_check(void *cache, const uint8_t digest[32], uint64_t length)
{
    return zip_cache_has((ZipCache *)cache, digest, length);
}

/* Looks the content up in the cache on this thread, for a run without
 * workers; remembers its digest for adding it once compressed. 1 when the
 * cache has it. */
static int zip_slot_from_cache(ZipRun *run, ZipSlot *s, size_t length)
{
    ZipCache *cache = run->cache;
    if (!zip_cache_digest_begin(cache) || !zip_cache_digest_update(cache, s->in, length) ||
        !zip_cache_digest_end(cache, s->digest))
        return 0; /* compressed as if there were no cache */
    s->cached = zip_cache_find(cache, s->digest, length);
    s->add_to_cache = s->cached == NULL;
    return s->cached != NULL;
}

/* 1 queued, -1 the file has outgrown the limit (nothing queued), 0 after a
 * logged failure. */
static int zip_add_whole(ZipContext *ctx, const ZipPending *e)
{
    ZipRun *run = ctx->run;
    ZipSlot *s = zip_prepare_slot(ctx, e);
    if (!s)
        return 0;
    size_t length = 0;
    int read = !e->empty ? zip_read_whole(e->path, s->in, ZIP_WHOLE_FILE_LIMIT, &length) : 1;
    if (read != 1) {
        zip_slot_clear(run, s);
        return read;
    }
    s->entry.uncompressed = length;
    if (run->cache && !run->pool && zip_slot_from_cache(run, s, length)) {
        s->state = ZIP_SLOT_CACHED;
        run->stats.reused++;
        zip_commit_slot(ctx);
        return 1;
    }
    DeflateJob *job = &s->job;
    SDL_zerop(job);
    job->in = s->in;
    job->in_length = length;
    job->out = s->out;
    job->out_capacity = run->slot_out_capacity;
    if (run->pool) {
        /* The digest is taken, and the cache asked, on the worker too: the
         * main thread only reads and writes. */
        if (run->cache) {
            job->skip_check = zip_cache_skip_check;
            job->skip_user = run->cache;
        }
        deflate_pool_submit(run->pool, job);
        s->state = ZIP_SLOT_COMPRESSING;
        zip_commit_slot(ctx);
        return 1;
    }
    job->ok = deflate_raw_buffer(&run->zs, job->in, job->in_length, job->out,
                                 job->out_capacity, &job->out_length, &job->crc);
    job->done = 1;
    s->state = ZIP_SLOT_COMPRESSED;
    run->stats.compressed++;
    zip_commit_slot(ctx);
    return 1;
}

/* --- entries streamed on the main thread -------------------------------- */

static int zip_stream_buffers(ZipRun *run)
{
    if (!run->stream_in)
        run->stream_in = (unsigned char *)SDL_malloc(ZIP_BUFFER_SIZE);
    if (!run->stream_out)
        run->stream_out = (unsigned char *)SDL_malloc(ZIP_BUFFER_SIZE);
    if (run->stream_in && run->stream_out)
        return 1;
    report_out_of_memory();
    return 0;
}

/* One read of a streamed file, with the checks every reader of it makes.
 * 1 (*n bytes, *at_end), 0 after a logged failure. */
static int zip_stream_read(ZipContext *ctx, ZipPending *e, PHYSFS_File *in, uint64_t *total,
                           PHYSFS_sint64 *n, int *at_end)
{
    *n = PHYSFS_readBytes(in, ctx->run->stream_in, ZIP_BUFFER_SIZE);
    if (*n < 0) {
        publish_log_error("Read from '%s' failed: %s", e->path, fs_error_text());
        return 0;
    }
    *at_end = PHYSFS_eof(in);
    if (*n == 0 && !*at_end) {
        /* Without this, a file that shrinks under us would end as a
         * deflate error that hides the cause. */
        publish_log_error("Read from '%s' failed: %s", e->path, "unexpected end of file");
        return 0;
    }
    *total += (uint64_t)*n;
    if (*total > ZIP_MAX_OFFSET) {
        zip_report_too_large(ctx, e->name);
        return 0;
    }
    return 1;
}

static PHYSFS_File *zip_open_input(const ZipPending *e)
{
    return zip_open_path(e->path);
}

/* A first pass over a large file for its cache key. 1/0 (logged). */
static int zip_digest_file(ZipContext *ctx, ZipPending *e, uint8_t *digest, uint64_t *size,
                           int *usable)
{
    ZipCache *cache = ctx->run->cache;
    PHYSFS_File *in = zip_open_input(e);
    if (!in)
        return 0;
    *size = 0;
    *usable = zip_cache_digest_begin(cache);
    int at_end = 0, ok = 1;
    while (ok && !at_end) {
        PHYSFS_sint64 n;
        ok = zip_stream_read(ctx, e, in, size, &n, &at_end);
        if (ok && *usable)
            *usable = zip_cache_digest_update(cache, ctx->run->stream_in, (size_t)n);
    }
    PHYSFS_close(in);
    if (ok && *usable)
        *usable = zip_cache_digest_end(cache, digest);
    return ok;
}

/* Compresses the file into the archive (and into the cache when keep is
 * set, its digest taken over the very bytes compressed). */
static int zip_deflate_stream(ZipContext *ctx, ZipPending *e, PHYSFS_File *in, int keep,
                              uint8_t *digest)
{
    ZipRun *run = ctx->run;
    z_stream *zs = &run->zs;
    if (deflateReset(zs) != Z_OK) {
        publish_log_error("Deflate of '%s' failed", e->path);
        return 0;
    }
    if (keep) {
        zip_cache_add_begin(run->cache);
        keep = zip_cache_digest_begin(run->cache);
    }
    int at_end = 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        if (zs->avail_in == 0 && !at_end) {
            PHYSFS_sint64 n;
            if (!zip_stream_read(ctx, e, in, &e->uncompressed, &n, &at_end))
                return 0;
            crc = crc32(crc, run->stream_in, (uInt)n);
            if (keep)
                keep = zip_cache_digest_update(run->cache, run->stream_in, (size_t)n);
            zs->next_in = run->stream_in;
            zs->avail_in = (uInt)n;
        }
        zs->next_out = run->stream_out;
        zs->avail_out = ZIP_BUFFER_SIZE;
        int rc = deflate(zs, at_end ? Z_FINISH : Z_NO_FLUSH);
        uInt produced = ZIP_BUFFER_SIZE - zs->avail_out;
        if (produced) {
            if (!zip_write(ctx, run->stream_out, produced))
                return 0;
            if (keep)
                zip_cache_add_bytes(run->cache, run->stream_out, produced);
            e->compressed += produced;
            if (e->compressed > ZIP_MAX_OFFSET) {
                zip_report_too_large(ctx, e->name);
                return 0;
            }
        }
        if (rc == Z_STREAM_END) {
            e->crc = (uint32_t)crc;
            if (keep && zip_cache_digest_end(run->cache, digest))
                zip_cache_add_commit(run->cache, digest, e->uncompressed, e->crc);
            return 1;
        }
        if (rc != Z_OK) {
            publish_log_error("Deflate of '%s' failed", e->path);
            return 0;
        }
    }
}

/* A file too large to be compressed whole; every entry before it has been
 * written. */
static int zip_add_streamed(ZipContext *ctx, ZipPending *e)
{
    ZipRun *run = ctx->run;
    if (!zip_stream_buffers(run))
        return 0;
    uint8_t digest[ZIP_CACHE_DIGEST_SIZE];
    int keep = 0;
    if (run->cache) {
        uint64_t size;
        if (!zip_digest_file(ctx, e, digest, &size, &keep))
            return 0;
        const ZipCacheEntry *cached = keep ? zip_cache_find(run->cache, digest, size) : NULL;
        if (cached) {
            e->crc = cached->crc;
            e->compressed = cached->compressed_size;
            e->uncompressed = cached->size;
            run->stats.reused++;
            return zip_write_local_header(ctx, e) &&
                   zip_copy_cached(ctx, cached, run->stream_out, ZIP_BUFFER_SIZE) &&
                   zip_queue_entry(ctx, e);
        }
    }
    if (!zip_write_local_header(ctx, e))
        return 0;
    PHYSFS_File *in = zip_open_input(e);
    if (!in)
        return 0;
    int ok = zip_deflate_stream(ctx, e, in, keep, digest);
    PHYSFS_close(in);
    run->stats.compressed++;
    return ok && zip_patch_local_header(ctx, e) && zip_queue_entry(ctx, e);
}

/* A file's bytes as they are, for the entry a reader maps from the archive
 * without inflating it. Every entry before it has been written. */
static int zip_add_stored(ZipContext *ctx, ZipPending *e)
{
    ZipRun *run = ctx->run;
    if (!zip_stream_buffers(run) || !zip_write_local_header(ctx, e))
        return 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    if (e->empty)
        return zip_patch_local_header(ctx, e) && zip_queue_entry(ctx, e);
    PHYSFS_File *in = zip_open_input(e);
    if (!in)
        return 0;
    int at_end = 0, ok = 1;
    while (ok && !at_end) {
        PHYSFS_sint64 n;
        ok = zip_stream_read(ctx, e, in, &e->uncompressed, &n, &at_end) &&
             zip_write(ctx, run->stream_in, (uint64_t)n);
        if (ok)
            crc = crc32(crc, run->stream_in, (uInt)n);
    }
    PHYSFS_close(in);
    e->crc = (uint32_t)crc;
    e->compressed = e->uncompressed;
    return ok && zip_patch_local_header(ctx, e) && zip_queue_entry(ctx, e);
}

/* --- entries known unchanged -------------------------------------------- */

/* The cached content of the file at path when this run has read that very
 * version of it (the first pass, or a staged copy of what it read), without
 * opening it. */
static const ZipCacheEntry *zip_known_file(ZipRun *run, const char *path)
{
    if (!run->cache)
        return NULL;
    char *native = tree_walk_native_path(path);
    NativeFileIdentity id;
    int found = native && native_path_identity(native, &id);
    SDL_free(native);
    return found ? zip_cache_find_file(run->cache, &id) : NULL;
}

/* Queues the entry with its stream from the cache. 1/0 (logged). */
static int zip_add_known(ZipContext *ctx, const ZipPending *e, const ZipCacheEntry *known)
{
    ZipSlot *s = zip_prepare_slot(ctx, e);
    if (!s)
        return 0;
    s->entry.uncompressed = known->size;
    s->cached = known;
    s->state = ZIP_SLOT_CACHED;
    ctx->run->stats.reused++;
    ctx->run->stats.unread++;
    zip_commit_slot(ctx);
    return 1;
}

/* --- the walk ----------------------------------------------------------- */

/* Refuses what the classic format cannot record before anything of the
 * entry is written. */
static int zip_entry_fits(ZipContext *ctx, const ZipPending *e, const PHYSFS_Stat *st)
{
    if (ctx->entry_count + (uint32_t)ctx->used >= ZIP_MAX_ENTRIES) {
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

static int zip_add_record(ZipContext *ctx, ZipPending *e, const char *relative,
                          const PHYSFS_Stat *st)
{
    if (!zip_entry_fits(ctx, e, st)) {
        return 0;
    }
    unix_time_to_dos(st->modtime, &e->dos_date, &e->dos_time);
    publish_log_info("Adding '%s' to zip...", relative);
    if (e->is_directory) {
        if (!zip_prepare_slot(ctx, e))
            return 0;
        zip_commit_slot(ctx);
        return 1;
    }
    if (e->method == ZIP_METHOD_STORED)
        return zip_flush_slots(ctx) && zip_add_stored(ctx, e);
    const ZipCacheEntry *known = e->empty ? NULL : zip_known_file(ctx->run, e->path);
    if (known)
        return zip_add_known(ctx, e, known);
    if (st->filesize >= 0 && st->filesize <= ZIP_WHOLE_FILE_LIMIT) {
        int added = zip_add_whole(ctx, e);
        if (added >= 0)
            return added;
    }
    return zip_flush_slots(ctx) && zip_add_streamed(ctx, e);
}

/* One entry, its bytes read from path (NULL: an empty file), stored as
 * relative; a directory's contents follow its own entry. */
static int zip_add_entry(ZipContext *ctx, const char *path, const char *relative,
                         int is_directory, const PHYSFS_Stat *st)
{
    if (is_directory && !ctx->options->add_directory_entries)
        return 1;
    char *name = is_directory ? alloc_printf("%s/", relative) : SDL_strdup(relative);
    if (!name) {
        report_out_of_memory();
        return 0;
    }
    ZipEntrySpec spec = {0, 0};
    if (!is_directory && ctx->options->entry_rule)
        ctx->options->entry_rule(ctx->options->rule_user, name, &spec);
    ZipPending e;
    SDL_zero(e);
    e.path = (char *)(path ? path : relative);
    e.empty = path == NULL;
    e.name = name;
    e.name_length = (uint32_t)SDL_strlen(name);
    e.is_directory = is_directory;
    e.method = is_directory || spec.stored ? ZIP_METHOD_STORED : ZIP_METHOD_DEFLATED;
    e.attributes = is_directory      ? ZIP_ATTR_DIRECTORY
                   : spec.executable ? ZIP_ATTR_EXECUTABLE
                                     : ZIP_ATTR_FILE;
    int ok = zip_add_record(ctx, &e, relative, st);
    SDL_free(name);
    return ok;
}

static int zip_add_visit(void *context, const TreeWalkEntry *w)
{
    return zip_add_entry((ZipContext *)context, w->path, w->relative, w->is_directory, w->st);
}

/* The entries of a plan in its order, with the gate of a walk: a stop
 * signal is honoured before each. */
static int zip_add_plan(ZipContext *ctx, const GamePlan *plan)
{
    for (size_t i = 0; i < plan->count; i++) {
        const GamePlanEntry *p = &plan->entries[i];
        signals_checkpoint();
        if (!zip_add_entry(ctx, p->source, p->name, p->is_directory, &p->st))
            return 0;
    }
    return 1;
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

static int zip_write_directory_and_end(ZipContext *ctx)
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


/* --- runs --------------------------------------------------------------- */

static void zip_run_free(ZipRun *run)
{
    deflate_pool_destroy(run->pool);
    zip_cache_destroy(run->cache);
    if (run->slots) {
        for (int i = 0; i < run->slot_count; i++) {
            SDL_free(run->slots[i].in);
            SDL_free(run->slots[i].out);
        }
        SDL_free(run->slots);
    }
    SDL_free(run->stream_in);
    SDL_free(run->stream_out);
    deflateEnd(&run->zs);
    SDL_free(run);
}

static ZipCache *zip_run_cache(const char *cache_dir)
{
    size_t dir_length = 0;
    char *native = output_native_path(cache_dir, &dir_length);
    if (!native)
        return NULL;
    /* Without the cache the run is only slower. */
    ZipCache *cache = zip_cache_create(native, dir_length);
    SDL_free(native);
    return cache;
}

ZipRun *zip_run_create(const char *cache_dir, int single_threaded)
{
    ZipRun *run = (ZipRun *)SDL_calloc(1, sizeof *run);
    if (!run) {
        report_out_of_memory();
        return NULL;
    }
    if (!deflate_raw_init(&run->zs)) {
        SDL_free(run);
        publish_log_error("deflate init failed");
        return NULL;
    }
    run->slot_out_capacity = deflateBound(&run->zs, ZIP_WHOLE_FILE_LIMIT);
    run->slot_count = 1;
    if (!single_threaded) {
        int workers = deflate_pool_default_workers();
        /* Without workers everything is compressed here, only slower. */
        run->pool = deflate_pool_create(workers);
        /* Two slots a worker: one being compressed, one waiting. */
        if (run->pool)
            run->slot_count = 2 * workers;
        if (cache_dir)
            run->cache = zip_run_cache(cache_dir);
    }
    run->slots = (ZipSlot *)SDL_calloc((size_t)run->slot_count, sizeof(ZipSlot));
    if (!run->slots) {
        zip_run_free(run);
        report_out_of_memory();
        return NULL;
    }
    return run;
}

void zip_run_destroy(ZipRun *run)
{
    if (run)
        zip_run_free(run);
}

void zip_run_prepare(ZipRun *run, const char *game_dir, const NativeEntryRule *natives,
                     size_t count)
{
    if (run->pool && run->cache && count > 0)
        run->stats.compressed += zip_prepass(run->pool, run->cache, game_dir, natives, count);
}

void zip_run_note_copy(ZipRun *run, const NativeFileIdentity *source,
                       const NativeFileIdentity *copy)
{
    if (run->cache)
        zip_cache_note_copy(run->cache, source, copy);
}

void zip_run_forget_file(ZipRun *run, const NativeFileIdentity *gone)
{
    if (run->cache)
        zip_cache_forget_file(run->cache, gone);
}

ZipRunStats zip_run_stats(const ZipRun *run)
{
    return run->stats;
}

/* --- archives ----------------------------------------------------------- */

/* The entries (the walk of root_dir, or plan's), the central directory and
 * the end record into out from its current position, within run, or
 * within a run of its own when run is NULL. 1/0 (logged). */
static int zip_write_archive(ZipRun *run, PHYSFS_File *out, const char *zip_path,
                             const char *root_dir, const GamePlan *plan,
                             const ZipOptions *options)
{
    ZipRun *own = run ? NULL : zip_run_create(NULL, 0);
    if (!run && !own)
        return 0;
    ZipContext ctx;
    SDL_zero(ctx);
    ctx.tail = &ctx.entries;
    ctx.zip_path = zip_path;
    ctx.options = options;
    ctx.out = out;
    ctx.run = run ? run : own;
    PHYSFS_sint64 base;
    int written = zip_tell(&ctx, &base);
    if (written) {
        ctx.base = (uint64_t)base;
        if (plan) {
            written = zip_add_plan(&ctx, plan);
        } else {
            TreeWalkOptions walk = publish_walk_options(TREE_WALK_SKIP_EXCLUDED);
            walk.admit = entry_name_allowed;
            written = tree_walk(root_dir, &walk, zip_add_visit, &ctx);
        }
        written = written && zip_flush_slots(&ctx) && zip_write_directory_and_end(&ctx);
    }
    zip_drop_slots(&ctx);
    zip_free_entries(&ctx);
    zip_run_destroy(own);
    return written;
}

int zip_directory(ZipRun *run, const char *zip_path, const char *root_dir,
                  const ZipOptions *options)
{
    publish_log_info("Zipping %s ...", zip_path);
    if (!zip_root_is_directory(root_dir)) {
        return 0;
    }
    PHYSFS_File *out = output_open_result(zip_path, &zip_texts);
    if (!out) {
        return 0;
    }
    int written = zip_write_archive(run, out, zip_path, root_dir, NULL, options);
    int result = 0;
    if (!output_finish(out, written)) {
        if (written) {
            publish_log_error("Zipfile '%s' failed to flush to disk!", zip_path);
        }
    } else if (written) {
        publish_log_info("Zipfile '%s' successfully created!", zip_path);
        result = 1;
    }
    return result;
}

int zip_plan_to(ZipRun *run, PHYSFS_File *out, const char *out_path, const GamePlan *plan,
                const ZipOptions *options)
{
    publish_log_info("Zipping %s ...", out_path);
    if (!zip_write_archive(run, out, out_path, NULL, plan, options))
        return 0;
    publish_log_info("Zipfile '%s' successfully created!", out_path);
    return 1;
}
