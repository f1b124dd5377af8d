/* A builder run alone, without build_platform's record and dispatch. */
#ifndef BRINDLECOT_TEST_PLATFORM_BUILD_H
#define BRINDLECOT_TEST_PLATFORM_BUILD_H

#include "publish/platforms/package.h"
#include "publish/platforms/platform_table.h"

inline int run_builder(int (*builder)(const PlatformBuild *), const char *platform,
                       const char *out_path, const char *game_dir)
{
    PlatformBuild b = {};
    b.platform = platform;
    b.out_path = out_path;
    b.game_dir = game_dir;
    b.native = platform_native_rule(platform);
    return builder(&b);
}

#endif
