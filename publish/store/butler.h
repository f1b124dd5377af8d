/* The upload of a publish's finished builds to the itch.io store with the
 * store's command-line tool, butler.
 *
 * Butler lives in ".brindlecot/itchio-butler" of the write directory. When
 * it is there it is upgraded first (version, upgrade, version); when it is
 * not, its archive is downloaded from the address in the setting
 * "publish.butler_url" and unpacked there. Then every desktop package and
 * every macOS and HTML5 build directory is pushed, newest build first, to
 * the target devid/gameid with the platform as channel. Butler runs as a
 * process of its own with an argument vector, never through a shell; a
 * devid or gameid that is not an itch.io name (letters, digits, '-' and
 * '_', not beginning with '-') stops the upload before butler runs. */
#ifndef BRINDLECOT_PUBLISH_BUTLER_H
#define BRINDLECOT_PUBLISH_BUTLER_H

#include "publish/platforms/built_platform.h"

/* Registers "publish.butler_url" (scheme and host of the download; the
 * archive's path is appended). 1, or 0 with SDL's error text set. */
int butler_register(void);

/* Gets butler ready and pushes the builds (the first record of the list,
 * newest first). Every failure is logged and stops the remaining uploads;
 * none of them is the publish's failure, so nothing is returned. Main
 * thread only. */
void upload_to_itchio(const BuiltPlatform *builds);

#endif
