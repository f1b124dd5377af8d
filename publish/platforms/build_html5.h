/* The HTML5 branch of build_platform: a static site in
 * "builds/<gameid>-html5-<version>" made of the stub's web root, the loader
 * script (a generated header with the game's identity, then the stub's
 * loader body), the staged game under "gamedata", "manifest.json" listing
 * every game file with its size and time, and a 512 x 512 "favicon.png".
 * The site directory is zipped into the package and recorded beside it so
 * the upload can push the directory itself. Main thread only. */
#ifndef BRINDLECOT_PUBLISH_BUILD_HTML5_H
#define BRINDLECOT_PUBLISH_BUILD_HTML5_H

#include "publish/platforms/package.h"

#include <physfs.h>

/* Builds the site and zips it into out_path. 1 built, 0 failed (out_path is
 * then gone). Once the site path is known, {"html5", site directory, 1} goes
 * to the head of builds (which may be NULL), failed or not. A site left from
 * an earlier build is removed first; one that cannot be removed fails. */
int build_html5_site(const PlatformBuild *b);

/* The loader's first lines: GBrindlecotGameId, GBrindlecotGameTitle,
 * GBrindlecotDevTitle, GBrindlecotGameVersion and GBrindlecotIcon ("/" +
 * icon) as single-quoted JavaScript strings that read back exactly as given,
 * then an empty line. NULL when out of memory. */
char *html5_loader_header(const char *gameid, const char *gametitle, const char *devtitle,
                          const char *version, const char *icon);

/* Writes manifest_path (created or truncated) for the tree gamedata_dir:
 * one JSON object whose keys are the tree's regular files (relative
 * "/"-separated paths, excluded names left out at any depth), each with its
 * "filesize" and "filetime", closed by an empty key. 1/0, logged. */
int write_manifest_json(const char *gamedata_dir, const char *manifest_path);

#endif
