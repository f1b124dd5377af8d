/* A stand-in for the game runtime that the desktop packages start with. A
 * package is this executable with the game's zip appended; PhysicsFS finds
 * an archive at the end of a file, so the program mounts itself and shows
 * what it carries:
 *
 *   brindlecot-runtime-stub            lists every entry, directories with "/"
 *   brindlecot-runtime-stub --cat P    writes the file P of the game to stdout
 *
 * Exit code 0 on success, 1 on failure (message on standard error). */
#include "engine/helpers.h"

#include <physfs.h>

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static PHYSFS_EnumerateCallbackResult stub_list_entry(void *data, const char *origdir,
                                                      const char *name)
{
    char path[PATH_MAX];
    if (*origdir) {
        snprintf(path, sizeof path, "%s/%s", origdir, name);
    } else {
        snprintf(path, sizeof path, "%s", name);
    }
    PHYSFS_Stat st;
    if (!PHYSFS_stat(path, &st)) {
        fprintf(stderr, "stat '%s' failed: %s\n", path, fs_error_text());
        return PHYSFS_ENUM_ERROR;
    }
    if (st.filetype == PHYSFS_FILETYPE_DIRECTORY) {
        printf("%s/\n", path);
        return PHYSFS_enumerate(path, stub_list_entry, data) ? PHYSFS_ENUM_OK
                                                             : PHYSFS_ENUM_ERROR;
    }
    printf("%s\n", path);
    return PHYSFS_ENUM_OK;
}

static int stub_cat(const char *path)
{
    PHYSFS_File *f = PHYSFS_openRead(path);
    if (!f) {
        fprintf(stderr, "can't open '%s': %s\n", path, fs_error_text());
        return 0;
    }
    char buffer[65536];
    int ok = 1;
    for (;;) {
        PHYSFS_sint64 n = PHYSFS_readBytes(f, buffer, sizeof buffer);
        if (n < 0) {
            fprintf(stderr, "read '%s' failed: %s\n", path, fs_error_text());
            ok = 0;
            break;
        }
        if (n > 0 && fwrite(buffer, 1, (size_t)n, stdout) != (size_t)n) {
            ok = 0;
            break;
        }
        if (n < (PHYSFS_sint64)sizeof buffer) {
            break;
        }
    }
    PHYSFS_close(f);
    return ok && fflush(stdout) == 0;
}

static int stub_run(int argc, char **argv)
{
    char self[PATH_MAX];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        fprintf(stderr, "can't find my own executable\n");
        return 0;
    }
    self[len] = '\0';
    if (!PHYSFS_mount(self, NULL, 0)) {
        fprintf(stderr, "no game archive in '%s': %s\n", self, fs_error_text());
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "--cat") == 0) {
        return stub_cat(argv[2]);
    }
    if (argc == 1) {
        return PHYSFS_enumerate("", stub_list_entry, NULL) != 0;
    }
    fprintf(stderr, "usage: %s [--cat PATH]\n", argv[0]);
    return 0;
}

int main(int argc, char **argv)
{
    if (!PHYSFS_init(argv[0])) {
        fprintf(stderr, "PhysicsFS init failed: %s\n", fs_error_text());
        return 1;
    }
    int ok = stub_run(argc, argv);
    PHYSFS_deinit();
    return ok ? 0 : 1;
}
