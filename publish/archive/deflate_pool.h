/* Raw deflate at level 9 for the zip writer, and the small pool of worker
 * threads that compresses whole buffers beside the main thread.
 *
 * A worker only ever sees the bytes of its job: it never touches the file
 * system or the log, unless the job brings its own work (DeflateWork), as
 * the run's first pass and staging's file copies do. Each worker keeps one
 * deflate state for the run and
 * resets it between jobs. A buffer compresses to the same bytes on a worker
 * as on the main thread, so the number of workers never shows in an
 * archive. */
#ifndef BRINDLECOT_PUBLISH_DEFLATE_POOL_H
#define BRINDLECOT_PUBLISH_DEFLATE_POOL_H

#include <stddef.h>
#include <stdint.h>
#include <zlib.h>

/* Raw deflate (no zlib header or trailer), level 9, memory level 9, default
 * strategy, on SDL's allocator. 1/0; a failed init needs no end. */
int deflate_raw_init(z_stream *zs);

/* Resets zs and compresses the length bytes at in, all at once, into out
 * (out_capacity at least deflateBound(zs, length)). *out_length and *crc
 * (CRC-32 of the input) are set on success. 1/0. */
int deflate_raw_buffer(z_stream *zs, const void *in, size_t length, void *out,
                       size_t out_capacity, size_t *out_length, uint32_t *crc);

/* Asked by a worker before it compresses: 1 when the content whose SHA-256
 * digest and length are given needs no compressing (someone has it
 * already). Called on the worker's thread: it must be thread-safe. */
typedef int (*DeflateSkipCheck)(void *user, const uint8_t digest[32], uint64_t length);

typedef struct DeflateJob DeflateJob;

/* A job's own work, run on a worker instead of compressing in: zs is the
 * worker's deflate state, *scratch a buffer the worker keeps from job to
 * job (NULL at first; whatever SDL_malloc'ed block the function leaves
 * there is freed with the pool). Sets job->ok. */
typedef void (*DeflateWork)(DeflateJob *job, z_stream *zs, void **scratch);

/* One buffer to compress. The submitter owns the record and both buffers;
 * it fills the inputs, submits, and reads the results only after
 * deflate_pool_wait has returned for the job. */
struct DeflateJob {
    DeflateWork work;    /* NULL: compress in as below */
    void *work_user;
    const void *in;
    size_t in_length;
    void *out;
    size_t out_capacity;
    DeflateSkipCheck skip_check; /* NULL: no digest, always compressed */
    void *skip_user;
    uint8_t digest[32];  /* result when skip_check is set: SHA-256 of the input */
    int digest_ok;       /* result: digest was computed */
    int skipped;         /* result: skip_check said 1; nothing was compressed */
    size_t out_length;   /* result */
    uint32_t crc;        /* result: CRC-32 of the input */
    int ok;              /* result: 1 compressed, 0 deflate failed */
    int done;            /* guarded by the pool */
    struct DeflateJob *next;
};

typedef struct DeflatePool DeflatePool;

/* Starts workers threads (at least 1). NULL when a thread, a deflate state
 * or memory could not be had; nothing is left running then. */
DeflatePool *deflate_pool_create(int workers);

/* Queues the job; jobs are taken in the order they were submitted. */
void deflate_pool_submit(DeflatePool *pool, DeflateJob *job);

/* Returns once the job has been compressed (or has failed). */
void deflate_pool_wait(DeflatePool *pool, DeflateJob *job);

/* Stops and joins the workers. Every submitted job must have been waited
 * for. NULL is ignored. */
void deflate_pool_destroy(DeflatePool *pool);

/* One worker per processor, at most 8. */
int deflate_pool_default_workers(void);

#endif
