#include "engine/game_metadata_storage.h"

#include <stddef.h>

char *game_metadata_devid = NULL;
char *game_metadata_devtitle = NULL;
char *game_metadata_gameid = NULL;
char *game_metadata_gametitle = NULL;
char *game_metadata_version = NULL;
char *game_metadata_icon = NULL;
char *game_metadata_packageid = NULL;
int32_t game_metadata_deployment = 0;
int32_t game_metadata_compile_ruby = 0;
int32_t game_metadata_vrmode = 0;
