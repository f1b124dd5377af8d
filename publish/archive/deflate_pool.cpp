#include "publish/archive/deflate_pool.h"

#include <SDL.h>
#include <openssl/evp.h>

#define DEFLATE_POOL_MAX_WORKERS 8

struct DeflatePool {
    SDL_mutex *lock;
    SDL_cond *work_ready; /* a job was queued, or the pool is stopping */
    SDL_cond *work_done;  /* some job finished */
    DeflateJob *head;     /* queued jobs, oldest first */
    DeflateJob *tail;
    int stopping;
    int thread_count;
    SDL_Thread *threads[DEFLATE_POOL_MAX_WORKERS];
    z_stream streams[DEFLATE_POOL_MAX_WORKERS];
    void *scratch[DEFLATE_POOL_MAX_WORKERS]; /* each worker's, for DeflateWork */
    int stream_count;     /* initialised streams */
};

typedef struct DeflateWorker {
    DeflatePool *pool;
    z_stream *zs;
    void **scratch;
} DeflateWorker;

/* zlib's allocation hooks, so compressor state comes from SDL's allocator. */
static void *zip_deflate_alloc(void *opaque, unsigned int items, unsigned int size)
{
    (void)opaque;
    return SDL_malloc((size_t)items * size);
}

static void zip_deflate_free(void *opaque, void *address)
{
    (void)opaque;
    SDL_free(address);
}

int deflate_raw_init(z_stream *zs)
{
    SDL_zerop(zs);
    zs->zalloc = zip_deflate_alloc;
    zs->zfree = zip_deflate_free;
    return deflateInit2(zs, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) == Z_OK;
}

int deflate_raw_buffer(z_stream *zs, const void *in, size_t length, void *out,
                       size_t out_capacity, size_t *out_length, uint32_t *crc)
{
    if (deflateReset(zs) != Z_OK || length > UINT32_MAX || out_capacity > UINT32_MAX)
        return 0;
    zs->next_in = (Bytef *)in;
    zs->avail_in = (uInt)length;
    zs->next_out = (Bytef *)out;
    zs->avail_out = (uInt)out_capacity;
    if (deflate(zs, Z_FINISH) != Z_STREAM_END)
        return 0;
    *out_length = out_capacity - zs->avail_out;
    *crc = (uint32_t)crc32(crc32(0L, Z_NULL, 0), (const Bytef *)in, (uInt)length);
    return 1;
}

static DeflateJob *deflate_pool_take(DeflatePool *pool)
{
    SDL_LockMutex(pool->lock);
    while (!pool->head && !pool->stopping)
        SDL_CondWait(pool->work_ready, pool->lock);
    DeflateJob *job = pool->head;
    if (job) {
        pool->head = job->next;
        if (!pool->head)
            pool->tail = NULL;
    }
    SDL_UnlockMutex(pool->lock);
    return job;
}

static int deflate_pool_worker(void *data)
{
    DeflateWorker *worker = (DeflateWorker *)data;
    DeflatePool *pool = worker->pool;
    z_stream *zs = worker->zs;
    void **scratch = worker->scratch;
    SDL_free(worker);
    DeflateJob *job;
    while ((job = deflate_pool_take(pool)) != NULL) {
        if (job->work) {
            /* The job's record is the worker's until done is set. */
            job->work(job, zs, scratch);
            SDL_LockMutex(pool->lock);
            job->done = 1;
            SDL_CondBroadcast(pool->work_done);
            SDL_UnlockMutex(pool->lock);
            continue;
        }
        size_t out_length = 0;
        uint32_t crc = 0;
        int ok = 0, skipped = 0, digest_ok = 0;
        uint8_t digest[32];
        if (job->skip_check) {
            unsigned int digest_length = 0;
            digest_ok = EVP_Digest(job->in, job->in_length, digest, &digest_length,
                                   EVP_sha256(), NULL) == 1 &&
                        digest_length == sizeof digest;
            skipped = digest_ok && job->skip_check(job->skip_user, digest, job->in_length);
        }
        if (!skipped)
            ok = deflate_raw_buffer(zs, job->in, job->in_length, job->out, job->out_capacity,
                                    &out_length, &crc);
        SDL_LockMutex(pool->lock);
        if (digest_ok)
            SDL_memcpy(job->digest, digest, sizeof digest);
        job->digest_ok = digest_ok;
        job->skipped = skipped;
        job->out_length = out_length;
        job->crc = crc;
        job->ok = ok;
        job->done = 1;
        SDL_CondBroadcast(pool->work_done);
        SDL_UnlockMutex(pool->lock);
    }
    return 0;
}

