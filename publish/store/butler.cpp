#include "publish/store/butler.h"

#include "engine/cvar.h"
#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "platform/process.h"
#include "publish/store/download.h"
#include "publish/platforms/platform_table.h"
#include "publish/publish_log.h"
#include "publish/files/output_file.h"
#include "publish/files/file_copy.h"
#include "publish/files/staging_copies.h"
#include "publish/files/tree_delete.h"

#include <SDL.h>
#include <physfs.h>

#include <errno.h>
#include <string.h>

#define BUTLER_DIR ".brindlecot/itchio-butler"
#define BUTLER_PROGRAM BUTLER_DIR "/butler"
#define BUTLER_ARCHIVE BUTLER_DIR "/butler.zip"
#define BUTLER_MOUNT_POINT "/butler.zip"
#define BUTLER_ARCHIVE_PATH "/butler/linux-amd64/LATEST/archive/default"
#define BUTLER_DEFAULT_URL "https://broth.itch.ovh"

/* The commands as the log shows them: relative to the write directory,
 * which is what a user would type there. */
#define BUTLER_VERSION_TEXT BUTLER_PROGRAM " version"
#define BUTLER_UPGRADE_TEXT BUTLER_PROGRAM " upgrade --assume-yes"

static char *butler_url = NULL;

#define BUTLER_STARS "*********************************************************************"

static const char *const butler_html5_advice[] = {
    "",
    "",
    "",
    BUTLER_STARS,
    "If you want your HTML5 build to play in-browser from itch.io:",
    " - Edit your itch.io project page as follows, if you haven't already:",
    "    'Kind of project': HTML",
    " - Find the 'html5' file, and make sure its",
    "    \"This file will be played in the browser\" checkbox is checked.",
    " - Then check the 'Embed options' section",
    " - Don't forget to click 'Save'!",
    "Note: 'HTML' project pages on itch still offer the non-web downloads!",
    "",
    "If you _don't_ want it to play in-browser from itch.io:",
    " - Edit your itch.io project page as follows, if you haven't already:",
    "    'Kind of project': Downloadable",
    " - Find the 'html5' file, and click its",
    "    \"Hide this file and prevent it from being downloaded\" checkbox.",
    " - Don't forget to click 'Save'!",
    BUTLER_STARS,
    "",
    "",
    "",
};

int butler_register(void)
{
    return cvar_register_string("publish.butler_url",
                                "Scheme and host that the itch.io butler is downloaded from",
                                &butler_url, BUTLER_DEFAULT_URL);
}

/* Butler works outside the virtual file system, so it is given native
 * paths (output_native_path). They lie under the write directory, which is
 * the program's own directory (not the current one) when the publisher was
 * started without arguments. */

/* The exit status of one butler command, or -1 when it did not start (said
 * here, since no shell is there to say it). */
static int butler_run(const char *text, const char *const *argv)
{
    int status = process_run(argv);
    if (status == -1)
        publish_log_error("Couldn't run \"%s\": %s", text, strerror(errno));
    return status;
}

static int butler_upgrade(const char *program)
{
    const char *version[] = {program, "version", NULL};
    const char *upgrade[] = {program, "upgrade", "--assume-yes", NULL};
    publish_log_info("Already downloaded itch.io butler.");
    butler_run(BUTLER_VERSION_TEXT, version);
    publish_log_info("Running \"%s\" ...", BUTLER_UPGRADE_TEXT);
    if (butler_run(BUTLER_UPGRADE_TEXT, upgrade) != 0) {
        publish_log_error("itch.io butler reported failure!");
        return 0;
    }
    publish_log_info("Butler upgrade operation complete.");
    butler_run(BUTLER_VERSION_TEXT, version);
    return 1;
}

/* Copies the mounted archive into the butler directory and makes the
 * program runnable (the copies are created without execute bits). */
static int butler_unpack(void)
{
    fs_mkdir(BUTLER_DIR);
    if (!copy_tree(BUTLER_MOUNT_POINT, BUTLER_DIR)) {
        publish_log_error("Couldn't unpack butler.zip");
        return 0;
    }
    return make_executable(BUTLER_PROGRAM);
}

static int butler_fetch_archive(void)
{
    char *url = alloc_printf("%s%s", butler_url ? butler_url : BUTLER_DEFAULT_URL,
                             BUTLER_ARCHIVE_PATH);
    if (!url) {
        report_out_of_memory();
        return 0;
    }
    int ok = download_to_file(url, BUTLER_ARCHIVE);
    SDL_free(url);
    if (!ok) {
        publish_log_error("Failed to download itch.io butler");
        return 0;
    }
    publish_log_info("itch.io butler downloaded!");
    return 1;
}

