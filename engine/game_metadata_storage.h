/* The values of the ten "game_metadata." settings. They live apart from
 * the loader so that a program which only reads them (the daemon's log)
 * does not link the loader. Main thread only. */
#ifndef BRINDLECOT_ENGINE_GAME_METADATA_STORAGE_H
#define BRINDLECOT_ENGINE_GAME_METADATA_STORAGE_H

#include <stdint.h>

extern char *game_metadata_devid;
extern char *game_metadata_devtitle;
extern char *game_metadata_gameid;
extern char *game_metadata_gametitle;
extern char *game_metadata_version;
extern char *game_metadata_icon;
extern char *game_metadata_packageid;
extern int32_t game_metadata_deployment;
extern int32_t game_metadata_compile_ruby;
extern int32_t game_metadata_vrmode;

#endif
