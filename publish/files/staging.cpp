#include "publish/files/staging.h"

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
#include "publish/files/output_file.h"
#include "publish/publish_log.h"

/* Constant memory whatever the file's size. */
#define STAGING_COPY_BUFFER_SIZE (4 * 1024 * 1024)
/* A worker's buffer, for the copies the kernel cannot make itself. It is
 * on the worker's stack: a worker takes nothing from the allocator, so a
 * stage allocates the same, in the same order, however its copies fall on
 * the workers. */
#define STAGING_WORKER_BUFFER_SIZE (256 * 1024)
/* Copies of a staging walk queued or running at once: enough to keep every
 * worker busy, few enough that the walk never runs far ahead. */
#define STAGING_COPIES_IN_FLIGHT 64

/* Copies, and the stream appended to an output by copy_stream. */
static const OutputTexts staging_copy_texts = {
    {"Can't open ", " for writing"},
    {"Write to ", " failed"},
    {"Write to ", " failed"},
};

/* Where a copy's bytes go: 1 written, 0 after a logged failure. */
typedef int (*StagingSink)(void *user, const char *out_name, const void *data, size_t length);

/* The copy loop of every copy: the whole of src_path into sink, through
 * buffer. 1 when every byte was read and written. */
static int staging_copy_into(StagingSink sink, void *user, const char *out_name,
                             const char *src_path, char *buffer, size_t capacity)
{
    if (fs_is_special_file(src_path)) {
        publish_log_error("Can't open '%s' for reading: %s", src_path, FS_SPECIAL_FILE_CAUSE);
        return 0;
    }
    errno = 0;
    PHYSFS_File *in = PHYSFS_openRead(src_path);
    if (!in) {
        int saved_errno = errno;
        publish_log_error("Can't open '%s' for reading: %s", src_path,
                          fs_error_cause(PHYSFS_getLastErrorCode(), saved_errno));
        return 0;
    }
    int result = 0;
    for (;;) {
        errno = 0;
        PHYSFS_sint64 n = PHYSFS_readBytes(in, buffer, capacity);
        if (n < 0) {
            int saved_errno = errno;
            publish_log_error("Read from '%s' failed: %s", src_path,
                              fs_error_cause(PHYSFS_getLastErrorCode(), saved_errno));
            break;
        }
        if (n > 0 && !sink(user, out_name, buffer, (size_t)n)) {
            break;
        }
        if (PHYSFS_eof(in)) {
            result = 1;
            break;
        }
        /* Nothing read yet not at the end: the file shrank or the device
         * failed. Going on would spin for ever on a copy that is short. */
        if (n == 0) {
            publish_log_error("Read from '%s' failed: %s", src_path,
                              "unexpected end of file");
            break;
        }
    }
    PHYSFS_close(in);
    return result;
}

static int staging_physfs_sink(void *out, const char *out_name, const void *data,
                               size_t length)
{
    return output_write((PHYSFS_File *)out, out_name, data, length, &staging_copy_texts);
}

int copy_stream(PHYSFS_File *out, const char *out_name, const char *src_path)
{
    char *buffer = (char *)SDL_malloc(STAGING_COPY_BUFFER_SIZE);
    if (!buffer) {
        report_out_of_memory();
        return 0;
    }
    int result = staging_copy_into(staging_physfs_sink, out, out_name, src_path, buffer,
                                   STAGING_COPY_BUFFER_SIZE);
    SDL_free(buffer);
    return result;
}

