/* libFuzzer target for the game metadata loader: any text a game's
 * metadata/game_metadata.txt may hold. Whatever it holds, the values the
 * rest of the program reads are strings afterwards. */
#include "fuzz_support.h"

#include "engine/game_metadata.h"

#include <string.h>

/* Where the lengths go, so the compiler keeps the reads. */
static volatile size_t fuzz_metadata_sink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_support_init();
    fuzz_write_file("game_metadata.txt", data, size);
    game_metadata_load("game_metadata.txt");
    const char *const values[] = {game_metadata_devid,   game_metadata_devtitle,
                                  game_metadata_gameid,  game_metadata_gametitle,
                                  game_metadata_version, game_metadata_icon,
                                  game_metadata_packageid};
    for (const char *v : values) {
        FUZZ_CHECK(v != NULL);
        fuzz_metadata_sink = fuzz_metadata_sink + strlen(v);
    }
    fuzz_discard_log();
    return 0;
}
