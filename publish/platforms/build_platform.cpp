#include "publish/platforms/build_platform.h"

#include "publish/platforms/platform_table.h"
#include "publish/publish_log.h"

int build_platform(const char *platform, const char *out_path, const char *game_dir,
                   BuiltPlatform *builds, ZipRun *zip_run)
{
    if (!built_platform_add(builds, platform, out_path, 0))
        return 0;
    publish_log_info("Building for platform '%s' ...", platform);
    const PlatformRow *row = platform_find(platform);
    if (!row) {
        publish_log_error("Unknown platform '%s'", platform);
        return 0;
    }
    PlatformBuild b = {platform, out_path, game_dir, builds, zip_run};
    return row->build ? row->build(&b) : 1;
}
