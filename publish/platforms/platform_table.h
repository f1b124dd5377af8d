/* Everything the publisher knows about a platform, by the name of its stub
 * entry: how the name is matched, the package suffix, the build that makes
 * the package, whether butler uploads it and which native code the staged
 * game keeps. The first row that matches a name wins. */
#ifndef BRINDLECOT_PUBLISH_PLATFORM_TABLE_H
#define BRINDLECOT_PUBLISH_PLATFORM_TABLE_H

#include "publish/platforms/package.h"

/* Builds the package b->out_path for the stub entry b->platform and
 * records what it built beyond the package in b->builds. 1 built, 0 failed
 * (out_path is then gone). */
typedef int (*PlatformBuilder)(const PlatformBuild *b);

typedef enum PlatformMatch {
    PLATFORM_MATCH_WHOLE, /* the whole entry name, ignoring case */
    PLATFORM_MATCH_PREFIX /* the entry name begins with the row's name, ignoring case */
} PlatformMatch;

/* What butler pushes; the channel is always the platform name the build
 * was recorded under. */
typedef enum PlatformUpload {
    PLATFORM_UPLOAD_NONE,
    PLATFORM_UPLOAD_PACKAGE, /* the package file */
    PLATFORM_UPLOAD_TREE     /* the build directory recorded beside the package */
} PlatformUpload;

typedef struct PlatformRow {
    const char *name;
    PlatformMatch match;
    const char *suffix;    /* appended to the package name */
    PlatformBuilder build; /* NULL: nothing is built, and that is a success */
    PlatformUpload upload;
    /* A staged game's native/ keeps the entry named like the platform; when
     * the platform is spelled exactly like this row's name, also every entry
     * beginning with native_prefix (ignoring case). NULL: no such entries. */
    const char *native_prefix;
} PlatformRow;

/* The row for a stub entry name, or NULL for a platform nobody builds. */
const PlatformRow *platform_find(const char *platform);

/* The package suffix of a name; "" for an unknown one. */
const char *platform_package_suffix(const char *platform);

/* 1 when the staged native/ entry name belongs in the build of platform. */
int platform_keeps_native_entry(const char *platform, const char *name);

#endif
