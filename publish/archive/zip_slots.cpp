#include "publish/archive/zip_slots.h"

#include <SDL.h>
#include <errno.h>
#include <string.h>

#include "engine/helpers.h"
#include "engine/tree_walk.h"
#include "platform/native_file.h"
#include "publish/archive/deflate_pool.h"
#include "publish/archive/zip_cache.h"
#include "publish/archive/zip_reuse.h"
#include "publish/archive/zip_run.h"
#include "publish/publish_log.h"

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
int zip_flush_slots(ZipContext *ctx)
{
    while (ctx->used > 0) {
        if (!zip_retire_oldest(ctx))
            return 0;
    }
    return 1;
}

/* After a failure: nothing more is written, but no job may outlive its
 * buffers. */
void zip_drop_slots(ZipContext *ctx)
{
    while (ctx->used > 0) {
        zip_slot_clear(ctx->run, &ctx->run->slots[ctx->head]);
        ctx->head = (ctx->head + 1) % ctx->run->slot_count;
        ctx->used--;
    }
}

/* The next free slot, with copies of e's strings; it counts as used only
 * once zip_commit_slot says so. NULL after a logged failure. */
ZipSlot *zip_prepare_slot(ZipContext *ctx, const ZipPending *e)
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

void zip_commit_slot(ZipContext *ctx)
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

/* 1 queued, -1 the file has outgrown the limit (nothing queued), 0 after a
 * logged failure. */
int zip_add_whole(ZipContext *ctx, const ZipPending *e)
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

/* Queues the entry with its stream from the cache. 1/0 (logged). */
int zip_add_known(ZipContext *ctx, const ZipPending *e, const ZipCacheEntry *known)
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
