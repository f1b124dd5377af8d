/* Test helper: zips one directory with the publisher's zip writer, so that
 * end-to-end tests can check the archive with real zip readers.
 *
 *   brindlecot-zip-tree NATIVE_DIR ROOT_DIR ZIP_PATH ADD_DIRECTORY_ENTRIES
 *
 * NATIVE_DIR becomes the search path and the write directory; ROOT_DIR and
 * ZIP_PATH are paths inside it. Log lines go to standard output. Exit code
 * 0 when zip_directory succeeded, else 1. */
#include <SDL.h>
#include <physfs.h>
#include <stdio.h>
#include <stdlib.h>

#include "engine/fs_alloc.h"
#include "engine/log.h"
#include "platform/debug_output.h"
#include "publish/archive/zip_writer.h"
#include "publish/platforms/package.h"

static void print_line(const uint16_t *text, void *user)
{
    char utf8[8192];
    PHYSFS_utf8FromUtf16((const PHYSFS_uint16 *)text, utf8, sizeof utf8);
    printf("%s\n", utf8);
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: %s NATIVE_DIR ROOT_DIR ZIP_PATH ADD_DIRECTORY_ENTRIES\n", argv[0]);
        return 2;
    }
    debug_output_set_sink(print_line, NULL);
    if (SDL_Init(0) != 0 || !log_init() || !fs_alloc_install() || !PHYSFS_init(argv[0]) ||
        !PHYSFS_mount(argv[1], NULL, 1) || !PHYSFS_setWriteDir(argv[1])) {
        fprintf(stderr, "set-up failed\n");
        return 2;
    }
    /* Zipped as every package is, with the packages' entry rule. */
    ZipOptions options = package_zip_options(atoi(argv[4]), NULL);
    int ok = zip_directory(NULL, argv[3], argv[2], &options);
    log_shutdown();
    PHYSFS_deinit();
    SDL_Quit();
    return ok ? 0 : 1;
}
