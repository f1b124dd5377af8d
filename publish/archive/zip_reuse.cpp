#include "publish/archive/zip_reuse.h"

#include <SDL.h>
#include <errno.h>
#include <string.h>

#include "engine/tree_walk.h"
#include "platform/native_file.h"
#include "publish/archive/zip_cache.h"
#include "publish/archive/zip_run.h"
#include "publish/publish_log.h"

static void zip_report_cache_read(void)
{
    publish_log_error("Read from the compressed-data cache failed: %s", strerror(errno));
}

/* Writes an entry's compressed stream from the cache, through buffer. */
int zip_copy_cached(ZipContext *ctx, const ZipCacheEntry *cached, unsigned char *buffer,
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

/* Looks the content up in the cache on this thread, for a run without
 * workers; remembers its digest for adding it once compressed. 1 when the
 * cache has it. */
int zip_slot_from_cache(ZipRun *run, ZipSlot *s, size_t length)
{
    ZipCache *cache = run->cache;
    if (!zip_cache_digest_begin(cache) || !zip_cache_digest_update(cache, s->in, length) ||
        !zip_cache_digest_end(cache, s->digest))
        return 0; /* compressed as if there were no cache */
    s->cached = zip_cache_find(cache, s->digest, length);
    s->add_to_cache = s->cached == NULL;
    return s->cached != NULL;
}

/* --- entries known unchanged -------------------------------------------- */

/* The cached content of the file at path when this run has read that very
 * version of it (the first pass, or a staged copy of what it read). A stat
 * tells most files apart; the file is opened for its generation only when
 * the cache knows a version that the stat cannot tell from it, since only
 * the generation tells a file from the one that took a deleted file's
 * inode within the same second. */
const ZipCacheEntry *zip_known_file(ZipRun *run, const char *path)
{
    if (!run->cache)
        return NULL;
    char *native = tree_walk_native_path(path);
    NativeFileIdentity id;
    int found = native && native_path_stat_identity(native, &id) &&
                zip_cache_may_know_file(run->cache, &id) &&
                native_path_add_generation(native, &id);
    SDL_free(native);
    return found ? zip_cache_find_file(run->cache, &id) : NULL;
}
