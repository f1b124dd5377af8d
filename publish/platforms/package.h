/* What every platform build shares: the record of one build, the one
 * sequence every build runs (package_build) and the entry rule that every
 * package archive is written with.
 *
 * A build describes its package as a list of parts, each a place below
 * the package tree and where its bytes come from, in the order they are
 * made. package_build replaces the tree, makes the parts in it, writes the
 * package from the tree and, when anything failed, deletes the package, so
 * that a new platform is one row of the platform table and one small
 * function that lists its parts. A package whose tree would only be a
 * means to the archive (a desktop package) has no tree: it is written
 * from the plan of the game's entries. */
#ifndef BRINDLECOT_PUBLISH_PACKAGE_H
#define BRINDLECOT_PUBLISH_PACKAGE_H

#include "publish/archive/zip_writer.h"
#include "publish/files/game_plan.h"
#include "publish/platforms/built_platform.h"

/* One build of one stub entry, as build_platform hands it to the
 * platform's builder. */
typedef struct PlatformBuild {
    const char *platform; /* the stub entry name, as enumerated */
    const char *out_path; /* the package */
    const char *game_dir;
    BuiltPlatform *builds; /* the driver's list head, or NULL */
    ZipRun *zip_run;       /* the publish's run, or NULL: each archive its own */
    NativeEntryRule native; /* what the staged game's native/ keeps */
} PlatformBuild;

typedef enum PackagePartKind {
    PACKAGE_PART_TREE, /* a directory of the installation, copied as it is */
    PACKAGE_PART_GAME, /* the game directory, staged for the platform */
    PACKAGE_PART_MADE  /* made by the build itself */
} PackagePartKind;

/* Makes a part at path (its place in the package tree). 1, or 0 after a
 * logged failure. */
typedef int (*PackageMake)(const PlatformBuild *b, const char *path, void *user);

typedef struct PackagePart {
    PackagePartKind kind;
    const char *name;   /* below the package tree; "" is the tree itself */
    const char *source; /* TREE: the installation directory */
    /* TREE: said, followed by " 'source'", when source is not a
     * directory; NULL for "Failed to stat '%s': %s" or "Stub tree '%s' is
     * not a directory". */
    const char *missing;
    PackageMake make; /* MADE */
    void *user;       /* MADE: handed to make */
} PackagePart;

/* The count of a parts list, taken from the array itself, so a part added
 * is never left out of the count (a pointer does not compile). */
template <size_t N>
constexpr int package_part_count(const PackagePart (&)[N])
{
    return (int)N;
}

/* Writes the package b->out_path from the plan of its game. 1/0, logged. */
typedef int (*PackageWrite)(const PlatformBuild *b, const GamePlan *plan, const ZipOptions *zip);

typedef struct PackageSpec {
    /* The package tree: removed first, then made anew, and zipped into
     * b->out_path. NULL for a package that keeps no tree: its one part is
     * the game (PACKAGE_PART_GAME), planned (game_plan.h), not staged, and
     * write writes the package from the plan. */
    const char *tree;
    const PackagePart *parts;
    int part_count;
    ZipOptions zip;     /* how the entries are archived */
    PackageWrite write; /* without a tree */
    /* Not NULL: recorded in b->builds as this platform's build directory
     * record_path (the tree itself when NULL), failed or not. */
    const char *record_platform;
    const char *record_path;
} PackageSpec;

/* The build's sequence: the tree, its parts in order, the package. 1 built;
 * 0 failed, with b->out_path deleted (the tree stays for a look). */
int package_build(const PlatformBuild *b, const PackageSpec *spec);

/* Deletes out_path, the package of an earlier run, after a failed build,
 * so that it never passes for this run's. 1 when it is gone or was never
 * there; 0 after a line naming it and the cause. */
int package_delete_earlier(const char *out_path);

/* For the line a stop signal leaves: what the builds of this process left
 * that is neither as before the run nor whole from it, as phrases joined
 * by "; " ("deleted builds/x of an earlier run and left this run's
 * unfinished (run again to make it)", "made builds/x anew but not its
 * package ...", "left builds/x unfinished ...", "deleted builds/x.zip of
 * an earlier run ..."); NULL when there is nothing of the kind. *lost is
 * set to 1 when memory ran out and the account may be incomplete, else 0.
 * An SDL allocation. */
char *package_unsettled(int *lost);

/* The ZipEntryRule of every package: a file below a ".app/Contents/MacOS/"
 * directory (case-sensitive) is executable, so a macOS bundle found
 * anywhere in a package starts; the file whose name is stored_name (a
 * const char *, or NULL for none) is stored. */
void package_entry_rule(void *stored_name, const char *name, ZipEntrySpec *spec);

/* The options of a package archive: package_entry_rule with stored_name. */
ZipOptions package_zip_options(int add_directory_entries, const char *stored_name);

#endif
