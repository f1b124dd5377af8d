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
#include "publish/files/output_file.h"
#include "publish/publish_log.h"

/* Constant memory whatever the file's size. */
#define STAGING_COPY_BUFFER_SIZE (4 * 1024 * 1024)

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

char *native_write_path(const char *path)
{
    char *native = fs_native_write_path(path);
    if (!native)
        report_out_of_memory();
    return native;
}

static int staging_native_sink(void *fd, const char *out_name, const void *data,
                               size_t length)
{
    if (native_file_write_all(*(const int *)fd, data, length))
        return 1;
    output_log_failure(&staging_copy_texts.write_failed, out_name, strerror(errno));
    return 0;
}

/* Who is told of each native copy; see staging_observe_copies. */
static StagingCopyObserver staging_observer;
static void *staging_observer_user;

void staging_observe_copies(StagingCopyObserver observer, void *user)
{
    staging_observer = observer;
    staging_observer_user = user;
}

/* The copy loop for a source opened natively (staging_open_natively). */
static int staging_copy_from_fd(StagingSink sink, void *user, const char *out_name,
                                const char *src_path, int fd, char *buffer, size_t capacity)
{
    for (;;) {
        long long n = native_file_read(fd, buffer, capacity);
        if (n < 0) {
            publish_log_error("Read from '%s' failed: %s", src_path,
                              fs_error_cause(PHYSFS_ERR_IO, errno));
            return 0;
        }
        if (n == 0)
            return 1;
        if (!sink(user, out_name, buffer, (size_t)n))
            return 0;
    }
}

/* staging_copy_into for a file a staging walk reached, or a single name at
 * the top: read natively when the search path is the write directory
 * alone, for the reason tree_walk_stat gives. Whatever cannot be opened
 * that way is left to PhysicsFS, whose open tells the error. */
static int staging_copy_walked(StagingSink sink, void *user, const char *out_name,
                               const char *src_path, char *buffer, size_t capacity,
                               NativeFileIdentity *source, int *source_known)
{
    *source_known = 0;
    int fd = tree_walk_open(src_path);
    if (fd < 0)
        return staging_copy_into(sink, user, out_name, src_path, buffer, capacity);
    NativeFileIdentity after;
    int before = native_file_identity(fd, source);
    int result = staging_copy_from_fd(sink, user, out_name, src_path, fd, buffer, capacity);
    *source_known = before && native_file_identity(fd, &after) &&
                    native_identity_equal(source, &after);
    native_file_close(fd);
    return result;
}

/* copy_file into a staged tree: the same messages, no flush to the disk.
 * buffer (capacity bytes) is the caller's, so a tree of many files does not
 * take and give back a buffer for each. */
static int staging_copy_file_native(const char *dst, const char *src, char *buffer,
                                    size_t capacity)
{
    publish_log_info("Copying '%s' to '%s'...", src, dst);
    char *native = native_write_path(dst);
    if (!native)
        return 0;
    int result = 0;
    int fd = native_file_create(native);
    if (fd < 0) {
        output_log_failure(&staging_copy_texts.open_failed, dst, strerror(errno));
    } else {
        NativeFileIdentity source, copy;
        int known = 0;
        result = staging_copy_walked(staging_native_sink, &fd, dst, src, buffer, capacity,
                                     &source, &known);
        /* The copy holds what the source held while it was read whole. */
        if (result && known && staging_observer && native_file_identity(fd, &copy))
            staging_observer(staging_observer_user, &source, &copy);
        if (!native_file_close(fd) && result) {
            output_log_failure(&staging_copy_texts.close_failed, dst, strerror(errno));
            result = 0;
        }
        if (!result)
            PHYSFS_delete(dst);
    }
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
        char *native = native_write_path(dst);
        if (!native)
            return 0;
        if (!native_make_directory(native))
            cause = strerror(errno);
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

/* A copy walk. One that stages a tree writes natively, through one buffer
 * for the whole walk; one without a buffer writes through PhysicsFS. */
typedef struct StagingCopy {
    const char *dest_dir;
    char *buffer; /* STAGING_COPY_BUFFER_SIZE bytes, or NULL */
} StagingCopy;

static int staging_copy_visit(void *copy, const TreeWalkEntry *e)
{
    const StagingCopy *c = (const StagingCopy *)copy;
    char *dst = alloc_printf("%s/%s", c->dest_dir, e->relative);
    if (!dst) {
        report_out_of_memory();
        return 0;
    }
    int ok;
    if (e->is_directory) {
        /* Made here, not left to the first file below it: an empty
         * directory would be lost without a word, and the file's message
         * would not name the directory that is at fault. */
        ok = staging_make_directory(dst, c->buffer != NULL);
    } else if (c->buffer) {
        ok = staging_copy_file_native(dst, e->path, c->buffer, STAGING_COPY_BUFFER_SIZE);
    } else {
        ok = copy_file(dst, e->path);
    }
    SDL_free(dst);
    return ok;
}

int copy_tree(const char *src_dir, const char *dest_dir)
{
    StagingCopy copy = {dest_dir, NULL};
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
        (st.filetype != PHYSFS_FILETYPE_DIRECTORY || staging_delete_contents(e->path))) {
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
        PHYSFS_delete(path); /* most games have none of them */
        SDL_free(path);
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
    char *native = native_write_path(flag);
    if (native) {
        *SDL_strrchr(native, '/') = '\0';
        native_make_directory(native); /* an open failure below says enough */
        native[SDL_strlen(native)] = '/';
        int fd = native_file_create(native);
        result = fd >= 0 && native_file_close(fd);
        SDL_free(native);
    }
    if (!result) {
        publish_log_error("Failed to write production build flag!");
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

int stage_game_tree(const NativeEntryRule *native, const char *game_dir, const char *dir)
{
    StagingCopy stage = {dir, (char *)SDL_malloc(STAGING_COPY_BUFFER_SIZE)};
    if (!stage.buffer) {
        report_out_of_memory();
        return 0;
    }
    /* Not checked: a directory that could not be made shows up as the
     * failure of the first file copied into it. */
    fs_mkdir(dir);
    TreeWalkOptions options = publish_walk_options(TREE_WALK_SKIP_EXCLUDED);
    options.admit = entry_name_allowed;
    int copied = tree_walk(game_dir, &options, staging_copy_visit, &stage);
    SDL_free(stage.buffer);
    return copied && strip_staged_tree(native, dir) && add_staged_defaults(dir);
}

int make_executable(const char *path)
{
    publish_log_info("Making '%s' executable...", path);
    char *native = native_write_path(path);
    if (!native) {
        return 0;
    }
    int result = native_make_executable(native);
    if (!result) {
        publish_log_error("Failed to make '%s' executable: %s", path, strerror(errno));
    }
    SDL_free(native);
    return result;
}

static void staging_announce_deletion(void *top, const char *relative)
{
    if (*relative)
        publish_log_info("Deleting '%s/%s'...", (const char *)top, relative);
    else
        publish_log_info("Deleting '%s'...", (const char *)top);
}

/* Natively, one system call an entry: PhysicsFS would stat and check each
 * path component for links on every call, several calls a file. */
int delete_tree(const char *path)
{
    char *native = native_write_path(path);
    if (!native)
        return 0;
    char *failed = NULL;
    int ok = native_remove_tree(native, staging_announce_deletion, (void *)path, &failed);
    if (!ok)
        publish_log_error("Failed to delete '%s%s%s': %s", path, failed && *failed ? "/" : "",
                          failed ? failed : "", strerror(errno));
    free(failed);
    SDL_free(native);
    return ok;
}
