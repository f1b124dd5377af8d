/* Everything the publisher knows about a platform, by the name of its stub
 * entry: how the name is matched, the package suffix, the build that makes
 * the package, whether butler uploads it and which native code the staged
 * game keeps. The first row that matches a name wins. The table is data:
 * it calls nothing, so every module may read it. */
#ifndef BRINDLECOT_PUBLISH_PLATFORM_TABLE_H
#define BRINDLECOT_PUBLISH_PLATFORM_TABLE_H

#include "publish/files/game_plan.h"

/* Which build makes a row's package; build_platform runs it. */
typedef enum PlatformBuilder {
    PLATFORM_BUILD_NOTHING, /* nothing is built, and that is a success */
    PLATFORM_BUILD_DESKTOP,
    PLATFORM_BUILD_MACOS,
    PLATFORM_BUILD_HTML5,
    PLATFORM_BUILD_APK,
    PLATFORM_BUILD_APP_BUNDLE
} PlatformBuilder;

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
    PlatformBuilder build;
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

/* What a staged game's native/ keeps in the build of platform. */
NativeEntryRule platform_native_rule(const char *platform);

#endif
