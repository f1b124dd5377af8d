#include "publish/publish_main.h"

#include "engine/cvar.h"
#include "engine/fs_alloc.h"
#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "engine/native_path.h"
#include "engine/http.h"
#include "engine/log.h"
#include "engine/log_settings.h"
#include "platform/console.h"
#include "platform/native.h"
#include "platform/native_file.h"
#include "platform/signals.h"
#include "publish/files/output_file.h"
#include "publish/store/butler.h"
#include "publish/store/download.h"
#include "publish/images/icons.h"
#include "publish/platforms/package.h"
#include "publish/publish_game.h"
#include "publish/publish_log.h"

#include <SDL.h>
#include <physfs.h>

#include <errno.h>
#include <stdarg.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

/* Prints a start-up failure on standard error; the caller ends the program. */
static int startup_failed(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static int startup_failed(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
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

#define PUBLISH_LOCK ".brindlecot/publish.lock"

/* One packaging or publish run at a time per installation: two would share
 * the staging tree and the package names. Taken before the log file is
 * opened, so a run turned away touches nothing. The descriptor stays open
 * for the whole run; the system drops the lock when the process ends. */
static int take_publish_lock(void)
{
    size_t dir_length = 0;
    char *dir = fs_native_write_path(".brindlecot", &dir_length);
    char *path = fs_native_write_path(PUBLISH_LOCK, &dir_length);
    long holder = 0;
    errno = ENOMEM;
    int fd = -1;
    int made = dir && path && native_make_directory(dir, dir_length);
    if (made)
        fd = native_file_lock(path, dir_length, &holder);
    int saved = errno;
    SDL_free(dir);
    SDL_free(path);
    if (fd >= 0)
        return 1;
    if (saved == EWOULDBLOCK && holder > 0)
        fprintf(stderr, "Another publish is running in this installation (process %ld); "
                        "try again when it has finished.\n",
                holder);
    else if (saved == EWOULDBLOCK)
        fprintf(stderr, "Another publish is running in this installation; try again when "
                        "it has finished.\n");
    else if (made && saved == EBUSY)
        fprintf(stderr, "Can't lock '%s': another program holds a lease on it and has not "
                        "let it go (a file server or a sync tool, say); try again when it "
                        "has\n",
                PUBLISH_LOCK);
    else if (!made)
        fprintf(stderr, "Can't create '.brindlecot': %s\n", output_native_cause(saved));
    else
        fprintf(stderr, "Can't lock '%s': %s\n", PUBLISH_LOCK, output_native_cause(saved));
    return 0;
}

/* The installation's own folders that runs write into: a symbolic link in
 * place of one would send those writes elsewhere, so the run stops before
 * it writes anything, the log included. Only packaging and publishing
 * write into .brindlecot/ and builds/; every run writes its log. */
static int refuse_linked_folders(int locked)
{
    static const char *const folders[] = {"logs", ".brindlecot", "builds"};
    for (size_t i = 0; i < SDL_arraysize(folders); i++) {
        if (i > 0 && !locked)
            break;
        char *native = fs_native_write_path(folders[i], NULL);
        NativeFileInfo info;
        int linked = native && native_file_lstat(native, &info) && info.type == NATIVE_FILE_LINK;
        SDL_free(native);
        if (!native)
            return startup_failed("Out of memory!\n");
        if (linked)
            return startup_failed("Refusing to run: '%s' in the installation is a symbolic "
                                  "link, and the publisher never writes through one; make it "
                                  "a directory of its own\n",
                                  folders[i]);
    }
    return 1;
}

/* 1 when everything is up and the log is configured. */
static int startup(int argc, char **argv, int locked)
{
    console_ignore_closed_output();
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
    if (!refuse_linked_folders(locked))
        return 0;
    if (locked && !take_publish_lock())
        return 0;
    fs_mkdir("logs"); /* a missing logs dir only costs the log file */
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

/* Settings are applied only when apply is set: the operation is needed
 * before the settings can be. */
static void parse_options(int argc, char **argv, PublishOptions *opts, int apply)
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
            if (apply && i + 2 <= argc - 1 && argv[i + 1] && argv[i + 2])
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

/* Appends the segments of path to out (an absolute path without a trailing
 * '/', "" for the root), resolving "." and ".." on the way; ".." at the root
 * stays there, as it does in the system. out must have room for its own
 * length plus SDL_strlen(path) + 2 bytes. */
static void path_append_segments(char *out, const char *path)
{
    size_t len = SDL_strlen(out);
    const char *p = path;
    while (*p) {
        while (*p == '/')
            p++;
        const char *segment = p;
        while (*p && *p != '/')
            p++;
        size_t n = (size_t)(p - segment);
        if (n == 0 || (n == 1 && segment[0] == '.'))
            continue;
        if (n == 2 && segment[0] == '.' && segment[1] == '.') {
            while (len > 0 && out[len - 1] != '/')
                len--;
            if (len > 0)
                len--; /* the '/' in front of the dropped segment */
            out[len] = '\0';
            continue;
        }
        out[len++] = '/';
        SDL_memcpy(out + len, segment, n);
        len += n;
        out[len] = '\0';
    }
}

char *publish_path_in_installation(const char *install_dir, const char *path, int *outside)
{
    *outside = 0;
    size_t size = SDL_strlen(install_dir) + SDL_strlen(path) + 2;
    char *root = (char *)SDL_calloc(1, size);
    char *full = (char *)SDL_calloc(1, size);
    char *result = NULL;
    if (root && full) {
        path_append_segments(root, install_dir);
        if (path[0] != '/')
            SDL_strlcpy(full, root, size);
        path_append_segments(full, path);
        size_t root_len = SDL_strlen(root);
        if (SDL_strncmp(full, root, root_len) != 0 ||
            (full[root_len] != '/' && full[root_len] != '\0'))
            *outside = 1;
        else
            result = SDL_strdup(full[root_len] ? full + root_len + 1 : "");
    }
    SDL_free(root);
    SDL_free(full);
    return result;
}

/* An absolute path that spells the installation through a symbolic link
 * (a linked home directory, say) is read again with its directory
 * resolved; the file itself may not exist yet. */
static char *path_in_installation_resolved(const char *install_dir, const char *given,
                                           int *outside)
{
    const char *slash = SDL_strrchr(given, '/');
    char *dir = alloc_printf("%.*s", (int)(slash - given), given);
    char resolved[PATH_MAX];
    char *result = NULL;
    if (dir && native_absolute_path(*dir ? dir : "/", resolved, sizeof resolved)) {
        char *joined = alloc_printf("%s/%s", resolved, slash + 1);
        if (joined)
            result = publish_path_in_installation(install_dir, joined, outside);
        SDL_free(joined);
    }
    SDL_free(dir);
    return result;
}

/* The installation-relative form of a path argument, or NULL after one
 * line that says what is wrong with it. */
static char *path_argument(const char *install_dir, const char *given)
{
    int outside = 0;
    char *path = publish_path_in_installation(install_dir, given, &outside);
    if (!path && outside && given[0] == '/')
        path = path_in_installation_resolved(install_dir, given, &outside);
    if (!path) {
        if (outside)
            publish_log_error("'%s' is outside the installation directory %s: paths are "
                              "relative to the installation directory",
                              given, install_dir);
        else
            report_out_of_memory();
        return NULL;
    }
    if (!*path) {
        publish_log_error("'%s' is the installation directory itself: paths are relative "
                          "to the installation directory",
                          given);
        SDL_free(path);
        return NULL;
    }
    return path;
}

/* What stops a file being written into dir (write directory), looked at
 * from the top without following a link: NULL when nothing does, else the
 * words after "Can't write 'GIVEN': " (an SDL allocation). */
static char *output_directory_refusal(const char *dir)
{
    size_t base = 0;
    char *native = fs_native_write_path(dir, &base);
    if (!native)
        return NULL; /* the open refuses it with its own line */
    char *refusal = NULL;
    for (size_t i = base + 2, n = SDL_strlen(native); !refusal && i <= n; i++) {
        if (native[i] != '/' && native[i] != '\0')
            continue;
        char c = native[i];
        native[i] = '\0';
        NativeFileInfo info;
        const char *shown = native + base + 1;
        int there = native_file_lstat(native, &info);
        if (there && info.type == NATIVE_FILE_LINK)
            refusal = alloc_printf("'%s' is a symbolic link, and the publisher never writes "
                                   "through one",
                                   shown);
        else if (!there || info.type != NATIVE_FILE_DIRECTORY)
            refusal = alloc_printf("the directory '%s' does not exist", dir);
        native[i] = c;
    }
    SDL_free(native);
    return refusal;
}

/* A file is only written into a directory that is there already, reached
 * without a link; saying which one is missing, or is a link, beats the
 * bare open failure. */
static int output_directory_exists(const char *given, const char *path)
{
    const char *slash = SDL_strrchr(path, '/');
    if (!slash)
        return 1;
    char *dir = alloc_printf("%.*s", (int)(slash - path), path);
    if (!dir) {
        report_out_of_memory();
        return 0;
    }
    char *refusal = output_directory_refusal(dir);
    if (refusal)
        publish_log_error("Can't write '%s': %s", given, refusal);
    SDL_free(refusal);
    SDL_free(dir);
    return refusal == NULL;
}

/* Which arguments of an operation are paths. */
typedef struct PathArguments {
    int first_is_path;
    int second_is_path;
    char *first;
    char *second;
} PathArguments;

/* Turns the path arguments into the installation-relative paths that the
 * operations take; 0 after saying which one cannot be used. */
static int resolve_path_arguments(const PublishOptions *o, PathArguments *paths)
{
    char install_dir[PATH_MAX];
    const char *write_dir = PHYSFS_getWriteDir();
    if (!write_dir || !native_absolute_path(write_dir, install_dir, sizeof install_dir)) {
        publish_log_error("Can't find the installation directory: %s", strerror(errno));
        return 0;
    }
    if (paths->first_is_path && o->first) {
        paths->first = path_argument(install_dir, o->first);
        if (!paths->first)
            return 0;
    }
    if (paths->second_is_path) {
        paths->second = path_argument(install_dir, o->second);
        if (!paths->second || !output_directory_exists(o->second, paths->second))
            return 0;
    }
    return 1;
}

static int run_operation(PublishOperation op, const PathArguments *paths, const char *url,
                         const char *platforms)
{
    const char *game_dir = paths->first ? paths->first : "mygame";
    switch (op) {
    case PUBLISH_OP_PACKAGE:
        return publish_game(game_dir, platforms, 0);
    case PUBLISH_OP_PUBLISH:
        return publish_game(game_dir, platforms, 1);
    case PUBLISH_OP_MAKE_ICO:
        return make_windows_icon(paths->second, paths->first);
    case PUBLISH_OP_MAKE_ICNS:
        return make_macos_icon(paths->second, paths->first);
    default:
        return download_to_file(url, paths->second);
    }
}

static int dispatch(const PublishOptions *o, const char *argv0)
{
    PathArguments paths = {0, 0, NULL, NULL};
    const char *name;
    switch (o->op) {
    case PUBLISH_OP_PACKAGE:
    case PUBLISH_OP_PUBLISH:
        if (o->second)
            return usage(argv0);
        paths.first_is_path = 1;
        name = o->op == PUBLISH_OP_PACKAGE ? "Packaging" : "Publishing";
        break;
    case PUBLISH_OP_MAKE_ICO:
    case PUBLISH_OP_MAKE_ICNS:
        if (!o->first || !o->second)
            return usage(argv0);
        paths.first_is_path = 1;
        paths.second_is_path = 1;
        name = o->op == PUBLISH_OP_MAKE_ICO ? "Icon creation" : "Icns creation";
        break;
    case PUBLISH_OP_DOWNLOAD:
        if (!o->first || !o->second)
            return usage(argv0);
        paths.second_is_path = 1;
        name = "Download";
        break;
    default:
        return usage(argv0);
    }
    int ok = resolve_path_arguments(o, &paths) &&
             run_operation(o->op, &paths, o->first, o->platforms);
    SDL_free(paths.first);
    SDL_free(paths.second);
    signals_checkpoint(); /* an interrupted operation is not a failed one */
    int rc = report_result(ok, name);
    publish_game_report_outcome();
    return rc;
}

/* The pieces of the stop line, each without its "; ". */
typedef struct StopAccount {
    char *removed;   /* unfinished result files, removed now */
    char *unsettled; /* build trees and packages neither as before nor whole */
    char *built;     /* platforms complete from this run */
    int uploading;
    int lost;        /* memory ran out on the way: the account may be short */
} StopAccount;

/* What is left once the rest is said. Only while every change of the run
 * is named can the rest be said to be as before; during the upload the
 * store's tool works on files of its own. */
static const char *stop_account_rest(const StopAccount *a)
{
    if (a->uploading)
        return "this run's packages are in place, and the upload to itch.io was under way: "
               "publish again to upload them";
    if (a->lost)
        return "memory ran out, so other files may be unfinished too: run again";
    return "every other file is as it was before the run";
}

static char *stop_account_text(const StopAccount *a)
{
    char *first = NULL;
    if (a->removed)
        first = alloc_printf("removed the unfinished %s%s%s", a->removed,
                             a->unsettled ? "; " : "", a->unsettled ? a->unsettled : "");
    else
        first = SDL_strdup(a->unsettled ? a->unsettled : "no file was left unfinished");
    char *text = NULL;
    if (first)
        text = alloc_printf("%s%s%s; %s", first, a->built ? "; complete from this run: " : "",
                            a->built ? a->built : "", stop_account_rest(a));
    SDL_free(first);
    return text;
}

/* A stop signal, seen at a checkpoint: the unfinished result files go, one
 * line says what this run deleted, left unfinished or replaced and what is
 * as before, and the process ends by the signal, without waiting for
 * ENTER. The lock goes with the process. */
static void publish_stop(int sig)
{
    StopAccount a;
    SDL_zero(a);
    int lost_trees = 0, lost_builds = 0;
    a.removed = output_discard_unfinished();
    a.unsettled = package_unsettled(&lost_trees);
    a.built = publish_game_progress(&a.uploading, &lost_builds);
    a.lost = lost_trees || lost_builds;
    char *text = stop_account_text(&a);
    if (text)
        publish_log_error("Interrupted by %s: %s", signals_name(sig), text);
    else
        publish_log_error("Interrupted by %s: memory ran out, so some files may be "
                          "unfinished: run again",
                          signals_name(sig));
    SDL_free(text);
    SDL_free(a.built);
    SDL_free(a.unsettled);
    SDL_free(a.removed);
    signals_end_by(sig);
}

/* Temporary files that a killed run left in the places results go. */
static void remove_stale_results(void)
{
    char *builds = output_remove_stale("builds");
    char *own = output_remove_stale(".brindlecot");
    if (builds || own)
        publish_log_info("Removed unfinished files left by a run that was stopped: %s%s%s",
                         builds ? builds : "", builds && own ? ", " : "", own ? own : "");
    SDL_free(builds);
    SDL_free(own);
}

/* The exit routine; publish_main runs it once on every return path. */
static void publish_shutdown(void);

int publish_main(int argc, char **argv)
{
    signals_install(publish_stop);
    PublishOptions opts;
    parse_options(argc, argv, &opts, 0);
    int locked = opts.op == PUBLISH_OP_PACKAGE || opts.op == PUBLISH_OP_PUBLISH;
    if (!startup(argc, argv, locked)) {
        publish_shutdown();
        return 1;
    }
    parse_options(argc, argv, &opts, 1);
    if (locked)
        remove_stale_results();
    int rc = dispatch(&opts, argv[0]);
    publish_shutdown();
    return rc;
}

static void publish_shutdown(void)
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
    /* Caught after the run was over: the files are complete, only the way
     * the process ends is left to honour. */
    if (signals_pending())
        signals_end_by(signals_pending());
}
