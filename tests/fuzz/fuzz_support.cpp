#include "fuzz_support.h"

#include "engine/cvar.h"
#include "engine/fs_alloc.h"
#include "engine/game_metadata.h"
#include "engine/log.h"

#include <SDL.h>
#include <physfs.h>

#include <stdio.h>
#include <stdlib.h>

static void fuzz_remove_directory(void)
{
    const char *dir = PHYSFS_getWriteDir();
    if (!dir)
        return;
    char command[4200];
    snprintf(command, sizeof command, "rm -rf '%s'", dir);
    if (system(command) != 0)
        fprintf(stderr, "could not remove %s\n", dir);
}

void fuzz_support_init(void)
{
    static int ready = 0;
    if (ready)
        return;
    ready = 1;
    /* Errors that the modules write out at once go to standard output;
     * libFuzzer reports on standard error, which stays readable. */
    FUZZ_CHECK(freopen("/dev/null", "w", stdout) != NULL);
    /* In memory where the system offers it: every run writes a file. */
    static char shm_dir[] = "/dev/shm/brindlecot-fuzz-XXXXXX";
    static char tmp_dir[] = "/tmp/brindlecot-fuzz-XXXXXX";
    const char *dir = mkdtemp(shm_dir);
    if (!dir)
        dir = mkdtemp(tmp_dir);
    FUZZ_CHECK(dir != NULL);
    FUZZ_CHECK(SDL_Init(0) == 0);
    FUZZ_CHECK(log_init() == 1);
    /* Time stamps make a line's length, and so the coverage, differ from
     * one run of a seed to the next. */
    FUZZ_CHECK(cvar_set("log.timing", "false") == 1);
    FUZZ_CHECK(fs_alloc_install() == 1);
    FUZZ_CHECK(PHYSFS_init("fuzz") != 0);
    FUZZ_CHECK(PHYSFS_mount(dir, NULL, 1) != 0);
    FUZZ_CHECK(PHYSFS_setWriteDir(dir) != 0);
    FUZZ_CHECK(game_metadata_register() == 1);
    atexit(fuzz_remove_directory);
}

void fuzz_write_file(const char *path, const uint8_t *data, size_t size)
{
    PHYSFS_File *f = PHYSFS_openWrite(path);
    FUZZ_CHECK(f != NULL);
    FUZZ_CHECK(PHYSFS_writeBytes(f, data, size) == (PHYSFS_sint64)size);
    FUZZ_CHECK(PHYSFS_close(f) != 0);
}

void fuzz_discard_log(void)
{
    log_free_lines(log_take_queue());
}
