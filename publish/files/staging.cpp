#include "publish/files/staging.h"

#include <SDL.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "engine/helpers.h"
#include "platform/native.h"
#include "platform/native_file.h"
#include "publish/archive/byte_io.h"
#include "publish/files/output_file.h"
#include "publish/platforms/platform_table.h"
#include "publish/publish_log.h"

/* Constant memory whatever the file's size. */
#define STAGING_COPY_BUFFER_SIZE (4 * 1024 * 1024)

/* Launchers and replay files of the installation that a game directory may
 * carry at its top; they have no place in a package. */
static const char *const staging_stripped_names[] = {
    "brindlecot",      "brindlecot.bat",      "run",
    "run.bat",         "replay.txt",          "watch-recording",
    "watch-recording.bat", "run-demo",        "run-demo.bat",
};

static const char *const staging_default_files[] = {
    "open-source-licenses.txt", "font.ttf", "brindlecot.png",
    "brindlecot-controller.png", "console-logo.png",
};

static const char *const staging_excluded_names[] = {
    ".brindlecot", ".DS_Store", "__MACOSX", ".git", ".hg", ".svn",
};

/* Copies, and the stream appended to an output by copy_stream. */
static const OutputTexts staging_copy_texts = {
    "Can't open '%s' for writing: %s",
    "Write to '%s' failed: %s",
    "Write to '%s' failed: %s",
};

int is_excluded_name(const char *name)
{
    for (size_t i = 0; i < SDL_arraysize(staging_excluded_names); i++) {
        if (SDL_strcasecmp(name, staging_excluded_names[i]) == 0) {
            return 1;
        }
    }
    return 0;
}

