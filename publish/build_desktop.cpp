#include "publish/build_desktop.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/icons.h"
#include "publish/output_file.h"
#include "publish/pe_resources.h"
#include "publish/publish_log.h"
#include "publish/staging.h"
#include "publish/zip_writer.h"

#include <SDL.h>
#include <physfs.h>

#define TMPTREE ".brindlecot/tmptree"
#define TMPZIP ".brindlecot/tmp.zip"

/* The package is opened for appending, not through output_open. */
static const OutputTexts desktop_append_texts = {NULL, NULL, "Couldn't write '%s': %s"};

static int copy_stub(const char *platform, const char *out_path)
{
    char *stub = alloc_printf(".brindlecot/stubs/%s", platform);
    if (!stub) {
        report_out_of_memory();
        return 0;
    }
    int ok = copy_file(out_path, stub);
    SDL_free(stub);
    return ok;
}

static int patch_with_icon(const char *platform, const char *out_path, const char *ico_path)
{
    uint64_t size = 0;
    uint8_t *ico = (uint8_t *)read_whole_file(ico_path, &size);
    if (!ico) {
        publish_log_error("Failed to load '%s'", ico_path);
        return 0;
    }
    PHYSFS_File *in = PHYSFS_openRead(out_path);
    if (!in) {
        publish_log_error("Couldn't open '%s' for reading: %s", out_path, fs_error_text());
        SDL_free(ico);
        return 0;
    }
    PHYSFS_File *out = PHYSFS_openAppend(out_path);
    if (!out) {
        publish_log_error("Couldn't open '%s' for writing: %s", out_path, fs_error_text());
        PHYSFS_close(in);
        SDL_free(ico);
        return 0;
    }
    int ok = patch_windows_resources(in, out, out_path, platform, ico, size);
    SDL_free(ico);
    PHYSFS_close(in);
    if (!ok)
        output_abandon(out);
    else
        ok = output_close(out, out_path, &desktop_append_texts);
    return ok;
}

/* Writes the game's icon and version into the stub's resource scratch
 * space. The .ico stays under .brindlecot after the build. */
static int windows_resource_step(const char *platform, const char *out_path,
                                 const char *game_dir)
{
    char *ico_path = alloc_printf(".brindlecot/%s.ico", game_metadata_gameid);
    char *image_path = alloc_printf("%s/%s", game_dir, game_metadata_icon);
    int ok = 0;
    if (!ico_path || !image_path)
        report_out_of_memory();
    else if (make_windows_icon(ico_path, image_path))
        ok = patch_with_icon(platform, out_path, ico_path);
    SDL_free(ico_path);
    SDL_free(image_path);
    return ok;
}

static int append_zip(const char *out_path)
{
    PHYSFS_File *out = PHYSFS_openAppend(out_path);
    if (!out) {
        publish_log_error("Can't open '%s' for appending: %s", out_path, fs_error_text());
        return 0;
    }
    int ok = copy_stream(out, out_path, TMPZIP);
    if (!ok)
        output_abandon(out);
    else
        ok = output_close(out, out_path, &desktop_append_texts);
    return ok;
}

int build_desktop(const char *platform, const char *out_path, const char *game_dir,
                  BuiltPlatform *builds)
{
    (void)builds;
    int windows = SDL_strncasecmp(platform, "windows", 7) == 0;
    int ok = delete_tree(TMPTREE) && stage_game_tree(platform, game_dir, TMPTREE) &&
             zip_directory(TMPZIP, TMPTREE, 1) &&
             copy_stub(platform, out_path) &&
             (!windows || windows_resource_step(platform, out_path, game_dir)) &&
             append_zip(out_path) && make_executable(out_path);
    if (!ok)
        PHYSFS_delete(out_path);
    /* Only removes the tree when it is empty; the next desktop build
     * empties it first. */
    PHYSFS_delete(TMPTREE);
    PHYSFS_delete(TMPZIP);
    return ok;
}