static int butler_download(void)
{
    publish_log_info("Downloading itch.io butler...");
    /* Whatever an earlier, failed download left behind goes first. */
    delete_tree(BUTLER_DIR);
    fs_mkdir(BUTLER_DIR);
    if (!butler_fetch_archive())
        return 0;

    char *archive = output_native_path(BUTLER_ARCHIVE, NULL);
    if (!archive)
        return 0;
    if (!PHYSFS_mount(archive, BUTLER_MOUNT_POINT, 1)) {
        publish_log_error("Couldn't mount butler.zip: %s", fs_error_text());
        SDL_free(archive);
        return 0;
    }
    int unpacked = butler_unpack();
    PHYSFS_unmount(archive);
    SDL_free(archive);
    if (!unpacked) {
        /* A half-unpacked butler would be taken for a good one next time;
         * without the directory the next publish downloads again. */
        delete_tree(BUTLER_DIR);
        return 0;
    }
    publish_log_info("itch.io butler is good to go");
    return 1;
}

/* One push; 1 when butler reported success. */
static int butler_push(const char *program, const BuiltPlatform *build)
{
    char *path = output_native_path(build->path, NULL);
    if (!path)
        return 0;
    char *text = alloc_printf(BUTLER_PROGRAM " push %c%s%c %s/%s:%s", '"', build->path, '"',
                              game_metadata_devid, game_metadata_gameid, build->platform);
    char *target = alloc_printf("%s/%s:%s", game_metadata_devid, game_metadata_gameid,
                                build->platform);
    int ok = 0;
    if (!text || !target) {
        report_out_of_memory();
    } else {
        const char *argv[] = {program, "push", path, target, NULL};
        publish_log_info("Running \"%s\" ...", text);
        ok = butler_run(text, argv) == 0;
        if (!ok)
            publish_log_error("itch.io butler reported failure!");
    }
    SDL_free(text);
    SDL_free(path);
    SDL_free(target);
    return ok;
}

static void butler_push_all(const char *program, const BuiltPlatform *builds)
{
    const char *html5_package = NULL;
    for (const BuiltPlatform *b = builds; b; b = b->next) {
        const PlatformRow *row = platform_find(b->platform);
        if (!row || row->upload == PLATFORM_UPLOAD_NONE)
            continue;
        if (!b->is_tree && SDL_strcasecmp(b->platform, "html5") == 0)
            html5_package = b->path;
        /* Of such platforms the build directory goes up, not its zip. */
        if (!b->is_tree && row->upload == PLATFORM_UPLOAD_TREE)
            continue;
        if (!butler_push(program, b))
            return;
    }
    publish_log_info("All builds pushed to itch.io!");
    if (html5_package)
        for (size_t i = 0; i < SDL_arraysize(butler_html5_advice); i++)
            publish_log_info("%s", butler_html5_advice[i]);
}

/* The target reaches butler as one argument, "devid/gameid:channel"; a
 * value shaped like an option ("--identity=...") would be read as one. So
 * both must look like what itch.io accepts in a user name and a project
 * slug: letters, digits, '-' and '_', not beginning with '-'. */
static int butler_name_is_valid(const char *name)
{
    if (!name || !name[0] || name[0] == '-')
        return 0;
    for (const char *p = name; *p; p++) {
        char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_'))
            return 0;
    }
    return 1;
}

static int butler_check_target(void)
{
    if (!butler_name_is_valid(game_metadata_devid)) {
        publish_log_error("Can't upload to itch.io: devid '%s' is not an itch.io user name "
                          "(letters, digits, '-' and '_', not beginning with '-')",
                          game_metadata_devid ? game_metadata_devid : "");
        return 0;
    }
    if (!butler_name_is_valid(game_metadata_gameid)) {
        publish_log_error("Can't upload to itch.io: gameid '%s' is not an itch.io project name "
                          "(letters, digits, '-' and '_', not beginning with '-')",
                          game_metadata_gameid ? game_metadata_gameid : "");
        return 0;
    }
    return 1;
}

void upload_to_itchio(const BuiltPlatform *builds)
{
    if (!butler_check_target())
        return;
    char *program = output_native_path(BUTLER_PROGRAM, NULL);
    if (!program)
        return;
    PHYSFS_Stat st;
    int ready = PHYSFS_stat(BUTLER_PROGRAM, &st) ? butler_upgrade(program) : butler_download();
    if (ready)
        butler_push_all(program, builds);
    SDL_free(program);
}
