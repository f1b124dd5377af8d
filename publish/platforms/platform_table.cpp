#include "publish/platforms/platform_table.h"

#include "publish/publish_log.h"

#include <SDL.h>

/* The builders live in modules that stage games, and staging reads this
 * table for its native-code rule: declaring them here instead of including
 * their headers keeps the modules free of an include circle. A declaration
 * that no longer fits its definition fails at link time. */
int build_desktop(const PlatformBuild *b);
int build_macos_bundle(const PlatformBuild *b);
int build_html5_site(const PlatformBuild *b);
int build_app_bundle(const PlatformBuild *b);
int build_android_apk(const PlatformBuild *b);

/* Butler only takes the desktop platforms it has channels for, so those
 * come before the prefix rows that build every other Linux and Windows
 * entry. */
static const PlatformRow platform_rows[] = {
    {"linux-amd64", PLATFORM_MATCH_WHOLE, ".bin", build_desktop, PLATFORM_UPLOAD_PACKAGE, NULL},
    {"linux-raspberrypi", PLATFORM_MATCH_WHOLE, ".bin", build_desktop, PLATFORM_UPLOAD_PACKAGE,
     NULL},
    {"linux", PLATFORM_MATCH_PREFIX, ".bin", build_desktop, PLATFORM_UPLOAD_NONE, NULL},
    {"windows-amd64", PLATFORM_MATCH_WHOLE, ".exe", build_desktop, PLATFORM_UPLOAD_PACKAGE,
     NULL},
    {"windows", PLATFORM_MATCH_PREFIX, ".exe", build_desktop, PLATFORM_UPLOAD_NONE, NULL},
    {"macos", PLATFORM_MATCH_WHOLE, ".zip", build_macos_bundle, PLATFORM_UPLOAD_TREE, NULL},
    {"html5", PLATFORM_MATCH_WHOLE, ".zip", build_html5_site, PLATFORM_UPLOAD_TREE, NULL},
    {"android", PLATFORM_MATCH_WHOLE, ".apk", build_android_apk, PLATFORM_UPLOAD_NONE,
     "android-"},
    {"googleplay", PLATFORM_MATCH_WHOLE, ".aab", build_app_bundle, PLATFORM_UPLOAD_NONE, NULL},
    {"oculusquest", PLATFORM_MATCH_WHOLE, ".apk", build_android_apk, PLATFORM_UPLOAD_NONE,
     NULL},
    {"ios-device", PLATFORM_MATCH_WHOLE, "", NULL, PLATFORM_UPLOAD_NONE, NULL},
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

int platform_keeps_native_entry(const char *platform, const char *name)
{
    const PlatformRow *row = platform_find(platform);
    if (row && row->native_prefix && SDL_strcmp(platform, row->name) == 0 &&
        SDL_strncasecmp(name, row->native_prefix, SDL_strlen(row->native_prefix)) == 0)
        return 1;
    return SDL_strcasecmp(name, platform) == 0;
}
