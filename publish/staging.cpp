#include "publish/staging.h"

#include <SDL.h>
#include <errno.h>
#include <string.h>

#include "engine/helpers.h"
#include "platform/native.h"
#include "publish/byte_io.h"
#include "publish/output_file.h"
#include "publish/platform_table.h"
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

int copy_stream(PHYSFS_File *out, const char *out_name, const char *src_path)
{
    errno = 0;
    PHYSFS_File *in = PHYSFS_openRead(src_path);
    if (!in) {
        int saved_errno = errno;
        publish_log_error("Can't open '%s' for reading: %s", src_path,
                          byte_io_call_error(PHYSFS_getLastErrorCode(), saved_errno));
        return 0;
    }
    char *buffer = (char *)SDL_malloc(STAGING_COPY_BUFFER_SIZE);
    if (!buffer) {
        PHYSFS_close(in);
        report_out_of_memory();
        return 0;
    }
    int result = 0;
    for (;;) {
        errno = 0;
        PHYSFS_sint64 n = PHYSFS_readBytes(in, buffer, STAGING_COPY_BUFFER_SIZE);
        if (n < 0) {
            int saved_errno = errno;
            publish_log_error("Read from '%s' failed: %s", src_path,
                              byte_io_call_error(PHYSFS_getLastErrorCode(), saved_errno));
            break;
        }
        if (n > 0 && !output_write(out, out_name, buffer, (size_t)n, &staging_copy_texts)) {
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
    SDL_free(buffer);
    PHYSFS_close(in);
    return result;
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

/* PHYSFS_stat, logging a failure with the operating system's reason. */
static int staging_stat(const char *path, PHYSFS_Stat *st)
{
    errno = 0;
    if (PHYSFS_stat(path, st))
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

static PHYSFS_EnumerateCallbackResult staging_copy_paths(const char *src, const char *dst)
{
    PHYSFS_Stat st;
    if (!staging_stat(src, &st))
        return PHYSFS_ENUM_ERROR;
    if (st.filetype == PHYSFS_FILETYPE_DIRECTORY) {
        /* Checked here, not left to the first file below it: an empty
         * directory would be lost without a word, and the file's message
         * would not name the directory that is at fault. */
        errno = 0;
        if (!fs_mkdir(dst)) {
            int saved_errno = errno;
            publish_log_error("Can't create directory '%s': %s", dst,
                              byte_io_call_error(PHYSFS_getLastErrorCode(), saved_errno));
            return PHYSFS_ENUM_ERROR;
        }
        return walk_directory(src, copy_tree_entry, (void *)dst) ? PHYSFS_ENUM_OK
                                                                 : PHYSFS_ENUM_ERROR;
    }
    if (st.filetype == PHYSFS_FILETYPE_REGULAR) {
        return copy_file(dst, src) ? PHYSFS_ENUM_OK : PHYSFS_ENUM_ERROR;
    }
    return PHYSFS_ENUM_OK; /* links and other special files are not packaged */
}

PHYSFS_EnumerateCallbackResult copy_tree_entry(void *dest_dir, const char *origdir,
                                               const char *name)
{
    if (is_excluded_name(name)) {
        return PHYSFS_ENUM_OK;
    }
    char *src = alloc_printf("%s/%s", origdir, name);
    char *dst = alloc_printf("%s/%s", (const char *)dest_dir, name);
    PHYSFS_EnumerateCallbackResult result = PHYSFS_ENUM_ERROR;
    if (!src || !dst) {
        report_out_of_memory();
    } else {
        result = staging_copy_paths(src, dst);
    }
    SDL_free(src);
    SDL_free(dst);
    return result;
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
    char *parent = SDL_strdup(flag);
    if (parent) {
        *SDL_strrchr(parent, '/') = '\0';
        fs_mkdir(parent); /* an open failure below says enough */
        SDL_free(parent);
        PHYSFS_File *f = PHYSFS_openWrite(flag);
        if (f)
            fs_set_usual_mode(flag);
        result = f && PHYSFS_close(f);
    }
    if (!result) {
        publish_log_error("Failed to write production build flag!");
    }
    SDL_free(flag);
    return result;
}

int add_staged_defaults(const char *dir)
{
    for (size_t i = 0; i < SDL_arraysize(staging_default_files); i++) {
        const char *name = staging_default_files[i];
        char *target = alloc_printf("%s/%s", dir, name);
        if (!target) {
            report_out_of_memory();
            return 0;
        }
        PHYSFS_Stat st;
        int ok = PHYSFS_stat(target, &st) || copy_file(target, name);
        SDL_free(target);
        if (!ok) {
            return 0;
        }
    }
    return staging_write_flag(dir);
}

int stage_game_tree(const char *platform, const char *game_dir, const char *dir)
{
    /* Not checked: a directory that could not be made shows up as the
     * failure of the first file copied into it. */
    fs_mkdir(dir);
    return walk_directory(game_dir, copy_tree_entry, (void *)dir) &&
           strip_staged_tree(platform, dir) && add_staged_defaults(dir);
}

int make_executable(const char *path)
{
    publish_log_info("Making '%s' executable...", path);
    const char *write_dir = PHYSFS_getWriteDir();
    char *native = alloc_printf("%s/%s", write_dir ? write_dir : ".", path);
    if (!native) {
        report_out_of_memory();
        return 0;
    }
    int result = native_make_executable(native);
    if (!result) {
        publish_log_error("Failed to make '%s' executable: %s", path, strerror(errno));
    }
    SDL_free(native);
    return result;
}

int delete_tree(const char *path)
{
    if (!PHYSFS_getRealDir(path))
        return 1;
    if (!walk_directory(path, delete_tree_entry, NULL))
        return 0;
    publish_log_info("Deleting '%s'...", path);
    if (!PHYSFS_delete(path)) {
        publish_log_error("Failed to delete '%s': %s", path,
                          fs_error_text());
        return 0;
    }
    return 1;
}