int walk_directory(const char *dir, PHYSFS_EnumerateCallback callback, void *data)
{
    errno = 0;
    if (PHYSFS_enumerate(dir, callback, data))
        return 1;
    int saved_errno = errno;
    PHYSFS_ErrorCode code = PHYSFS_getLastErrorCode();
    /* A callback's failure has been logged where it happened, and PhysicsFS
     * marks every level of the walk above it with this code. */
    if (code != PHYSFS_ERR_APP_CALLBACK)
        publish_log_error("Can't read directory '%s': %s", dir,
                          byte_io_call_error(code, saved_errno));
    return 0;
}

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
                          byte_io_call_error(PHYSFS_getLastErrorCode(), saved_errno));
        return 0;
    }
    int result = 0;
    for (;;) {
        errno = 0;
        PHYSFS_sint64 n = PHYSFS_readBytes(in, buffer, capacity);
        if (n < 0) {
            int saved_errno = errno;
            publish_log_error("Read from '%s' failed: %s", src_path,
                              byte_io_call_error(PHYSFS_getLastErrorCode(), saved_errno));
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

typedef struct SearchPathProbe {
    const char *write_dir;
    int entries;
    int write_dir_at_root;
} SearchPathProbe;

static void staging_probe_search_path(void *data, const char *dir)
{
    SearchPathProbe *probe = (SearchPathProbe *)data;
    probe->entries++;
    const char *mount_point = PHYSFS_getMountPoint(dir);
    if (SDL_strcmp(dir, probe->write_dir) == 0 && mount_point &&
        SDL_strcmp(mount_point, "/") == 0)
        probe->write_dir_at_root = 1;
}

/* 1 when a search path is the same path in the write directory, so the
 * write directory's native path names it. */
static int staging_search_path_is_write_dir(void)
{
    SearchPathProbe probe = {PHYSFS_getWriteDir(), 0, 0};
    if (!probe.write_dir)
        return 0;
    PHYSFS_getSearchPathCallback(staging_probe_search_path, &probe);
    return probe.entries == 1 && probe.write_dir_at_root;
}

/* 1 when PhysicsFS takes path as it is: relative, no empty, "." or ".."
 * component, no ':' or '\\' (a name can hold them natively, but PhysicsFS
 * refuses it, and so must every stat of it). */
static int staging_path_is_plain(const char *path)
{
    const char *component = path;
    for (const char *p = path;; p++) {
        if (*p == '/' || *p == '\0') {
            size_t n = (size_t)(p - component);
            if (n == 0 || (component[0] == '.' && (n == 1 || (n == 2 && component[1] == '.'))))
                return 0;
            if (*p == '\0')
                return 1;
            component = p + 1;
        } else if (*p == ':' || *p == '\\') {
            return 0;
        }
    }
}

char *native_write_path(const char *path)
{
    const char *write_dir = PHYSFS_getWriteDir();
    char *native = alloc_printf("%s/%s", write_dir ? write_dir : ".", path);
    if (!native)
        report_out_of_memory();
    return native;
}

static int staging_native_sink(void *fd, const char *out_name, const void *data,
                               size_t length)
{
    if (native_file_write_all(*(const int *)fd, data, length))
        return 1;
    publish_log_error(staging_copy_texts.write_failed, out_name, strerror(errno));
    return 0;
}

char *native_walked_path(const char *path)
{
    if (!staging_path_is_plain(path) || !staging_search_path_is_write_dir())
        return NULL;
    return alloc_printf("%s/%s", PHYSFS_getWriteDir(), path);
}

/* Who is told of each native copy; see staging_observe_copies. */
static StagingCopyObserver staging_observer;
static void *staging_observer_user;

void staging_observe_copies(StagingCopyObserver observer, void *user)
{
    staging_observer = observer;
    staging_observer_user = user;
}

int open_walked_path(const char *path)
{
    char *native = native_walked_path(path);
    if (!native)
        return -1;
    int fd = native_file_open_read(native);
    SDL_free(native);
    return fd;
}

/* The copy loop for a source opened natively (staging_open_natively). */
static int staging_copy_from_fd(StagingSink sink, void *user, const char *out_name,
                                const char *src_path, int fd, char *buffer, size_t capacity)
{
    for (;;) {
        long long n = native_file_read(fd, buffer, capacity);
        if (n < 0) {
            publish_log_error("Read from '%s' failed: %s", src_path,
                              byte_io_call_error(PHYSFS_ERR_IO, errno));
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
 * alone, for the reason stat_walked_path gives. Whatever cannot be opened
 * that way is left to PhysicsFS, whose open tells the error. */
static int staging_copy_walked(StagingSink sink, void *user, const char *out_name,
                               const char *src_path, char *buffer, size_t capacity,
                               NativeFileIdentity *source, int *source_known)
{
    *source_known = 0;
    int fd = open_walked_path(src_path);
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
        publish_log_error(staging_copy_texts.open_failed, dst, strerror(errno));
    } else {
        NativeFileIdentity source, copy;
        int known = 0;
        result = staging_copy_walked(staging_native_sink, &fd, dst, src, buffer, capacity,
                                     &source, &known);
        /* The copy holds what the source held while it was read whole. */
        if (result && known && staging_observer && native_file_identity(fd, &copy))
            staging_observer(staging_observer_user, &source, &copy);
        if (!native_file_close(fd) && result) {
            publish_log_error(staging_copy_texts.close_failed, dst, strerror(errno));
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
        cause = byte_io_call_error(PHYSFS_getLastErrorCode(), saved_errno);
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

static int staging_stat_natively(const char *path, PHYSFS_Stat *st)
{
    if (!staging_path_is_plain(path) || !staging_search_path_is_write_dir())
        return 0;
    char *native = alloc_printf("%s/%s", PHYSFS_getWriteDir(), path);
    if (!native)
        return 0;
    NativeFileInfo info;
    int found = native_file_lstat(native, &info) && info.type != NATIVE_FILE_OTHER;
    SDL_free(native);
    if (!found)
        return 0;
    SDL_zerop(st);
    st->filetype = info.type == NATIVE_FILE_DIRECTORY ? PHYSFS_FILETYPE_DIRECTORY
                                                      : PHYSFS_FILETYPE_REGULAR;
    st->filesize = info.type == NATIVE_FILE_DIRECTORY ? 0 : (PHYSFS_sint64)info.size;
    st->modtime = info.modtime;
    st->createtime = info.createtime;
    st->accesstime = info.accesstime;
    return 1;
}

int stat_walked_path(const char *path, PHYSFS_Stat *st)
{
    return staging_stat_natively(path, st) || PHYSFS_stat(path, st);
}

/* PHYSFS_stat of a walked path, logging a failure with the operating
 * system's reason. */
static int staging_stat(const char *path, PHYSFS_Stat *st)
{
    errno = 0;
    if (stat_walked_path(path, st))
        return 1;
    int saved_errno = errno;
    publish_log_error("Failed to stat '%s': %s", path,
                      byte_io_call_error(PHYSFS_getLastErrorCode(), saved_errno));
    return 0;
}

PHYSFS_EnumerateCallbackResult delete_tree_entry(void *data, const char *origdir,
                                                 const char *name)
{
    char *path = alloc_printf("%s/%s", origdir, name);
    if (!path) {
        report_out_of_memory();
        return PHYSFS_ENUM_ERROR;
    }
    PHYSFS_EnumerateCallbackResult result = PHYSFS_ENUM_ERROR;
    PHYSFS_Stat st;
    if (!staging_stat(path, &st)) {
        /* logged */
    } else if (st.filetype == PHYSFS_FILETYPE_DIRECTORY &&
               !walk_directory(path, delete_tree_entry, NULL)) {
        /* The entry that failed has said why. */
    } else {
        publish_log_info("Deleting '%s'...", path);
        if (!PHYSFS_delete(path)) {
            publish_log_error("Failed to delete '%s': %s", path, fs_error_text());
        } else {
            result = PHYSFS_ENUM_OK;
        }
    }
    SDL_free(path);
    return result;
}

/* A copy walk that stages a tree writes natively, through one buffer for
 * the whole walk; copy_tree_entry's walk (stage NULL) writes through
 * PhysicsFS. */
typedef struct StagingWalk {
    const char *dest_dir;
    char *buffer; /* STAGING_COPY_BUFFER_SIZE bytes */
} StagingWalk;

static PHYSFS_EnumerateCallbackResult staging_copy_entry(const char *dest_dir,
                                                         const char *origdir,
                                                         const char *name,
                                                         const StagingWalk *stage);

static PHYSFS_EnumerateCallbackResult stage_tree_entry(void *walk, const char *origdir,
                                                       const char *name)
{
    const StagingWalk *stage = (const StagingWalk *)walk;
    return staging_copy_entry(stage->dest_dir, origdir, name, stage);
}

static PHYSFS_EnumerateCallbackResult staging_copy_paths(const char *src, const char *dst,
                                                         const StagingWalk *stage)
{
    PHYSFS_Stat st;
    if (!staging_stat(src, &st))
        return PHYSFS_ENUM_ERROR;
    if (st.filetype == PHYSFS_FILETYPE_DIRECTORY) {
        /* Checked here, not left to the first file below it: an empty
         * directory would be lost without a word, and the file's message
         * would not name the directory that is at fault. */
        if (!staging_make_directory(dst, stage != NULL))
            return PHYSFS_ENUM_ERROR;
        int walked;
        if (stage) {
            StagingWalk inner = {dst, stage->buffer};
            walked = walk_directory(src, stage_tree_entry, &inner);
        } else {
            walked = walk_directory(src, copy_tree_entry, (void *)dst);
        }
        return walked ? PHYSFS_ENUM_OK : PHYSFS_ENUM_ERROR;
    }
    if (st.filetype == PHYSFS_FILETYPE_REGULAR) {
        int copied = stage ? staging_copy_file_native(dst, src, stage->buffer,
                                                      STAGING_COPY_BUFFER_SIZE)
                           : copy_file(dst, src);
        return copied ? PHYSFS_ENUM_OK : PHYSFS_ENUM_ERROR;
    }
    return PHYSFS_ENUM_OK; /* links and other special files are not packaged */
}

static PHYSFS_EnumerateCallbackResult staging_copy_entry(const char *dest_dir,
                                                         const char *origdir,
                                                         const char *name,
                                                         const StagingWalk *stage)
{
    if (is_excluded_name(name)) {
        return PHYSFS_ENUM_OK;
    }
    char *src = alloc_printf("%s/%s", origdir, name);
    char *dst = alloc_printf("%s/%s", dest_dir, name);
    PHYSFS_EnumerateCallbackResult result = PHYSFS_ENUM_ERROR;
    if (!src || !dst) {
        report_out_of_memory();
    } else {
        result = staging_copy_paths(src, dst, stage);
    }
    SDL_free(src);
    SDL_free(dst);
    return result;
}

PHYSFS_EnumerateCallbackResult copy_tree_entry(void *dest_dir, const char *origdir,
                                               const char *name)
{
    return staging_copy_entry((const char *)dest_dir, origdir, name, NULL);
}

PHYSFS_EnumerateCallbackResult prune_native_entry(void *platform, const char *origdir,
                                                  const char *name)
{
    if (platform_keeps_native_entry((const char *)platform, name)) {
        return PHYSFS_ENUM_OK;
    }
    char *path = alloc_printf("%s/%s", origdir, name);
    if (!path) {
        report_out_of_memory();
        return PHYSFS_ENUM_ERROR;
    }
    /* Another platform's native code only makes the package bigger: an
     * entry that will not go is left in place rather than failing the build.
     * Only a directory has contents to walk first. */
    PHYSFS_Stat st;
    if (PHYSFS_stat(path, &st)) {
        int emptied = st.filetype != PHYSFS_FILETYPE_DIRECTORY ||
                      walk_directory(path, delete_tree_entry, NULL);
        if (emptied) {
            publish_log_info("Deleting '%s'...", path);
            if (!PHYSFS_delete(path)) {
                publish_log_error("Failed to delete '%s': %s", path, fs_error_text());
            }
        }
    }
    SDL_free(path);
    return PHYSFS_ENUM_OK;
}

int strip_staged_tree(const char *platform, const char *dir)
{
    for (size_t i = 0; i < SDL_arraysize(staging_stripped_names); i++) {
        char *path = alloc_printf("%s/%s", dir, staging_stripped_names[i]);
        if (!path) {
            report_out_of_memory();
            return 0;
        }
        PHYSFS_delete(path); /* most games have none of them */
        SDL_free(path);
    }
    char *native = alloc_printf("%s/native", dir);
    if (!native) {
        report_out_of_memory();
        return 0;
    }
    int result = walk_directory(native, prune_native_entry, (void *)platform);
    SDL_free(native);
    return result;
}

static int staging_write_flag(const char *dir)
{
    char *flag = alloc_printf("%s/metadata/BRINDLECOT_PRODUCTION_BUILD", dir);
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
    int ok = 1;
    for (size_t i = 0; ok && i < SDL_arraysize(staging_default_files); i++) {
        const char *name = staging_default_files[i];
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

int stage_game_tree(const char *platform, const char *game_dir, const char *dir)
{
    StagingWalk stage = {dir, (char *)SDL_malloc(STAGING_COPY_BUFFER_SIZE)};
    if (!stage.buffer) {
        report_out_of_memory();
        return 0;
    }
    /* Not checked: a directory that could not be made shows up as the
     * failure of the first file copied into it. */
    fs_mkdir(dir);
    int copied = walk_directory(game_dir, stage_tree_entry, &stage);
    SDL_free(stage.buffer);
    return copied && strip_staged_tree(platform, dir) && add_staged_defaults(dir);
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
