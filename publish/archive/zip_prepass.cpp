#include "publish/archive/zip_prepass.h"

#include <SDL.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include "engine/helpers.h"
#include "engine/tree_walk.h"
#include "platform/native_file.h"
#include "platform/signals.h"

/* Each worker reads and deflates through two buffers of this size. */
#define ZIP_PREPASS_CHUNK (1024 * 1024)
/* The classic zip format's limit: a larger file is never archived. */
#define ZIP_PREPASS_MAX_SIZE 0xFFFFFFFFull

typedef struct ZipPrepassFile {
    char *native_path;
    uint64_t size; /* when walked; the worker goes by what it reads */
    ZipCache *cache;
    DeflateJob job;
} ZipPrepassFile;

typedef struct ZipPrepassWalk {
    ZipPrepassFile *files;
    size_t count, capacity;
    ZipCache *cache;
    const NativeEntryRule *natives; /* of the packages the run builds */
    size_t native_count;
} ZipPrepassWalk;

static int zip_prepass_push(ZipPrepassWalk *w, char *native_path, uint64_t size)
{
    if (w->count == w->capacity) {
        size_t capacity = w->capacity ? w->capacity * 2 : 256;
        ZipPrepassFile *grown =
            (ZipPrepassFile *)SDL_realloc(w->files, capacity * sizeof *grown);
        if (!grown)
            return 0;
        w->files = grown;
        w->capacity = capacity;
    }
    ZipPrepassFile *f = &w->files[w->count++];
    SDL_zerop(f);
    f->native_path = native_path;
    f->size = size;
    f->cache = w->cache;
    return 1;
}

/* Whether some package of the run holds the game's file at relative:
 * compressing another platform's native code, or a launcher file, is time
 * lost before the first package. */
static int zip_prepass_wanted(const ZipPrepassWalk *w, const char *relative)
{
    for (size_t i = 0; i < w->native_count; i++)
        if (game_plan_keeps_file(&w->natives[i], relative))
            return 1;
    return 0;
}

/* Regular files are listed for the workers; what cannot be examined
 * natively is left to the packages. */
static int zip_prepass_visit(void *data, const TreeWalkEntry *e)
{
    ZipPrepassWalk *w = (ZipPrepassWalk *)data;
    if (e->is_directory || e->st->filesize < 0 ||
        (uint64_t)e->st->filesize > ZIP_PREPASS_MAX_SIZE || !zip_prepass_wanted(w, e->relative))
        return 1;
    char *native = tree_walk_native_path(e->path);
    if (native && zip_prepass_push(w, native, (uint64_t)e->st->filesize))
        return 1;
    SDL_free(native);
    return native != NULL; /* the list could not grow: the packages read the rest */
}

/* The pass is only a head start: its failures are the packages' to say. */
static void zip_prepass_quiet(LogLevel level, const char *text)
{
    (void)level;
    (void)text;
}

static void zip_prepass_no_memory(void)
{
}

/* Nothing runs on the workers yet while the pass walks: a stop signal can
 * end the run here at once. */
static int zip_prepass_admit(const char *dir, const char *name)
{
    (void)dir;
    (void)name;
    signals_checkpoint();
    return 1;
}

/* The workers start on the largest files, so that none is left running
 * alone at the end. */
static int zip_prepass_larger_first(const void *a, const void *b)
{
    uint64_t x = ((const ZipPrepassFile *)a)->size, y = ((const ZipPrepassFile *)b)->size;
    return x < y ? 1 : x > y ? -1 : 0;
}

/* What a worker carries through one file. */
typedef struct ZipPrepassStream {
    z_stream *zs;
    unsigned char *in, *out;
    ZipCache *cache;
    uint64_t offset, room; /* of the space reserved in the cache */
    uint64_t written;
} ZipPrepassStream;

/* Deflates what zs holds into the cache; 1/0. */
static int zip_prepass_deflate(ZipPrepassStream *s, int flush)
{
    int rc;
    do {
        s->zs->next_out = s->out;
        s->zs->avail_out = ZIP_PREPASS_CHUNK;
        rc = deflate(s->zs, flush);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
            return 0;
        size_t produced = ZIP_PREPASS_CHUNK - s->zs->avail_out;
        if (produced > s->room - s->written ||
            !zip_cache_write_at(s->cache, s->offset + s->written, s->out, produced))
            return 0;
        s->written += produced;
    } while (flush == Z_FINISH ? rc != Z_STREAM_END : s->zs->avail_out == 0);
    return 1;
}

