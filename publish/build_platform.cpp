#include "publish/build_platform.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/android/build_app_bundle.h"
#include "publish/build_html5.h"
#include "publish/build_macos.h"
#include "publish/icons.h"
#include "publish/pe_resources.h"
#include "publish/publish_log.h"
#include "publish/staging.h"
#include "publish/zip_writer.h"

#include <SDL.h>
#include <physfs.h>

#define TMPTREE ".brindlecot/tmptree"
#define TMPZIP ".brindlecot/tmp.zip"

/* A branch whose module is not part of this build. */
static int platform_unavailable(const char *platform)
{
    publish_log_error("Platform '%s' is not available in this build.", platform);
    return 0;
}

static int stage_game(const char *platform, const char *game_dir)
{
    if (!delete_tree(TMPTREE))
        return 0;
    PHYSFS_mkdir(TMPTREE);
    return PHYSFS_enumerate(game_dir, copy_tree_entry, (void *)TMPTREE) &&
           strip_staged_tree(platform, TMPTREE) && add_staged_defaults(TMPTREE);
}

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
        publish_log_error("Couldn't open '%s' for reading: %s", out_path, publish_fs_error());
        SDL_free(ico);
        return 0;
    }
    PHYSFS_File *out = PHYSFS_openAppend(out_path);
    if (!out) {
        publish_log_error("Couldn't open '%s' for writing: %s", out_path, publish_fs_error());
        PHYSFS_close(in);
        SDL_free(ico);
        return 0;
    }
    int ok = patch_windows_resources(in, out, out_path, platform, ico, size);
    SDL_free(ico);
    PHYSFS_close(in);
    if (!PHYSFS_close(out) && ok) {
        publish_log_error("Couldn't write '%s': %s", out_path, publish_fs_error());
        ok = 0;
    }
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
        publish_log_error("Can't open '%s' for appending: %s", out_path, publish_fs_error());
        return 0;
    }
    int ok = copy_stream(out, out_path, TMPZIP);
    if (!PHYSFS_close(out) && ok) {
        publish_log_error("Couldn't write '%s': %s", out_path, publish_fs_error());
        ok = 0;
    }
    return ok;
}

int build_desktop(const char *platform, const char *out_path, const char *game_dir)
{
    int windows = SDL_strncasecmp(platform, "windows", 7) == 0;
    int ok = stage_game(platform, game_dir) && zip_directory(TMPZIP, TMPTREE, 1) &&
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

int build_platform(const char *platform, const char *out_path, const char *game_dir,
                   BuiltPlatform *builds)
{
    if (!built_platform_add(builds, platform, out_path, 0))
        return 0;
    publish_log_info("Building for platform '%s' ...", platform);
    if (SDL_strncasecmp(platform, "linux", 5) == 0 ||
        SDL_strncasecmp(platform, "windows", 7) == 0)
        return build_desktop(platform, out_path, game_dir);
    if (SDL_strcasecmp(platform, "macos") == 0)
        return build_macos_bundle(platform, out_path, game_dir, builds);
    if (SDL_strcasecmp(platform, "html5") == 0)
        return build_html5_site(platform, out_path, game_dir, builds);
    if (SDL_strcasecmp(platform, "googleplay") == 0)
        return build_app_bundle(platform, out_path, game_dir);
    if (SDL_strcasecmp(platform, "android") == 0 ||
        SDL_strcasecmp(platform, "oculusquest") == 0)
        return platform_unavailable(platform);
    if (SDL_strcasecmp(platform, "ios-device") == 0)
        return 1;
    publish_log_error("Unknown platform '%s'", platform);
    return 0;
}
