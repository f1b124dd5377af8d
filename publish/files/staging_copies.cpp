#include "publish/files/staging_copies.h"

#include "publish/files/entry_name.h"

#include <SDL.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "engine/helpers.h"
#include "engine/tree_walk.h"
#include "platform/native.h"
#include "platform/native_file.h"
#include "platform/signals.h"
#include "publish/archive/deflate_pool.h"
#include "publish/files/file_copy.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"

/* A worker's buffer, for the copies the kernel cannot make itself. It is
 * on the worker's stack: a worker takes nothing from the allocator, so a
 * stage allocates the same, in the same order, however its copies fall on
 * the workers. */
#define STAGING_WORKER_BUFFER_SIZE (256 * 1024)
/* Copies of a staging walk queued or running at once: enough to keep every
 * worker busy, few enough that the walk never runs far ahead. */
#define STAGING_COPIES_IN_FLIGHT 64

static int staging_native_sink(void *fd, const char *out_name, const void *data,
                               size_t length)
{
    if (native_file_write_all(*(const int *)fd, data, length))
        return 1;
    output_log_failure(&file_copy_texts.write_failed, out_name, strerror(errno));
    return 0;
}

/* Who is told of each native copy and each file dropped; see
 * staging_observe_copies. */
static StagingCopyObserver staging_observer;
static StagingDropObserver staging_drop_observer;
static void *staging_observer_user;

void staging_observe_copies(StagingCopyObserver copied, StagingDropObserver dropped,
                            void *user)
{
    staging_observer = copied;
    staging_drop_observer = dropped;
    staging_observer_user = user;
}

void staging_copies_drop_native(const char *native)
{
    NativeFileIdentity gone;
    /* Forgetting needs the inode alone: nothing is opened for it. */
    if (staging_drop_observer && native_path_stat_identity(native, &gone))
        staging_drop_observer(staging_observer_user, &gone);
}

int staging_copies_drop(const char *path)
{
    if (!staging_drop_observer)
        return 1;
    char *native = output_native_path(path, NULL);
    if (!native)
        return 0;
    staging_copies_drop_native(native);
    SDL_free(native);
    return 1;
}

void staging_copies_forget(const NativeFileIdentity *gone)
{
    if (staging_drop_observer)
        staging_drop_observer(staging_observer_user, gone);
}

/* What one native copy into a staged tree came to, for the observer. */
typedef struct StagingCopyResult {
    NativeFileIdentity source, copy;
    int identified;      /* the source, unchanged while it was read */
    int copy_identified; /* the copy, once whole */
} StagingCopyResult;

/* file_copy_into for a file a staging walk reached, or a single name at
 * the top: read natively when the search path is the write directory
 * alone, for the reason tree_walk_stat gives (native_src, when the caller
 * has it, is that path). Whatever cannot be opened that way is left to
 * PhysicsFS, whose open tells the error. */
static int staging_copy_walked(int dst_fd, const char *dst, const char *src,
                               const char *native_src, char *buffer, size_t capacity,
                               StagingCopyResult *r)
{
    r->identified = 0;
    int fd = native_src ? native_file_open_read(native_src) : tree_walk_open(src);
    if (fd < 0)
        return file_copy_into(staging_native_sink, &dst_fd, dst, src, buffer, capacity);
    NativeFileIdentity after;
    int before = native_file_identity(fd, &r->source);
    if (!before && errno == EINVAL) {
        /* Opened without waiting, but a pipe would copy as empty and a
         * device might never end. */
        publish_log_error("Can't open '%s' for reading: %s", src, FS_SPECIAL_FILE_CAUSE);
        native_file_close(fd);
        return 0;
    }
    int write_failed = 0;
    int result = native_file_copy(fd, dst_fd, buffer, capacity, &write_failed);
    if (!result && write_failed)
        output_log_failure(&file_copy_texts.write_failed, dst, strerror(errno));
    else if (!result)
        publish_log_error("Read from '%s' failed: %s", src, fs_error_cause(PHYSFS_ERR_IO, errno));
    /* The same descriptor: the generation read before still holds. */
    r->identified = before && native_file_stat_identity(fd, &after) &&
                    native_identity_same_stat(&r->source, &after);
    native_file_close(fd);
    return result;
}

/* copy_file into a staged tree (native_dst is dst's native path, its first
 * dir_length bytes the installation): the same messages, no flush to the
 * disk. buffer (capacity bytes) is the caller's,
 * so a tree of many files does not take and give back a buffer for each.
 * Safe on any thread: it tells no observer. */
