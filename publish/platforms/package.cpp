#include "publish/platforms/package.h"

#include "engine/helpers.h"
#include "platform/native_file.h"
#include "publish/files/output_file.h"
#include "publish/files/staging.h"
#include "publish/files/staging_copies.h"
#include "publish/files/tree_delete.h"
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

/* How far the replacement of a build tree got. A tree is deleted before
 * its new one is staged, so from the delete until its package is written
 * neither the earlier tree nor a whole new one may be there; a stop signal
 * has to say so. */
typedef enum PackageTreeStep {
    PACKAGE_TREE_DELETING, /* the earlier tree is (partly) gone */
    PACKAGE_TREE_MAKING,   /* the new one is being made */
    PACKAGE_TREE_WHOLE     /* the new one is whole, its package not yet */
} PackageTreeStep;

typedef struct PackageTreeRecord {
    char *path;
    PackageTreeStep step;
    int existed; /* an earlier tree was there to delete */
} PackageTreeRecord;

/* The tree being replaced, or path NULL. */
static PackageTreeRecord package_tree;
/* What earlier builds of this process left that is not as before: a tree
 * of a failed build, an earlier package deleted after a failure, joined
 * by "; ". Lines say what happened, so the phrases are made when it does. */
static char *package_left_behind;
/* A phrase could not be kept (out of memory): the account is incomplete. */
static int package_record_lost;

static void package_note(const char *phrase)
{
    char *joined = package_left_behind ? alloc_printf("%s; %s", package_left_behind, phrase)
                                       : SDL_strdup(phrase);
    if (!joined) {
        package_record_lost = 1;
        return;
    }
    SDL_free(package_left_behind);
    package_left_behind = joined;
}

/* The phrase of the tree being replaced; NULL when none is, or out of
 * memory (*lost set then). */
static char *package_tree_phrase(const PackageTreeRecord *t, int *lost)
{
    if (!t->path)
        return NULL;
    char *phrase;
    if (t->step == PACKAGE_TREE_WHOLE)
        phrase = alloc_printf("made %s anew but not its package (run again to make it)",
                              t->path);
    else if (t->existed)
        phrase = alloc_printf("deleted %s of an earlier run and left this run's unfinished "
                              "(run again to make it)",
                              t->path);
    else
        phrase = alloc_printf("left %s unfinished (run again to make it)", t->path);
    if (!phrase)
        *lost = 1;
    return phrase;
}

/* A tree a failed build left is told of for the rest of the process. */
static void package_tree_settle(int built)
{
    if (!package_tree.path)
        return;
    if (!built) {
        int lost = 0;
        char *phrase = package_tree_phrase(&package_tree, &lost);
        if (phrase)
            package_note(phrase);
        else
            package_record_lost = 1;
        SDL_free(phrase);
    }
    SDL_free(package_tree.path);
    package_tree.path = NULL;
}

/* 0 after the out-of-memory line: without the record a stop could not
 * say what it leaves, so nothing is deleted. */
static int package_tree_begin(const char *tree)
{
    package_tree_settle(0);
    package_tree.path = SDL_strdup(tree);
    if (!package_tree.path) {
        report_out_of_memory();
        return 0;
    }
    PHYSFS_Stat st;
    package_tree.existed = PHYSFS_stat(tree, &st);
    package_tree.step = PACKAGE_TREE_DELETING;
    return 1;
}

static int package_build_tree(const PlatformBuild *b, const PackageSpec *spec)
{
    if (!package_tree_begin(spec->tree) || !delete_tree(spec->tree))
        return 0;
    package_tree.step = PACKAGE_TREE_MAKING;
    if (!package_make_parts(b, spec))
        return 0;
    package_tree.step = PACKAGE_TREE_WHOLE;
    return zip_directory(b->zip_run, b->out_path, spec->tree, &spec->zip);
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
    size_t dir_length = 0;
    char *native = output_native_path(out_path, &dir_length);
    if (!native)
        return 0;
    int removed = native_entry_remove(native, dir_length);
    int saved_errno = errno;
    SDL_free(native);
    if (removed) {
        char *phrase = alloc_printf("deleted %s of an earlier run (run again to make it)",
                                    out_path);
        if (phrase)
            package_note(phrase);
        else
            package_record_lost = 1;
        SDL_free(phrase);
        return 1;
    }
    if (saved_errno == ENOENT)
        return 1;
    publish_log_error("Couldn't delete '%s', the package of an earlier run: %s; it is not "
                      "this run's package",
                      out_path, output_native_cause(saved_errno));
    return 0;
}

int package_build(const PlatformBuild *b, const PackageSpec *spec)
{
    int ok = spec->tree ? package_build_tree(b, spec) : package_build_planned(b, spec);
    if (!ok)
        package_delete_earlier(b->out_path);
    if (spec->tree)
        package_tree_settle(ok);
    if (spec->record_platform) {
        const char *path = spec->record_path ? spec->record_path : spec->tree;
        if (!built_platform_add(b->builds, spec->record_platform, path, 1))
            ok = 0;
    }
    return ok;
}

char *package_unsettled(int *lost)
{
    *lost = package_record_lost;
    char *current = package_tree_phrase(&package_tree, lost);
    if (!package_left_behind)
        return current;
    char *all = current ? alloc_printf("%s; %s", package_left_behind, current)
                        : SDL_strdup(package_left_behind);
    if (!all)
        *lost = 1;
    SDL_free(current);
    return all;
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
