#include "publish/platforms/platform_table.h"

#include <SDL.h>

/* Butler only takes the desktop platforms it has channels for, so those
 * come before the prefix rows that build every other Linux and Windows
 * entry. */
static const PlatformRow platform_rows[] = {
    {"linux-amd64", PLATFORM_MATCH_WHOLE, ".bin", PLATFORM_BUILD_DESKTOP,
     PLATFORM_UPLOAD_PACKAGE, NULL},
    {"linux-raspberrypi", PLATFORM_MATCH_WHOLE, ".bin", PLATFORM_BUILD_DESKTOP,
     PLATFORM_UPLOAD_PACKAGE, NULL},
    {"linux", PLATFORM_MATCH_PREFIX, ".bin", PLATFORM_BUILD_DESKTOP, PLATFORM_UPLOAD_NONE, NULL},
    {"windows-amd64", PLATFORM_MATCH_WHOLE, ".exe", PLATFORM_BUILD_DESKTOP,
     PLATFORM_UPLOAD_PACKAGE, NULL},
    {"windows", PLATFORM_MATCH_PREFIX, ".exe", PLATFORM_BUILD_DESKTOP, PLATFORM_UPLOAD_NONE,
     NULL},
    {"macos", PLATFORM_MATCH_WHOLE, ".zip", PLATFORM_BUILD_MACOS, PLATFORM_UPLOAD_TREE, NULL},
    {"html5", PLATFORM_MATCH_WHOLE, ".zip", PLATFORM_BUILD_HTML5, PLATFORM_UPLOAD_TREE, NULL},
    {"android", PLATFORM_MATCH_WHOLE, ".apk", PLATFORM_BUILD_APK, PLATFORM_UPLOAD_NONE,
     "android-"},
    {"googleplay", PLATFORM_MATCH_WHOLE, ".aab", PLATFORM_BUILD_APP_BUNDLE, PLATFORM_UPLOAD_NONE,
     NULL},
    {"oculusquest", PLATFORM_MATCH_WHOLE, ".apk", PLATFORM_BUILD_APK, PLATFORM_UPLOAD_NONE,
     NULL},
    {"ios-device", PLATFORM_MATCH_WHOLE, "", PLATFORM_BUILD_NOTHING, PLATFORM_UPLOAD_NONE, NULL},
};

static int platform_row_matches(const PlatformRow *row, const char *platform)
{
    if (row->match == PLATFORM_MATCH_PREFIX)
        return SDL_strncasecmp(platform, row->name, SDL_strlen(row->name)) == 0;
    return SDL_strcasecmp(platform, row->name) == 0;
}

const PlatformRow *platform_find(const char *platform)
{
    for (size_t i = 0; i < SDL_arraysize(platform_rows); i++)
        if (platform_row_matches(&platform_rows[i], platform))
            return &platform_rows[i];
    return NULL;
}

const char *platform_package_suffix(const char *platform)
{
    const PlatformRow *row = platform_find(platform);
    return row ? row->suffix : "";
}

NativeEntryRule platform_native_rule(const char *platform)
{
    const PlatformRow *row = platform_find(platform);
    NativeEntryRule rule = {platform, NULL};
    if (row && row->native_prefix && SDL_strcmp(platform, row->name) == 0)
        rule.prefix = row->native_prefix;
    return rule;
}
