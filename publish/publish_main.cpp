#include "publish/publish_main.h"

#include "engine/cvar.h"
#include "engine/fs_alloc.h"
#include "engine/game_metadata.h"
#include "engine/http.h"
#include "engine/log.h"
#include "platform/console.h"
#include "publish/butler.h"
#include "publish/download.h"
#include "publish/icons.h"
#include "publish/publish_game.h"
#include "engine/helpers.h"
#include "publish/publish_log.h"

#include <SDL.h>
#include <physfs.h>

#include <stdio.h>

/* Prints a start-up failure on standard error; the caller ends the program. */
static int startup_failed(const char *fmt, const char *why)
{
    fprintf(stderr, fmt, why);
    return 0;
}

/* Brings up the file system. With no arguments at all and no "mygame" here,
 * the program's own directory takes the current one's place, so a tool
 * started by double-click finds its game and writes beside itself. */
static int startup_filesystem(int argc, char **argv)
{
    if (!fs_alloc_install())
        return startup_failed("PHYSFS_setAllocator failed: %s", fs_error_text());
    if (!PHYSFS_init(argv[0]))
        return startup_failed("PHYSFS_init failed: %s", fs_error_text());
    const char *base_dir = PHYSFS_getBaseDir();
    if (!base_dir)
        return startup_failed("Couldn't determine base dir: %s", fs_error_text());
    if (!PHYSFS_mount(".", NULL, 1))
        return startup_failed("Couldn't mount current dir: %s", fs_error_text());

    const char *write_dir = ".";
    PHYSFS_Stat st;
    if (argc == 1 && !PHYSFS_stat("mygame", &st)) {
        if (!PHYSFS_unmount("."))
            return startup_failed("Couldn't unmount current dir: %s", fs_error_text());
        if (!PHYSFS_mount(base_dir, NULL, 1))
            return startup_failed("Couldn't mount base dir: %s", fs_error_text());
        write_dir = base_dir;
    }
    if (!PHYSFS_setWriteDir(write_dir))
        return startup_failed("Couldn't set write directory: %s", fs_error_text());
    return 1;
}

/* 1 when everything is up and the log is configured. */
static int startup(int argc, char **argv)
{
    SDL_SetHint("SDL_NO_SIGNAL_HANDLERS", "1");
    SDL_setenv("SDL_VIDEODRIVER", "dummy", 1);
    if (SDL_Init(SDL_INIT_VIDEO) == -1)
        return startup_failed("SDL_Init() failed: %s\n", SDL_GetError());
    if (!log_init())
        return startup_failed("Failed to initialize logging: %s\n", SDL_GetError());
    if (!game_metadata_register())
        return startup_failed("Failed to register metadata cvars: %s\n", SDL_GetError());
    if (!butler_register())
        return startup_failed("Failed to register butler cvars: %s\n", SDL_GetError());

    /* Held as pending values until log_configure registers these. */
    cvar_set("log.subsystem", "false");
    cvar_set("log.filename", "logs/brindlecot-publish.txt");
    cvar_set("log.level", "info");

    if (!startup_filesystem(argc, argv))
        return 0;
    PHYSFS_mkdir("logs"); /* a missing logs dir only costs the log file */
    if (!log_configure())
        return startup_failed("Logging startup failed: %s\n", SDL_GetError());
    return 1;
}

typedef struct PublishOptions {
    PublishOperation op;
    const char *first;
    const char *second;
    const char *platforms;
} PublishOptions;

static void parse_options(int argc, char **argv, PublishOptions *opts)
{
    opts->op = PUBLISH_OP_PUBLISH;
    opts->first = NULL;
    opts->second = NULL;
    opts->platforms = NULL;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (SDL_strcmp(arg, "--only-package") == 0) {
            opts->op = PUBLISH_OP_PACKAGE;
        } else if (SDL_strncmp(arg, "--platforms=", 12) == 0) {
            opts->platforms = arg + 12;
        } else if (SDL_strcmp(arg, "--make-ico") == 0) {
            opts->op = PUBLISH_OP_MAKE_ICO;
        } else if (SDL_strcmp(arg, "--make-icns") == 0) {
            opts->op = PUBLISH_OP_MAKE_ICNS;
        } else if (SDL_strcmp(arg, "--download") == 0) {
            opts->op = PUBLISH_OP_DOWNLOAD;
        } else if (SDL_strcmp(arg, "--help") == 0) {
            opts->op = PUBLISH_OP_USAGE;
        } else if (SDL_strcmp(arg, "--set") == 0) {
            if (i + 2 <= argc - 1 && argv[i + 1] && argv[i + 2])
                cvar_set(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (!opts->first) {
            opts->first = arg;
        } else if (!opts->second) {
            opts->second = arg;
        } else {
            opts->op = PUBLISH_OP_USAGE;
        }
    }
}

static int usage(const char *argv0)
{
    for (int i = 0; i < 3; i++)
        publish_log_error("%s", "");
    publish_log_error("USAGE: %s [--only-package] game_directory", argv0);
    for (int i = 0; i < 3; i++)
        publish_log_error("%s", "");
    return 1;
}

static int report_result(int ok, const char *name)
{
    if (ok)
        return 0;
    publish_log_error("%s", "");
    publish_log_error("%s failed!", name);
    publish_log_error("%s", "");
    return 1;
}

static int dispatch(const PublishOptions *o, const char *argv0)
{
    const char *game_dir = o->first ? o->first : "mygame";
    switch (o->op) {
    case PUBLISH_OP_PACKAGE:
        if (o->second)
            return usage(argv0);
        return report_result(publish_game(game_dir, o->platforms, 0), "Packaging");
    case PUBLISH_OP_PUBLISH:
        if (o->second)
            return usage(argv0);
        return report_result(publish_game(game_dir, o->platforms, 1), "Publishing");
    case PUBLISH_OP_MAKE_ICO:
        if (!o->first || !o->second)
            return usage(argv0);
        return report_result(make_windows_icon(o->second, o->first), "Icon creation");
    case PUBLISH_OP_MAKE_ICNS:
        if (!o->first || !o->second)
            return usage(argv0);
        return report_result(make_macos_icon(o->second, o->first), "Icns creation");
    case PUBLISH_OP_DOWNLOAD:
        if (!o->first || !o->second)
            return usage(argv0);
        return report_result(download_to_file(o->first, o->second), "Download");
    default:
        return usage(argv0);
    }
}

int publish_main(int argc, char **argv)
{
    if (!startup(argc, argv)) {
        publish_shutdown();
        return 1;
    }
    PublishOptions opts;
    parse_options(argc, argv, &opts);
    int rc = dispatch(&opts, argv[0]);
    publish_shutdown();
    return rc;
}

void publish_shutdown(void)
{
    /* Closing the session joins the transport's worker, which may still
     * log and post messages; only then can the queue, the settings and the
     * log go. */
    http_shutdown();
    cvar_shutdown();
    log_shutdown();
    SDL_Quit();
    if (PHYSFS_isInit())
        PHYSFS_deinit();
    if (!console_is_shared()) {
        puts("Press ENTER to quit.");
        fflush(stderr);
        fflush(stdout);
        getchar();
    }
}
