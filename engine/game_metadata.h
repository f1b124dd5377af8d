/* The game's description: ten locked "game_metadata." cvars and the loader of
 * metadata/game_metadata.txt (key=value lines). Other modules read the
 * storage variables directly. Main thread only. */
#ifndef BRINDLECOT_ENGINE_GAME_METADATA_H
#define BRINDLECOT_ENGINE_GAME_METADATA_H

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

int game_metadata_register(void);

/* 1 when the file held all five required keys and the package id could be
 * filled in; 0 otherwise (an unreadable file changes nothing). */
int game_metadata_load(const char *path);

#endif
