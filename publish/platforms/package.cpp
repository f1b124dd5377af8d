#include "publish/platforms/package.h"

#include "engine/helpers.h"
#include "publish/publish_log.h"

#include <SDL.h>
#include <errno.h>
#include <physfs.h>

/* An installation tree that is missing would copy as empty and give a
 * package without the runtime's files that still counts as built. */
static int package_source_is_directory(const PackagePart *part)
{
    PHYSFS_Stat st;
    int found = PHYSFS_stat(part->source, &st);
    if (found && st.filetype == PHYSFS_FILETYPE_DIRECTORY)
        return 1;
    if (part->missing)
        publish_log_error("%s '%s'", part->missing, part->source);
    else if (!found)
        publish_log_error("Failed to stat '%s': %s", part->source, fs_error_text());
    else
        publish_log_error("Stub tree '%s' is not a directory", part->source);
    return 0;
}

static int package_make_part(const PlatformBuild *b, const PackagePart *part, const char *path)
{
    switch (part->kind) {
    case PACKAGE_PART_TREE:
        if (!package_source_is_directory(part))
            return 0;
        fs_mkdir(path); /* a failure shows up as the first copy's */
        return copy_tree(part->source, path);
    case PACKAGE_PART_GAME:
        return stage_game_tree(&b->native, b->game_dir, path);
    case PACKAGE_PART_MADE:
        return part->make(b, path, part->user);
    }
    return 0;
}

static int package_make_parts(const PlatformBuild *b, const PackageSpec *spec)
{
    for (int i = 0; i < spec->part_count; i++) {
        const PackagePart *part = &spec->parts[i];
        char *path = *part->name ? alloc_printf("%s/%s", spec->tree, part->name)
                                 : SDL_strdup(spec->tree);
        if (!path) {
            report_out_of_memory();
            return 0;
        }
        int ok = package_make_part(b, part, path);
        SDL_free(path);
        if (!ok)
            return 0;
    }
    return 1;
}

static int package_build_tree(const PlatformBuild *b, const PackageSpec *spec)
{
    return delete_tree(spec->tree) && package_make_parts(b, spec) &&
           zip_directory(b->zip_run, b->out_path, spec->tree, &spec->zip);
}

static int package_build_planned(const PlatformBuild *b, const PackageSpec *spec)
{
    GamePlan plan;
    if (!game_plan_make(&plan, &b->native, b->game_dir))
        return 0;
    int ok = spec->write(b, &plan, &spec->zip);
    game_plan_free(&plan);
    return ok;
}

int package_delete_earlier(const char *out_path)
{
    errno = 0;
    if (PHYSFS_delete(out_path))
        return 1;
    int saved_errno = errno;
    PHYSFS_ErrorCode code = PHYSFS_getLastErrorCode();
    if (code == PHYSFS_ERR_NOT_FOUND || saved_errno == ENOENT)
        return 1;
    publish_log_error("Couldn't delete '%s', the package of an earlier run: %s; it is not "
                      "this run's package",
                      out_path, fs_error_cause(code, saved_errno));
    return 0;
}

int package_build(const PlatformBuild *b, const PackageSpec *spec)
{
    int ok = spec->tree ? package_build_tree(b, spec) : package_build_planned(b, spec);
    if (!ok)
        package_delete_earlier(b->out_path);
    if (spec->record_platform) {
        const char *path = spec->record_path ? spec->record_path : spec->tree;
        if (!built_platform_add(b->builds, spec->record_platform, path, 1))
            ok = 0;
    }
    return ok;
}

void package_entry_rule(void *stored_name, const char *name, ZipEntrySpec *spec)
{
    spec->executable = SDL_strstr(name, ".app/Contents/MacOS/") != NULL;
    spec->stored = stored_name && SDL_strcmp(name, (const char *)stored_name) == 0;
}

ZipOptions package_zip_options(int add_directory_entries, const char *stored_name)
{
    ZipOptions options = {add_directory_entries, package_entry_rule, (void *)stored_name};
    return options;
}
