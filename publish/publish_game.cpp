#include "publish/publish_game.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/platforms/build_platform.h"
#include "publish/store/butler.h"
#include "publish/platforms/platform_table.h"
#include "publish/publish_log.h"
#include "publish/archive/zip_writer.h"
#include "publish/files/staging.h"

#include <SDL.h>

/* What every stub entry of one walk gets. */
typedef struct PublishContext {
    const char *game_dir;
    char **platform_filter; /* NULL: build every stub */
    int platform_filter_count;
    BuiltPlatform *builds; /* list head; builds->next is the newest record */
    ZipRun *zip_run;       /* shared by every package: each file is compressed once */
} PublishContext;

static void metadata_help(const char *game_dir)
{
    publish_log_error("%s", "");
    publish_log_error("%s", "");
    publish_log_error("We're having a problem with your game's metadata.");
    publish_log_error("Please make sure that %s\\metadata\\game_metadata.txt exists", game_dir);
    publish_log_error(" and looks something like this:");
    publish_log_error("%s", "");
    publish_log_error("devid=myname");
    publish_log_error("devtitle=My Name");
    publish_log_error("gameid=mygame");
    publish_log_error("gametitle=My Game");
    publish_log_error("version=0.1");
    publish_log_error("icon=metadata/icon.png");
    publish_log_error("%s", "");
    publish_log_error("%s", "");
}

static int load_metadata(const char *game_dir)
{
    char *path = alloc_printf("%s/metadata/game_metadata.txt", game_dir);
    if (!path) {
        report_out_of_memory();
        metadata_help(game_dir);
        return 0;
    }
    int ok = game_metadata_load(path);
    SDL_free(path);
    if (!ok) {
        publish_log_error("Failed to load game metadata");
        metadata_help(game_dir);
        return 0;
    }
    publish_log_info("Developer ID: %s", game_metadata_devid);
    publish_log_info("Developer Title: %s", game_metadata_devtitle);
    publish_log_info("Game ID: %s", game_metadata_gameid);
    publish_log_info("Game Title: %s", game_metadata_gametitle);
    publish_log_info("Game Version: %s", game_metadata_version);
    publish_log_info("Game Icon: %s", game_metadata_icon);
    publish_log_info("Package ID: %s", game_metadata_packageid);
    return 1;
}

static int filter_push(PublishContext *ctx, char *piece)
{
    char **grown = (char **)SDL_realloc(ctx->platform_filter,
                                        sizeof(char *) * (ctx->platform_filter_count + 1));
    if (!grown)
        return 0;
    ctx->platform_filter = grown;
    ctx->platform_filter[ctx->platform_filter_count++] = piece;
    return 1;
}

/* Every piece that ends at a comma is an entry, empty or not; the piece
 * after the last comma only when it is not empty. *copy is the duplicated
 * list that the entries point into. */
static int build_filter(PublishContext *ctx, const char *list, char **copy)
{
    *copy = SDL_strdup(list);
    if (!*copy)
        return 0;
    char *piece = *copy;
    char *comma;
    while ((comma = SDL_strchr(piece, ',')) != NULL) {
        *comma = '\0';
        if (!filter_push(ctx, piece))
            return 0;
        piece = comma + 1;
    }
    if (*piece && !filter_push(ctx, piece))
        return 0;
    return 1;
}

char *package_path_for(const char *platform)
{
    return alloc_printf("builds/%s-%s%s", game_metadata_gameid, platform,
                        platform_package_suffix(platform));
}

static int filter_passes(const PublishContext *ctx, const char *name)
{
    if (!ctx->platform_filter)
        return 1;
    for (int i = 0; i < ctx->platform_filter_count; i++)
        if (SDL_strcmp(ctx->platform_filter[i], name) == 0)
            return 1;
    return 0;
}

/* Walk callback over ".brindlecot/stubs": 1 go on, -1 a build failed. */
static PHYSFS_EnumerateCallbackResult build_stub_entry(void *context, const char *origdir,
                                                const char *name)
{
    (void)origdir;
    PublishContext *ctx = (PublishContext *)context;
    if (!filter_passes(ctx, name))
        return PHYSFS_ENUM_OK;
    char *path = package_path_for(name);
    if (!path) {
        report_out_of_memory();
        return PHYSFS_ENUM_ERROR;
    }
    int ok = build_platform(name, path, ctx->game_dir, ctx->builds, ctx->zip_run);
    SDL_free(path);
    return ok ? PHYSFS_ENUM_OK : PHYSFS_ENUM_ERROR;
}

/* A staged copy of a file the run has compressed needs no reading. */
static void note_staged_copy(void *run, const NativeFileIdentity *source,
                             const NativeFileIdentity *copy)
{
    zip_run_note_copy((ZipRun *)run, source, copy);
}

int publish_game(const char *game_dir, const char *platform_list, int upload)
{
    publish_log_info("Starting publish for game in directory '%s'", game_dir);
    if (!load_metadata(game_dir))
        return 0;

    BuiltPlatform builds;
    SDL_zero(builds);
    PublishContext ctx;
    SDL_zero(ctx);
    ctx.game_dir = game_dir;
    ctx.builds = &builds;

    char *filter_copy = NULL;
    if (platform_list && !build_filter(&ctx, platform_list, &filter_copy)) {
        publish_log_info("Out of memory");
        SDL_free(ctx.platform_filter);
        SDL_free(filter_copy);
        return 0;
    }
    if (ctx.platform_filter_count == 0) {
        SDL_free(ctx.platform_filter);
        ctx.platform_filter = NULL;
    }

    fs_mkdir("builds");
    ctx.zip_run = zip_run_create(".brindlecot", 0);
    if (ctx.zip_run) {
        zip_run_prepare(ctx.zip_run, game_dir);
        staging_observe_copies(note_staged_copy, ctx.zip_run);
    }
    int walked = ctx.zip_run && PHYSFS_enumerate(".brindlecot/stubs", build_stub_entry, &ctx);
    staging_observe_copies(NULL, NULL);
    zip_run_destroy(ctx.zip_run);
    SDL_free(ctx.platform_filter);
    SDL_free(filter_copy);

    int result = 1;
    if (!walked) {
        result = 0;
    } else if (!builds.next) {
        publish_log_error("We don't seem to have built for any platforms!");
        publish_log_error("Please make sure your Brindlecot installation isn't damaged.");
        result = 0;
    } else {
        publish_log_info("All platform builds are complete!");
        if (upload)
            upload_to_itchio(builds.next);
    }
    /* Freed on every path, the failed walk included. */
    built_platform_free_list(&builds);
    return result;
}
