/* The game's description: ten locked "game_metadata." cvars and the loader of
 * metadata/game_metadata.txt (key=value lines). Other modules read the
 * storage variables (game_metadata_storage.h) directly. Main thread only. */
#ifndef BRINDLECOT_ENGINE_GAME_METADATA_H
#define BRINDLECOT_ENGINE_GAME_METADATA_H

#include "engine/game_metadata_storage.h"

int game_metadata_register(void);

/* 1 when the file held all five required keys and the package id could be
 * filled in; 0 otherwise (an unreadable file changes nothing). */
int game_metadata_load(const char *path);

#endif
