#include "publish/archive/zip_run.h"

#include <SDL.h>
#include <zlib.h>

#include "publish/archive/deflate_pool.h"
#include "publish/archive/zip_archive.h"
#include "publish/archive/zip_cache.h"
#include "publish/archive/zip_prepass.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"

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
