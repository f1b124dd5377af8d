#include "publish/platforms/build_platform.h"

#include "publish/android/build_apk.h"
#include "publish/android/build_app_bundle.h"
#include "publish/platforms/build_desktop.h"
#include "publish/platforms/build_html5.h"
#include "publish/platforms/build_macos.h"
#include "publish/platforms/platform_table.h"
#include "publish/publish_log.h"

static int build_platform_run(PlatformBuilder builder, const PlatformBuild *b)
{
    switch (builder) {
    case PLATFORM_BUILD_NOTHING:
        return 1;
    case PLATFORM_BUILD_DESKTOP:
        return build_desktop(b);
    case PLATFORM_BUILD_MACOS:
        return build_macos_bundle(b);
    case PLATFORM_BUILD_HTML5:
        return build_html5_site(b);
    case PLATFORM_BUILD_APK:
        return build_android_apk(b);
    case PLATFORM_BUILD_APP_BUNDLE:
        return build_app_bundle(b);
    }
    return 0;
}

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
    PlatformBuild b = {platform, out_path, game_dir, builds, zip_run,
                       platform_native_rule(platform)};
    return build_platform_run(row->build, &b);
}
