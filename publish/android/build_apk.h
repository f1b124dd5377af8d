/* The Android package (APK) of the android and oculusquest stub platforms.
 * A build tree "builds/<gameid>-<platform>-<version>" is assembled from the
 * platform's stub tree, the staged game under "assets", the five launcher
 * icons, the game's activity class as classes2.dex, resources.arsc and the
 * binary AndroidManifest.xml, then zipped with an entry for every directory
 * into the package. resources.arsc is stored uncompressed (Android maps it
 * straight from the package and refuses a compressed one for recent target
 * versions); everything else is deflated, and every entry's data is 4-byte
 * aligned. The package is not signed.
 *
 * The build tree stays after the build, for inspection, and is replaced
 * whole by the next build of the same game, platform and version. Main
 * thread only. */
#ifndef BRINDLECOT_BUILD_APK_H
#define BRINDLECOT_BUILD_APK_H

#include "publish/platforms/package.h"

/* platform: the stub entry name ("android" or "oculusquest", any case);
 * out_path: the package in the write directory; game_dir: the game. 1 when
 * the package was written. 0 after the failing step logged why; the package
 * is then gone, also one left by an earlier run, while the build tree keeps
 * whatever was made. */
int build_android_apk(const PlatformBuild *b);

/* Package parts (PackageMake) that the app bundle makes too: the check
 * that the stub holds the runtime's classes.dex (under stub/dex/ when user
 * is not NULL, as a bundle has it), the launcher icons below dir/res, and
 * the activity's classes2.dex in dir. */
int apk_part_check_stub(const PlatformBuild *b, const char *dir, void *bundle);
int apk_part_icons(const PlatformBuild *b, const char *dir, void *unused);
int apk_part_dex(const PlatformBuild *b, const char *dir, void *unused);

#endif
