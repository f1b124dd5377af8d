/* The desktop build of every Linux and Windows stub entry: the runtime stub
 * with a zip of the staged game appended; Windows ones carry the game's icon
 * and version resources too. */
#ifndef BRINDLECOT_PUBLISH_BUILD_DESKTOP_H
#define BRINDLECOT_PUBLISH_BUILD_DESKTOP_H

#include "publish/platforms/package.h"

/* platform is the stub entry name; the stub read is
 * ".brindlecot/stubs/<platform>". 1 built, 0 failed (out_path is then
 * gone). builds is not used: the dispatch has recorded the package. */
int build_desktop(const PlatformBuild *b);

#endif
