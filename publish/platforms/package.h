/* What every platform build shares: the record of one build, and the entry
 * rule that every package archive is written with. */
#ifndef BRINDLECOT_PUBLISH_PACKAGE_H
#define BRINDLECOT_PUBLISH_PACKAGE_H

#include "publish/archive/zip_writer.h"
#include "publish/files/staging.h"
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

/* The ZipEntryRule of every package: a file below a ".app/Contents/MacOS/"
 * directory (case-sensitive) is executable, so a macOS bundle found
 * anywhere in a package starts; the file whose name is stored_name (a
 * const char *, or NULL for none) is stored. */
void package_entry_rule(void *stored_name, const char *name, ZipEntrySpec *spec);

/* The options of a package archive: package_entry_rule with stored_name. */
ZipOptions package_zip_options(int add_directory_entries, const char *stored_name);

#endif