static int staging_copy_native(const char *dst, const char *native_dst, size_t dir_length,
                               const char *src, const char *native_src, char *buffer,
                               size_t capacity, StagingCopyResult *r)
{
    int fd = native_file_create(native_dst, dir_length);
    if (fd < 0) {
        output_log_failure(&file_copy_texts.open_failed, dst, output_native_cause(errno));
        return 0;
    }
    int result = staging_copy_walked(fd, dst, src, native_src, buffer, capacity, r);
    /* Whole: every byte is in; the close below adds none. */
    r->copy_identified = result && native_file_identity(fd, &r->copy);
    if (!native_file_close(fd) && result) {
        output_log_failure(&file_copy_texts.close_failed, dst, strerror(errno));
        result = 0;
    }
    if (!result)
        native_file_remove(native_dst, dir_length);
    return result;
}

/* Also for a copy whose source was not identified: the file it was
 * written into may have had an inode, or a name, the observer knows. */
static void staging_tell_observer(const StagingCopyResult *r)
{
    if (r->copy_identified && staging_observer)
        staging_observer(staging_observer_user, r->identified ? &r->source : NULL, &r->copy);
}

int staging_copies_copy_file(const char *dst, const char *src, char *buffer,
                                    size_t capacity)
{
    publish_log_info("Copying '%s' to '%s'...", src, dst);
    size_t dir_length = 0;
    char *native = output_native_path(dst, &dir_length);
    if (!native)
        return 0;
    StagingCopyResult r;
    int result = staging_copy_native(dst, native, dir_length, src, NULL, buffer, capacity, &r);
    if (result)
        staging_tell_observer(&r);
    SDL_free(native);
    return result;
}

/* A directory of a copy walk: made natively, like the files in it, when
 * the walk stages a tree. 1, or 0 after a logged failure. */
static int staging_make_directory(const char *dst, int natively)
{
    const char *cause = NULL;
    errno = 0;
    if (natively) {
        size_t dir_length = 0;
        char *native = output_native_path(dst, &dir_length);
        if (!native)
            return 0;
        if (!native_make_directory(native, dir_length))
            cause = output_native_cause(errno);
        SDL_free(native);
    } else if (!fs_mkdir(dst)) {
        int saved_errno = errno;
        cause = fs_error_cause(PHYSFS_getLastErrorCode(), saved_errno);
    }
    if (cause)
        publish_log_error("Can't create directory '%s': %s", dst, cause);
    return cause == NULL;
}

/* One file copy of a staging walk, made on a worker. The walk owns the
 * record; the worker fills result and job.ok. */
typedef struct StagingCopyJob {
    DeflateJob job;
    char *dst, *native_dst, *src, *native_src;
    size_t dst_dir_length; /* the installation's part of native_dst */
    StagingCopyResult result;
    SDL_atomic_t *stop;
} StagingCopyJob;

/* A copy walk. One that stages a tree writes natively, through one buffer
 * for the whole walk; one without a buffer writes through PhysicsFS. With
 * a pool the native copies run on its workers, in a ring of
 * STAGING_COPIES_IN_FLIGHT jobs that the walk retires oldest first. */
typedef struct StagingCopy {
    const char *dest_dir;
    char *buffer; /* FILE_COPY_BUFFER_SIZE bytes, or NULL */
    DeflatePool *pool; /* NULL: every copy on the walking thread */
    StagingCopyJob *jobs;
    size_t oldest, in_flight;
    /* A copy failed (its worker logged why), or the walk stopped: start no
     * more. */
    SDL_atomic_t stop;
} StagingCopy;

static void staging_copy_job_run(DeflateJob *job, z_stream *zs, void **scratch)
{
    (void)zs;
    (void)scratch;
    StagingCopyJob *j = (StagingCopyJob *)job->work_user;
    char buffer[STAGING_WORKER_BUFFER_SIZE];
    /* The stage fails anyway; what the walk has not reached yet is not
     * written either. */
    job->ok = !SDL_AtomicGet(j->stop) &&
              staging_copy_native(j->dst, j->native_dst, j->dst_dir_length, j->src, j->native_src,
                                  buffer, sizeof buffer, &j->result);
    if (!job->ok)
        SDL_AtomicSet(j->stop, 1);
}

static void staging_copy_job_free(StagingCopyJob *j)
{
    SDL_free(j->dst);
    SDL_free(j->native_dst);
    SDL_free(j->src);
    SDL_free(j->native_src);
    SDL_zerop(j);
}

/* Waits for the oldest copy in flight and tells the observer of it here,
 * on the walking thread, as the observer needs. */
static void staging_retire_oldest(StagingCopy *c)
{
    StagingCopyJob *j = &c->jobs[c->oldest];
    deflate_pool_wait(c->pool, &j->job);
    if (j->job.ok)
        staging_tell_observer(&j->result);
    staging_copy_job_free(j);
    c->oldest = (c->oldest + 1) % STAGING_COPIES_IN_FLIGHT;
    c->in_flight--;
}

