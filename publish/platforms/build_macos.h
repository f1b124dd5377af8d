/* The macOS branch of build_platform: a "<title>.app" bundle under the build
 * root "builds/<gameid>-mac-<version>", holding the runtime executable
 * restored from its stub, the game's .icns, an Info.plist and the staged game
 * as the bundle's resources. The build root is zipped into the package, and
 * the bundle directory is recorded beside the package so the upload can push
 * the bundle itself. Main thread only. */
#ifndef BRINDLECOT_PUBLISH_BUILD_MACOS_H
#define BRINDLECOT_PUBLISH_BUILD_MACOS_H

#include "publish/platforms/package.h"

/* The longest bundle path (build root, "/", name, ".app") that is built. */
#define MACOS_BUNDLE_PATH_MAX 200

/* Builds the bundle and zips its build root into out_path. 1 built, 0 failed
 * (out_path is then gone). Once the bundle path is known, {"macos", bundle
 * path, 1} goes to the head of builds (which may be NULL), failed or not.
 * A build root left from an earlier build is removed first; one that cannot
 * be removed fails the build. platform is the stub entry name; the stub read
 * is always ".brindlecot/stubs/macos". */
int build_macos_bundle(const PlatformBuild *b);

/* The title as a bundle directory name: bytes 0x01-0x1F, '/', ':' and '\\'
 * become '_', everything else (UTF-8 included) stays. NULL when out of
 * memory. */
char *macos_bundle_name(const char *title);

/* The Info.plist text, with the values XML-escaped. NULL when out of
 * memory. */
char *macos_info_plist(const char *title, const char *gameid, const char *packageid,
                       const char *version);

#endif
