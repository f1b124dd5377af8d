/* A run of archives: what the archives of one publish share (the deflate
 * state, the buffers, the compression workers, the cache of compressed data
 * and the first pass; zip_writer.h says why). */
#ifndef BRINDLECOT_PUBLISH_ZIP_RUN_H
#define BRINDLECOT_PUBLISH_ZIP_RUN_H

#include <stddef.h>
#include <zlib.h>

#include "platform/native_file.h"
#include "publish/files/game_plan.h"

/* What run of archives an archive belongs to; see zip_run_create. */
typedef struct ZipRun ZipRun;

/* A run: the state that many archives share, freed with zip_run_destroy.
 * cache_dir (a write-directory path, or NULL for none) is where the cache
 * keeps its nameless file; without it, or when the file cannot be made
 * there, every archive is compressed in full. single_threaded non-zero
 * compresses every entry on the calling thread and keeps no cache: the
 * reference that the other runs must equal byte for byte. NULL after a
 * logged error. */
ZipRun *zip_run_create(const char *cache_dir, int single_threaded);

/* The run's first pass (zip_prepass.h) over game_dir, a PhysicsFS path:
 * every file of the game that a package of the run will hold (the
 * packages' native code rules are natives, count of them; none: nothing)
 * deflated into the cache on the workers before the first archive. A run
 * without workers or cache skips it. Logs nothing; nothing in it fails
 * the run, but a stop signal ends it there (signals.h). */
void zip_run_prepare(ZipRun *run, const char *game_dir, const NativeEntryRule *natives,
                     size_t count);

/* Tells the run that copy was made from source as it was (the staging
 * observer, staging_copies.h), so that an archive of the copy takes the source's
 * stream without reading the copy; source NULL: copy holds bytes the run
 * does not know. */
void zip_run_note_copy(ZipRun *run, const NativeFileIdentity *source,
                       const NativeFileIdentity *copy);

/* Tells the run that the file gone is about to be deleted or rewritten
 * (staging_copies.h): nothing known of it may stand for the file that gets its
 * inode next. */
void zip_run_forget_file(ZipRun *run, const NativeFileIdentity *gone);

/* Stops the workers, drops the cache and the buffers; NULL is ignored. */
void zip_run_destroy(ZipRun *run);

typedef struct ZipRunStats {
    unsigned compressed; /* file entries deflated */
    unsigned reused;     /* file entries served from the cache */
    unsigned unread;     /* of those, entries whose file was not opened: the
                          * run had read that version of it already */
} ZipRunStats;

/* Counts of the run so far. */
ZipRunStats zip_run_stats(const ZipRun *run);

/* The record itself is for the zip writer's own modules; everyone else
 * holds a run through the functions above. */
typedef struct DeflatePool DeflatePool;
typedef struct ZipCache ZipCache;
typedef struct ZipSlot ZipSlot;

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

#endif