static int staging_native_sink(void *fd, const char *out_name, const void *data,
                               size_t length)
{
    if (native_file_write_all(*(const int *)fd, data, length))
        return 1;
    output_log_failure(&staging_copy_texts.write_failed, out_name, strerror(errno));
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

/* Tells the observer that the file at native (a native path) is about to
 * be deleted or truncated; nothing there, or no regular file, is nothing
 * to tell. */
static void staging_tell_dropped(const char *native)
{
    NativeFileIdentity gone;
    /* Forgetting needs the inode alone: nothing is opened for it. */
    if (staging_drop_observer && native_path_stat_identity(native, &gone))
        staging_drop_observer(staging_observer_user, &gone);
}

/* staging_tell_dropped for a write-directory path. 1, or 0 after
 * reporting that memory ran out. */
static int staging_drop(const char *path)
{
    if (!staging_drop_observer)
        return 1;
    char *native = output_native_path(path, NULL);
    if (!native)
        return 0;
    staging_tell_dropped(native);
    SDL_free(native);
    return 1;
}

/* What one native copy into a staged tree came to, for the observer. */
typedef struct StagingCopyResult {
    NativeFileIdentity source, copy;
    int identified;      /* the source, unchanged while it was read */
    int copy_identified; /* the copy, once whole */
} StagingCopyResult;

/* staging_copy_into for a file a staging walk reached, or a single name at
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
        return staging_copy_into(staging_native_sink, &dst_fd, dst, src, buffer, capacity);
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
        output_log_failure(&staging_copy_texts.write_failed, dst, strerror(errno));
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
        output_log_failure(&staging_copy_texts.open_failed, dst, output_native_cause(errno));
        return 0;
    }
    int result = staging_copy_walked(fd, dst, src, native_src, buffer, capacity, r);
    /* Whole: every byte is in; the close below adds none. */
    r->copy_identified = result && native_file_identity(fd, &r->copy);
    if (!native_file_close(fd) && result) {
        output_log_failure(&staging_copy_texts.close_failed, dst, strerror(errno));
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

/* staging_copy_native on this thread, announced and observed. */
static int staging_copy_file_native(const char *dst, const char *src, char *buffer,
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

int copy_file(const char *dst, const char *src)
{
    publish_log_info("Copying '%s' to '%s'...", src, dst);
    PHYSFS_File *out = output_open(dst, &staging_copy_texts);
    if (!out) {
        return 0;
    }
    int result = copy_stream(out, dst, src);
    /* The close flushes the last buffered bytes: a failure here is a
     * truncated copy like any other. */
    if (!result) {
        output_abandon(out);
    } else {
        result = output_close(out, dst, &staging_copy_texts);
    }
    if (!result) {
        PHYSFS_delete(dst);
    }
    return result;
}

static int staging_delete_visit(void *unused, const TreeWalkEntry *e)
{
    (void)unused;
    if (!e->is_directory && !staging_drop(e->path))
        return 0;
    publish_log_info("Deleting '%s'...", e->path);
    if (!PHYSFS_delete(e->path)) {
        publish_log_error("Failed to delete '%s': %s", e->path, fs_error_text());
        return 0;
    }
    return 1;
}

/* Deletes everything below path, innermost first, announcing each. */
static int staging_delete_contents(const char *path)
{
    TreeWalkOptions options = publish_walk_options(TREE_WALK_CONTENTS_FIRST);
    return tree_walk(path, &options, staging_delete_visit, NULL);
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
    char *buffer; /* STAGING_COPY_BUFFER_SIZE bytes, or NULL */
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
        ok = staging_copy_file_native(dst, e->path, c->buffer, STAGING_COPY_BUFFER_SIZE);
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

/* One entry of a staged tree's native/: kept when the rule names it, else
 * deleted. Another platform's native code only makes the package bigger: an
 * entry that will not go is left in place rather than failing the build. */
static int staging_prune_visit(void *rule, const TreeWalkEntry *e)
{
    if (game_plan_keeps_native_entry((const NativeEntryRule *)rule, e->name))
        return 1;
    /* Only a directory has contents to delete first. */
    PHYSFS_Stat st;
    if (PHYSFS_stat(e->path, &st) &&
        (st.filetype != PHYSFS_FILETYPE_DIRECTORY || staging_delete_contents(e->path)) &&
        staging_drop(e->path)) {
        publish_log_info("Deleting '%s'...", e->path);
        if (!PHYSFS_delete(e->path))
            publish_log_error("Failed to delete '%s': %s", e->path, fs_error_text());
    }
    return 1;
}

int strip_staged_tree(const NativeEntryRule *native, const char *dir)
{
    size_t count;
    const char *const *stripped = game_plan_stripped_names(&count);
    for (size_t i = 0; i < count; i++) {
        char *path = alloc_printf("%s/%s", dir, stripped[i]);
        if (!path) {
            report_out_of_memory();
            return 0;
        }
        int dropped = staging_drop(path);
        if (dropped)
            PHYSFS_delete(path); /* most games have none of them */
        SDL_free(path);
        if (!dropped)
            return 0;
    }
    char *native_dir = alloc_printf("%s/native", dir);
    if (!native_dir) {
        report_out_of_memory();
        return 0;
    }
    TreeWalkOptions options = publish_walk_options(TREE_WALK_ONE_LEVEL);
    int result = tree_walk(native_dir, &options, staging_prune_visit, (void *)native);
    SDL_free(native_dir);
    return result;
}

static int staging_write_flag(const char *dir)
{
    char *flag = alloc_printf("%s/" GAME_PLAN_FLAG_NAME, dir);
    if (!flag) {
        report_out_of_memory();
        return 0;
    }
    int result = 0;
    size_t dir_length = 0;
    char *native = output_native_path(flag, &dir_length);
    if (native) {
        *SDL_strrchr(native, '/') = '\0';
        native_make_directory(native, dir_length); /* an open failure below says enough */
        native[SDL_strlen(native)] = '/';
        staging_tell_dropped(native); /* a flag the game carries is emptied */
        int fd = native_file_create(native, dir_length);
        result = fd >= 0 && native_file_close(fd);
        if (!result)
            publish_log_error("Failed to write production build flag! Can't create '%s': %s",
                              flag, output_native_cause(errno));
        SDL_free(native);
    }
    SDL_free(flag);
    return result;
}

int add_staged_defaults(const char *dir)
{
    char *buffer = (char *)SDL_malloc(STAGING_COPY_BUFFER_SIZE);
    if (!buffer) {
        report_out_of_memory();
        return 0;
    }
    size_t count;
    const char *const *defaults = game_plan_default_files(&count);
    int ok = 1;
    for (size_t i = 0; ok && i < count; i++) {
        const char *name = defaults[i];
        char *target = alloc_printf("%s/%s", dir, name);
        if (!target) {
            report_out_of_memory();
            ok = 0;
            break;
        }
        PHYSFS_Stat st;
        ok = PHYSFS_stat(target, &st) ||
             staging_copy_file_native(target, name, buffer, STAGING_COPY_BUFFER_SIZE);
        SDL_free(target);
    }
    SDL_free(buffer);
    return ok && staging_write_flag(dir);
}

/* The walk of stage_game_tree, its copies on workers when threads can be
 * had. Every copy has finished when it returns. */
static int staging_copy_game(const char *game_dir, StagingCopy *c)
{
    c->jobs = (StagingCopyJob *)SDL_calloc(STAGING_COPIES_IN_FLIGHT, sizeof *c->jobs);
    if (!c->jobs) {
        report_out_of_memory();
        return 0;
    }
    c->pool = deflate_pool_create(deflate_pool_default_workers());
    TreeWalkOptions options = publish_walk_options(TREE_WALK_SKIP_EXCLUDED);
    options.admit = staging_admit;
    staging_walking = c->pool ? c : NULL;
    int walked = tree_walk(game_dir, &options, staging_copy_visit, c);
    /* A stop signal, or a failure: what has not started stays unwritten. */
    if (!walked)
        SDL_AtomicSet(&c->stop, 1);
    int copied = staging_retire_all(c);
    staging_walking = NULL;
    deflate_pool_destroy(c->pool);
    SDL_free(c->jobs);
    return walked && copied;
}

int stage_game_tree(const NativeEntryRule *native, const char *game_dir, const char *dir)
{
    StagingCopy stage;
    SDL_zero(stage);
    stage.dest_dir = dir;
    stage.buffer = (char *)SDL_malloc(STAGING_COPY_BUFFER_SIZE);
    if (!stage.buffer) {
        report_out_of_memory();
        return 0;
    }
    /* Not checked: a directory that could not be made shows up as the
     * failure of the first file copied into it. */
    fs_mkdir(dir);
    int copied = staging_copy_game(game_dir, &stage);
    SDL_free(stage.buffer);
    return copied && strip_staged_tree(native, dir) && add_staged_defaults(dir);
}

int make_executable(const char *path)
{
    publish_log_info("Making '%s' executable...", path);
    size_t dir_length = 0;
    char *native = output_native_path(path, &dir_length);
    if (!native) {
        return 0;
    }
    int result = native_make_executable(native, dir_length);
    if (!result) {
        publish_log_error("Failed to make '%s' executable: %s", path,
                          output_native_cause(errno));
    }
    SDL_free(native);
    return result;
}

/* The tree that delete_tree removes, for its lines. */
typedef struct StagingDeletion {
    const char *path;
} StagingDeletion;

/* The removal's own look at the entry names the file to forget: no
 * second lookup by path. */
static void staging_announce_deletion(void *deletion, const char *relative,
                                      const NativeFileIdentity *file)
{
    StagingDeletion *d = (StagingDeletion *)deletion;
    if (*relative)
        publish_log_info("Deleting '%s/%s'...", d->path, relative);
    else
        publish_log_info("Deleting '%s'...", d->path);
    if (file && staging_drop_observer)
        staging_drop_observer(staging_observer_user, file);
}

/* Natively, one system call an entry: PhysicsFS would stat and check each
 * path component for links on every call, several calls a file. The path
 * is resolved below the installation, so neither a ".." nor a link on the
 * way takes the removal anywhere else. */
int delete_tree(const char *path)
{
    size_t dir_length = 0;
    char *native = output_native_path(path, &dir_length);
    if (!native)
        return 0;
    native[dir_length] = '\0';
    char *failed = NULL;
    StagingDeletion deletion = {path};
    int ok = native_remove_tree(native, native + dir_length + 1, staging_announce_deletion,
                                &deletion, &failed);
    if (!ok) {
        int on_the_way = errno == ELOOP && failed && !*failed;
        publish_log_error("Failed to delete '%s%s%s': %s", path, failed && *failed ? "/" : "",
                          failed ? failed : "",
                          on_the_way ? "a directory on its way is a symbolic link, which the "
                                       "publisher never follows"
                                     : strerror(errno));
    }
    free(failed);
    SDL_free(native);
    return ok;
}
