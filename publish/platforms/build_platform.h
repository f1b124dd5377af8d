/* One package for one stub entry: records it in the driver's list, looks
 * the entry's name up in the platform table and runs that row's build. */
#ifndef BRINDLECOT_PUBLISH_BUILD_PLATFORM_H
#define BRINDLECOT_PUBLISH_BUILD_PLATFORM_H

#include "publish/platforms/package.h"

/* 1 when built (or nothing had to be built), 0 on failure, after which
 * out_path is gone. builds may be NULL; so may zip_run, the run the
 * package's archives belong to (each archive then makes its own). */
int build_platform(const char *platform, const char *out_path, const char *game_dir,
                   BuiltPlatform *builds, ZipRun *zip_run);

#endif