/* The file's bytes, its CRC-32 and SHA-256 over the very bytes deflated. */
static int zip_prepass_read(ZipPrepassStream *s, int fd, const NativeFileIdentity *before,
                            uint32_t *crc, uint8_t digest[ZIP_CACHE_DIGEST_SIZE])
{
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    int ok = md && EVP_DigestInit_ex(md, EVP_sha256(), NULL) == 1 && deflateReset(s->zs) == Z_OK;
    uLong c = crc32(0L, Z_NULL, 0);
    uint64_t total = 0;
    while (ok) {
        /* A stop signal is noticed within one piece, however large the
         * file: the run ends once every worker has let go. */
        if (signals_pending()) {
            ok = 0;
            break;
        }
        long long n = native_file_read(fd, s->in, ZIP_PREPASS_CHUNK);
        if (n < 0 || total + (uint64_t)n > before->size) {
            ok = 0; /* failed, or grown since: the package will see */
            break;
        }
        total += (uint64_t)n;
        c = crc32(c, s->in, (uInt)n);
        ok = EVP_DigestUpdate(md, s->in, (size_t)n) == 1;
        s->zs->next_in = s->in;
        s->zs->avail_in = (uInt)n;
        ok = ok && zip_prepass_deflate(s, n == 0 ? Z_FINISH : Z_NO_FLUSH);
        if (n == 0)
            break;
    }
    unsigned int length = 0;
    ok = ok && total == before->size && EVP_DigestFinal_ex(md, digest, &length) == 1 &&
         length == ZIP_CACHE_DIGEST_SIZE;
    EVP_MD_CTX_free(md);
    *crc = (uint32_t)c;
    return ok;
}

/* A worker's job: one whole file into the cache. */
static void zip_prepass_file(DeflateJob *job, z_stream *zs, void **scratch)
{
    ZipPrepassFile *f = (ZipPrepassFile *)job->work_user;
    job->ok = 0;
    if (signals_pending())
        return;
    if (!*scratch)
        *scratch = SDL_malloc(2 * ZIP_PREPASS_CHUNK);
    if (!*scratch)
        return;
    ZipPrepassStream s = {zs, (unsigned char *)*scratch,
                          (unsigned char *)*scratch + ZIP_PREPASS_CHUNK, f->cache, 0, 0, 0};
    int fd = native_file_open_read(f->native_path);
    if (fd < 0)
        return;
    NativeFileIdentity before, after;
    uint32_t crc = 0;
    uint8_t digest[ZIP_CACHE_DIGEST_SIZE];
    if (native_file_identity(fd, &before) && before.size <= ZIP_PREPASS_MAX_SIZE) {
        s.room = deflateBound(zs, (uLong)before.size);
        /* Only the version read from start to end, unchanged, is known;
         * the generation read before holds for as long as fd is open. */
        job->ok = zip_cache_reserve(s.cache, s.room, &s.offset) &&
                  zip_prepass_read(&s, fd, &before, &crc, digest) &&
                  native_file_stat_identity(fd, &after) &&
                  native_identity_same_stat(&before, &after);
    }
    native_file_close(fd);
    if (job->ok)
        zip_cache_commit_file(s.cache, &before, digest, crc, s.offset, s.written);
}

unsigned zip_prepass(DeflatePool *pool, ZipCache *cache, const char *game_dir,
                     const NativeEntryRule *natives, size_t native_count)
{
    if (native_count == 0)
        return 0;
    ZipPrepassWalk w = {NULL, 0, 0, cache, natives, native_count};
    TreeWalkOptions walk = {TREE_WALK_SKIP_EXCLUDED, zip_prepass_quiet, zip_prepass_no_memory,
                            zip_prepass_admit};
    tree_walk(game_dir, &walk, zip_prepass_visit, &w);
    qsort(w.files, w.count, sizeof *w.files, zip_prepass_larger_first);
    for (size_t i = 0; i < w.count; i++) {
        w.files[i].job.work = zip_prepass_file;
        w.files[i].job.work_user = &w.files[i];
        deflate_pool_submit(pool, &w.files[i].job);
    }
    unsigned recorded = 0;
    for (size_t i = 0; i < w.count; i++) {
        deflate_pool_wait(pool, &w.files[i].job);
        recorded += w.files[i].job.ok ? 1u : 0u;
    }
    for (size_t i = 0; i < w.count; i++)
        SDL_free(w.files[i].native_path);
    SDL_free(w.files);
    signals_checkpoint();
    return recorded;
}
