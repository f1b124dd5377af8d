/* The Google Play app bundle (.aab) of a game: a build tree in the bundle
 * layout, zipped into the package file. The tree holds BundleConfig.pb and
 * the base module: the stub's runtime files (which bring dex/), the staged
 * game under assets/, the launcher icons under res/, dex/classes2.dex with
 * the game's activity, manifest/AndroidManifest.xml as a protobuf XmlNode
 * and resources.pb. The bundle is not signed. Main thread only. */
#ifndef BRINDLECOT_BUILD_APP_BUNDLE_H
#define BRINDLECOT_BUILD_APP_BUNDLE_H

#include "publish/platforms/package.h"

/* platform is the stub entry's name as spelled in the stub directory (the
 * build tree and the stub tree keep its letter case), out_path the package
 * file, game_dir the game directory. The build tree
 * builds/<gameid>-<platform>-<version> replaces an older one and stays
 * after the build. 1 when the package was written; 0 after the failure was
 * logged, with out_path deleted. builds is not used: the dispatch has
 * recorded the package. */
int build_app_bundle(const PlatformBuild *b);

#endif
