/* The package and publish operation: loads the game's metadata, walks the
 * installation's stub directory and builds one package per stub entry that
 * passes the platform filter, keeps the finished builds in a list and, when
 * publishing, hands that list to the upload. */
#ifndef BRINDLECOT_PUBLISH_GAME_H
#define BRINDLECOT_PUBLISH_GAME_H

#include "publish/platforms/built_platform.h"

#include <physfs.h>

/* 1 on success. platform_list is the text after "--platforms=" or NULL;
 * upload is 1 for a publish, 0 for packaging only. */
int publish_game(const char *game_dir, const char *platform_list, int upload);

/* "builds/<gameid>-<platform><suffix>", the one name every package has;
 * NULL when out of memory. */
char *package_path_for(const char *platform);

/* For the line a stop signal leaves: the platforms the last publish_game
 * of the process built whole (the one being built left out), joined by
 * ", " or "none"; NULL before its builds began (during the first pass,
 * say) or when the list was lost to a lack of memory, which sets *lost
 * (else 0). *uploading is 1 once the builds are over and the upload has
 * begun: this run's packages are in place then. An SDL allocation. */
char *publish_game_progress(int *uploading, int *lost);

/* After a publish whose build failed: one line naming the platforms
 * built, the one that failed and those not attempted, each once; after a
 * stub directory that could not be listed, one line saying so. Nothing
 * otherwise. */
void publish_game_report_outcome(void);

#endif