/* 1 once some copy of the walk has failed (its worker logged why), or the
 * walk has stopped. */
static int staging_copy_failed(StagingCopy *c)
{
    return SDL_AtomicGet(&c->stop);
}

/* Every copy in flight finished; 1 when all of them succeeded. */
static int staging_retire_all(StagingCopy *c)
{
    while (c->in_flight > 0)
        staging_retire_oldest(c);
    return !staging_copy_failed(c);
}

/* Hands the copy of src to dst to a worker, once there is room; the
 * strings become the job's. 0, queueing nothing, once a copy has failed. */
static int staging_queue_copy(StagingCopy *c, char *dst, char *native_src, const char *src)
{
    if (c->in_flight == STAGING_COPIES_IN_FLIGHT)
        staging_retire_oldest(c);
    StagingCopyJob *j = &c->jobs[(c->oldest + c->in_flight) % STAGING_COPIES_IN_FLIGHT];
    j->dst = dst;
    j->native_src = native_src;
    if (!staging_copy_failed(c)) {
        j->src = SDL_strdup(src);
        if (!j->src)
            report_out_of_memory();
        else
            j->native_dst = output_native_path(dst, &j->dst_dir_length);
    }
    if (!j->native_dst) {
        staging_copy_job_free(j);
        return 0;
    }
    publish_log_info("Copying '%s' to '%s'...", src, dst);
    j->stop = &c->stop;
    j->job.work = staging_copy_job_run;
    j->job.work_user = j;
    deflate_pool_submit(c->pool, &j->job);
    c->in_flight++;
    return 1;
}

static int staging_copy_visit(void *copy, const TreeWalkEntry *e)
{
    StagingCopy *c = (StagingCopy *)copy;
    if (c->pool && staging_copy_failed(c))
        return 0;
    char *dst = alloc_printf("%s/%s", c->dest_dir, e->relative);
    if (!dst) {
        report_out_of_memory();
        return 0;
    }
    int ok;
    char *native_src;
    if (e->is_directory) {
        /* Made here, not left to the first file below it: an empty
         * directory would be lost without a word, and the file's message
         * would not name the directory that is at fault. Made before any
         * file below it is queued. */
        ok = staging_make_directory(dst, c->buffer != NULL);
    } else if (c->pool && (native_src = tree_walk_native_path(e->path)) != NULL) {
        ok = staging_queue_copy(c, dst, native_src, e->path);
        dst = NULL;
    } else if (c->buffer) {
        ok = staging_copies_copy_file(dst, e->path, c->buffer, FILE_COPY_BUFFER_SIZE);
    } else {
        ok = copy_file(dst, e->path);
    }
    SDL_free(dst);
    return ok;
}

/* The staging walk with copies on workers, for its gate, which has no user
 * pointer; NULL between walks. */
static StagingCopy *staging_walking;

/* The gate of a staging walk with workers: on a stop signal the copies in
 * flight finish first, so no staged file is left cut short. A signal that
 * comes after the question waits for the next entry, or the end of the
 * walk, which waits for the copies too. */
static int staging_admit(const char *dir, const char *name)
{
    if (signals_pending()) {
        if (staging_walking)
            staging_retire_all(staging_walking);
        signals_checkpoint();
    }
    return entry_name_valid(dir, name);
}

int copy_tree(const char *src_dir, const char *dest_dir)
{
    StagingCopy copy;
    SDL_zero(copy);
    copy.dest_dir = dest_dir;
    TreeWalkOptions options = publish_walk_options(TREE_WALK_SKIP_EXCLUDED);
    options.admit = entry_name_allowed;
    return tree_walk(src_dir, &options, staging_copy_visit, &copy);
}

int staging_copies_stage(const char *game_dir, const char *dir, char *buffer)
{
    StagingCopy c;
    SDL_zero(c);
    c.dest_dir = dir;
    c.buffer = buffer;
    c.jobs = (StagingCopyJob *)SDL_calloc(STAGING_COPIES_IN_FLIGHT, sizeof *c.jobs);
    if (!c.jobs) {
        report_out_of_memory();
        return 0;
    }
    c.pool = deflate_pool_create(deflate_pool_default_workers());
    TreeWalkOptions options = publish_walk_options(TREE_WALK_SKIP_EXCLUDED);
    options.admit = staging_admit;
    staging_walking = c.pool ? &c : NULL;
    int walked = tree_walk(game_dir, &options, staging_copy_visit, &c);
    /* A stop signal, or a failure: what has not started stays unwritten. */
    if (!walked)
        SDL_AtomicSet(&c.stop, 1);
    int copied = staging_retire_all(&c);
    staging_walking = NULL;
    deflate_pool_destroy(c.pool);
    SDL_free(c.jobs);
    return walked && copied;
}