static int deflate_pool_start(DeflatePool *pool, int workers)
{
    for (int i = 0; i < workers; i++) {
        if (!deflate_raw_init(&pool->streams[i]))
            return 0;
        pool->stream_count++;
        DeflateWorker *worker = (DeflateWorker *)SDL_malloc(sizeof *worker);
        if (!worker)
            return 0;
        worker->pool = pool;
        worker->zs = &pool->streams[i];
        worker->scratch = &pool->scratch[i];
        SDL_Thread *t = SDL_CreateThread(deflate_pool_worker, "deflate", worker);
        if (!t) {
            SDL_free(worker);
            return 0;
        }
        pool->threads[pool->thread_count++] = t;
    }
    return 1;
}

DeflatePool *deflate_pool_create(int workers)
{
    if (workers < 1)
        workers = 1;
    if (workers > DEFLATE_POOL_MAX_WORKERS)
        workers = DEFLATE_POOL_MAX_WORKERS;
    DeflatePool *pool = (DeflatePool *)SDL_calloc(1, sizeof *pool);
    if (!pool)
        return NULL;
    pool->lock = SDL_CreateMutex();
    pool->work_ready = SDL_CreateCond();
    pool->work_done = SDL_CreateCond();
    if (!pool->lock || !pool->work_ready || !pool->work_done ||
        !deflate_pool_start(pool, workers)) {
        deflate_pool_destroy(pool);
        return NULL;
    }
    return pool;
}

void deflate_pool_submit(DeflatePool *pool, DeflateJob *job)
{
    job->done = 0;
    job->ok = 0;
    job->skipped = 0;
    job->digest_ok = 0;
    job->next = NULL;
    SDL_LockMutex(pool->lock);
    if (pool->tail)
        pool->tail->next = job;
    else
        pool->head = job;
    pool->tail = job;
    SDL_CondSignal(pool->work_ready);
    SDL_UnlockMutex(pool->lock);
}

void deflate_pool_wait(DeflatePool *pool, DeflateJob *job)
{
    SDL_LockMutex(pool->lock);
    while (!job->done)
        SDL_CondWait(pool->work_done, pool->lock);
    SDL_UnlockMutex(pool->lock);
}

void deflate_pool_destroy(DeflatePool *pool)
{
    if (!pool)
        return;
    if (pool->lock) {
        SDL_LockMutex(pool->lock);
        pool->stopping = 1;
        if (pool->work_ready)
            SDL_CondBroadcast(pool->work_ready);
        SDL_UnlockMutex(pool->lock);
    }
    for (int i = 0; i < pool->thread_count; i++)
        SDL_WaitThread(pool->threads[i], NULL);
    for (int i = 0; i < pool->stream_count; i++)
        deflateEnd(&pool->streams[i]);
    for (int i = 0; i < DEFLATE_POOL_MAX_WORKERS; i++)
        SDL_free(pool->scratch[i]);
    if (pool->work_done)
        SDL_DestroyCond(pool->work_done);
    if (pool->work_ready)
        SDL_DestroyCond(pool->work_ready);
    if (pool->lock)
        SDL_DestroyMutex(pool->lock);
    SDL_free(pool);
}

int deflate_pool_default_workers(void)
{
    int cpus = SDL_GetCPUCount();
    if (cpus < 1)
        return 1;
    return cpus > DEFLATE_POOL_MAX_WORKERS ? DEFLATE_POOL_MAX_WORKERS : cpus;
}
