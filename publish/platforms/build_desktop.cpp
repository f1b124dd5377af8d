#include "publish/platforms/build_desktop.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/images/icons.h"
#include "publish/files/output_file.h"
#include "publish/images/pe_resources.h"
#include "publish/publish_log.h"
#include "publish/files/file_copy.h"
#include "publish/files/tree_delete.h"
#include "publish/platforms/package.h"

#include <SDL.h>
#include <physfs.h>

/* Where earlier versions staged the game, and put the zip before appending
 * it. */
#define OLD_TMPTREE ".brindlecot/tmptree"
#define OLD_TMPZIP ".brindlecot/tmp.zip"

/* The package is written through one handle, from the stub's first byte to
 * the zip's last, so it reaches the disk once, when it is complete. */
static const OutputTexts desktop_package_texts = {
    {"Can't open ", " for writing"},
    {"Write to ", " failed"},
    {"Couldn't write ", ""},
};

/* The stub of platform (search path), or NULL after reporting that memory
 * ran out. */
static char *desktop_stub_path(const char *platform)
{
    char *stub = alloc_printf(".brindlecot/stubs/%s", platform);
    if (!stub)
        report_out_of_memory();
    return stub;
}

static int copy_stub(const char *platform, OutFile *out, const char *out_path)
{
    char *stub = desktop_stub_path(platform);
    if (!stub)
        return 0;
    publish_log_info("Copying '%s' to '%s'...", stub, out_path);
    int ok = copy_stream(out, out_path, stub);
    SDL_free(stub);
    return ok;
}

/* out is left at the end of the stub, where the zip goes. The resources
 * are read from the stub itself, which out holds a copy of: the output is
 * only ever written. */
static int patch_with_icon(const char *platform, OutFile *out, const char *out_path,
                           const char *ico_path)
{
    uint64_t stub_end = out_file_tell(out);
    uint64_t size = 0;
    uint8_t *ico = (uint8_t *)read_whole_file(ico_path, &size);
    if (!ico) {
        publish_log_error("Failed to load '%s'", ico_path);
        return 0;
    }
    char *stub = desktop_stub_path(platform);
    PHYSFS_File *in = stub ? PHYSFS_openRead(stub) : NULL;
    if (!in) {
        if (stub)
            publish_log_error("Couldn't open '%s' for reading: %s", stub, fs_error_text());
        SDL_free(stub);
        SDL_free(ico);
        return 0;
    }
    int ok = patch_windows_resources(in, out, out_path, platform, ico, size);
    SDL_free(ico);
    SDL_free(stub);
    PHYSFS_close(in);
    out_file_seek(out, stub_end);
    return ok;
}

/* Writes the game's icon and version into the stub's resource scratch
 * space. The .ico stays under .brindlecot after the build. */
static int windows_resource_step(const char *platform, OutFile *out, const char *out_path,
                                 const char *game_dir)
{
    char *ico_path = alloc_printf(".brindlecot/%s.ico", game_metadata_gameid);
    char *image_path = alloc_printf("%s/%s", game_dir, game_metadata_icon);
    int ok = 0;
    if (!ico_path || !image_path)
        report_out_of_memory();
    else if (make_windows_icon(ico_path, image_path))
        ok = patch_with_icon(platform, out, out_path, ico_path);
    SDL_free(ico_path);
    SDL_free(image_path);
    return ok;
}

/* The stub, its Windows resources, then the zip of the game's plan straight
 * after it: the zip's offsets count from its own first byte, as they did
 * when it was written to a file of its own and appended. The package is
 * then marked executable. */
static int write_package(const PlatformBuild *b, const GamePlan *plan, const ZipOptions *zip)
{
    const char *platform = b->platform, *out_path = b->out_path;
    int windows = SDL_strncasecmp(platform, "windows", 7) == 0;
    OutFile *out = output_open_result(out_path, &desktop_package_texts);
    if (!out)
        return 0;
    int ok = copy_stub(platform, out, out_path) &&
             (!windows || windows_resource_step(platform, out, out_path, b->game_dir)) &&
             zip_plan_to(b->zip_run, out, out_path, plan, zip);
    if (!ok)
        output_abandon(out);
    else
        ok = output_close(out, out_path, &desktop_package_texts);
    return ok && make_executable(out_path);
}

int build_desktop(const PlatformBuild *b)
{
    /* The game is archived straight from its files: a staged copy would
     * only be read back once and thrown away. */
    const PackagePart parts[] = {{PACKAGE_PART_GAME, "", NULL, NULL, NULL, NULL}};
    PackageSpec spec = {NULL, parts, package_part_count(parts), package_zip_options(1, NULL),
                        write_package, NULL, NULL};
    int ok = package_build(b, &spec);
    /* Not written any more, but what an older version left would stay for
     * ever; its loss is no failure of this build. */
    delete_tree(OLD_TMPTREE);
    output_remove(OLD_TMPZIP);
    return ok;
}
