/* One package for one stub entry: records it in the driver's list, picks
 * the kind of build from the entry's name and runs it. Desktop builds
 * (names beginning with "linux" or "windows") are the runtime stub with a
 * zip of the staged game appended; Windows ones carry the game's icon and
 * version resources too. */
#ifndef BRINDLECOT_PUBLISH_BUILD_PLATFORM_H
#define BRINDLECOT_PUBLISH_BUILD_PLATFORM_H

#include "publish/publish_game.h"

/* 1 when built (or nothing had to be built), 0 on failure, after which
 * out_path is gone. builds may be NULL. */
int build_platform(const char *platform, const char *out_path, const char *game_dir,
                   BuiltPlatform *builds);

/* The desktop branch on its own. */
int build_desktop(const char *platform, const char *out_path, const char *game_dir);

#endif
