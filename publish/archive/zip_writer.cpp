#include "publish/archive/zip_writer.h"

#include <SDL.h>

#include <errno.h>
#include <zlib.h>

#include "engine/helpers.h"
#include "engine/tree_walk.h"
#include "platform/signals.h"
#include "publish/archive/zip_archive.h"
#include "publish/archive/zip_cache.h"
#include "publish/archive/zip_reuse.h"
#include "publish/archive/zip_slots.h"
#include "publish/files/entry_name.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"

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

/* --- archives ----------------------------------------------------------- */

/* The entries (the walk of root_dir, or plan's), the central directory and
 * the end record into out from its current position, within run, or
 * within a run of its own when run is NULL. 1/0 (logged). */
static int zip_write_archive(ZipRun *run, OutFile *out, const char *zip_path,
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
    ctx.base = out_file_tell(out);
    int written;
    if (plan) {
        written = zip_add_plan(&ctx, plan);
    } else {
        /* Only staged trees are zipped whole: what is in them is the
         * publisher's own. */
        TreeWalkOptions walk = publish_walk_options(TREE_WALK_SKIP_EXCLUDED | TREE_WALK_OWN_TREE);
        walk.admit = entry_name_allowed;
        written = tree_walk(root_dir, &walk, zip_add_visit, &ctx);
    }
    written = written && zip_flush_slots(&ctx) && zip_write_directory_and_end(&ctx);
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
    OutFile *out = output_open_result(zip_path, &zip_texts);
    if (!out) {
        return 0;
    }
    int written = zip_write_archive(run, out, zip_path, root_dir, NULL, options);
    int result = 0;
    if (!output_finish(out, written)) {
        if (written && errno == ESTALE)
            output_log_failure(&zip_texts.close_failed, zip_path, output_native_cause(errno));
        else if (written)
            publish_log_error("Zipfile '%s' failed to flush to disk!", zip_path);
    } else if (written) {
        publish_log_info("Zipfile '%s' successfully created!", zip_path);
        result = 1;
    }
    return result;
}

int zip_plan_to(ZipRun *run, OutFile *out, const char *out_path, const GamePlan *plan,
                const ZipOptions *options)
{
    publish_log_info("Zipping %s ...", out_path);
    if (!zip_write_archive(run, out, out_path, NULL, plan, options))
        return 0;
    publish_log_info("Zipfile '%s' successfully created!", out_path);
    return 1;
}
