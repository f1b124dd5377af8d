#include "publish/files/staging.h"

#include <SDL.h>
#include <errno.h>

#include "engine/helpers.h"
#include "platform/native_file.h"
#include "publish/files/file_copy.h"
#include "publish/files/output_file.h"
#include "publish/files/staging_copies.h"
#include "publish/files/tree_delete.h"
#include "publish/publish_log.h"

/* Another platform's native code in a staged tree's native/ only makes the
 * package bigger: an entry that will not go is left in place rather than
 * failing the build. */
static int staging_keeps_native(void *rule, const char *name)
{
    return game_plan_keeps_native_entry((const NativeEntryRule *)rule, name);
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
        int dropped = staging_copies_drop(path);
        if (dropped)
            output_remove(path); /* most games have none of them */
        SDL_free(path);
        if (!dropped)
            return 0;
    }
    char *native_dir = alloc_printf("%s/native", dir);
    if (!native_dir) {
        report_out_of_memory();
        return 0;
    }
    int result = delete_entries(native_dir, staging_keeps_native, (void *)native);
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
        staging_copies_drop_native(native); /* a flag the game carries is emptied */
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
    char *buffer = (char *)SDL_malloc(FILE_COPY_BUFFER_SIZE);
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
             staging_copies_copy_file(target, name, buffer, FILE_COPY_BUFFER_SIZE);
        SDL_free(target);
    }
    SDL_free(buffer);
    return ok && staging_write_flag(dir);
}

int stage_game_tree(const NativeEntryRule *native, const char *game_dir, const char *dir)
{
    char *buffer = (char *)SDL_malloc(FILE_COPY_BUFFER_SIZE);
    if (!buffer) {
        report_out_of_memory();
        return 0;
    }
    /* Not checked: a directory that could not be made shows up as the
     * failure of the first file copied into it. */
    fs_mkdir(dir);
    int copied = staging_copies_stage(game_dir, dir, buffer);
    SDL_free(buffer);
    return copied && strip_staged_tree(native, dir) && add_staged_defaults(dir);
}

