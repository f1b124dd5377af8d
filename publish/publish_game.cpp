#include "publish/publish_game.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "engine/text_escape.h"
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

/* The metadata values that become file names: every package, build tree,
 * icon file and log name is made from them, and the macOS program is named
 * after the game id alone, so that one must be a whole name by itself. */
static const struct {
    const char *key;
    const char *const *value;
    int whole;
} name_values[] = {
    {"gameid", &game_metadata_gameid, 1},
    {"version", &game_metadata_version, 0},
};

/* The first '/', '\\' or ':' in value, or NULL. */
static const char *name_separator(const char *value)
{
    for (const char *p = value; *p; p++)
        if (*p == '/' || *p == '\\' || *p == ':')
            return p;
    return NULL;
}

/* 1 when value may be (a part of) a file name; otherwise 0 after one line
 * that names the key, the value and what is wrong. A separator would lead
 * the names into other directories, and out of builds/ with "..". */
static int name_value_valid(const char *game_dir, const char *key, const char *value,
                            int whole)
{
    const char *bad = value ? name_separator(value) : NULL;
    int no_name = whole && (!value || !*value || SDL_strcmp(value, ".") == 0 ||
                            SDL_strcmp(value, "..") == 0);
    if (!bad && !no_name)
        return 1;
    char *shown = log_escape_text(value ? value : "");
    if (!shown) {
        report_out_of_memory();
        return 0;
    }
    if (bad)
        publish_log_error("The %s '%s' in %s/metadata/game_metadata.txt holds '%c', which no "
                          "file name may hold: the builds are named after it; change it",
                          key, shown, game_dir, *bad);
    else
        publish_log_error("The %s '%s' in %s/metadata/game_metadata.txt is no file name, "
                          "which it must be: the macOS program is named after it; change it",
                          key, shown, game_dir);
    SDL_free(shown);
    return 0;
}

static int names_valid(const char *game_dir)
{
    for (size_t i = 0; i < SDL_arraysize(name_values); i++)
        if (!name_value_valid(game_dir, name_values[i].key, *name_values[i].value,
                              name_values[i].whole))
            return 0;
    return 1;
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
    return names_valid(game_dir);
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

/* One entry of ".brindlecot/stubs": 1 go on, 0 a build failed. */
static int build_stub_entry(void *context, const TreeWalkEntry *entry)
{
    const char *name = entry->name;
    PublishContext *ctx = (PublishContext *)context;
    if (!filter_passes(ctx, name))
        return 1;
    char *path = package_path_for(name);
    if (!path) {
        report_out_of_memory();
        return 0;
    }
    int ok = build_platform(name, path, ctx->game_dir, ctx->builds, ctx->zip_run);
    SDL_free(path);
    return ok;
}

/* The run in progress, for the line that an interrupt leaves: the builds
 * so far and whether the newest of them is still being made. */
static const BuiltPlatform *publish_run_builds;
static int publish_run_walking;
/* The last line of a run whose walk failed, said after the failure report. */
static char *publish_run_outcome;

static int names_hold(const BuiltPlatform *first, const BuiltPlatform *stop, const char *name)
{
    for (const BuiltPlatform *b = first; b && b != stop; b = b->next)
        if (SDL_strcmp(b->platform, name) == 0)
            return 1;
    return 0;
}

/* The platforms of first's list (oldest first, each once), without skip,
 * joined by ", "; "none" when there are none. NULL when out of memory. */
static char *built_names(const BuiltPlatform *first, const BuiltPlatform *skip)
{
    char *list = NULL;
    const BuiltPlatform *order[64];
    int n = 0;
    for (const BuiltPlatform *b = first; b && n < 64; b = b->next)
        if (b != skip && !names_hold(b->next, NULL, b->platform))
            order[n++] = b;
    for (int i = n - 1; i >= 0; i--) {
        if (!text_list_add(&list, order[i]->platform)) {
            SDL_free(list);
            return NULL;
        }
    }
    return list ? list : SDL_strdup("none");
}

char *publish_game_progress(void)
{
    if (!publish_run_builds)
        return NULL;
    const BuiltPlatform *first = publish_run_builds->next;
    return built_names(first, publish_run_walking ? first : NULL);
}

/* What the walk for unattempted_names carries. */
typedef struct UnattemptedWalk {
    const PublishContext *ctx;
    char *list;
} UnattemptedWalk;

static int unattempted_visit(void *walk, const TreeWalkEntry *e)
{
    UnattemptedWalk *u = (UnattemptedWalk *)walk;
    if (!filter_passes(u->ctx, e->name) || names_hold(u->ctx->builds->next, NULL, e->name))
        return 1;
    return text_list_add(&u->list, e->name);
}

/* Stub entries that pass the filter and were never reached by the walk. */
static char *unattempted_names(const PublishContext *ctx)
{
    UnattemptedWalk u = {ctx, NULL};
    TreeWalkOptions walk = publish_walk_options(TREE_WALK_ONE_LEVEL);
    if (!tree_walk(".brindlecot/stubs", &walk, unattempted_visit, &u)) {
        SDL_free(u.list);
        return NULL;
    }
    return u.list ? u.list : SDL_strdup("none");
}

/* The first failure stops the walk, and its record is the newest. */
static void note_failed_walk(const PublishContext *ctx)
{
    const BuiltPlatform *failed = ctx->builds->next;
    char *built = built_names(failed, failed);
    char *rest = unattempted_names(ctx);
    SDL_free(publish_run_outcome);
    publish_run_outcome = NULL;
    if (failed && built && rest)
        publish_run_outcome = alloc_printf("Platforms built: %s; failed: %s; not attempted: %s",
                                           built, failed->platform, rest);
    SDL_free(built);
    SDL_free(rest);
}

void publish_game_report_outcome(void)
{
    if (publish_run_outcome)
        publish_log_error("%s", publish_run_outcome);
    SDL_free(publish_run_outcome);
    publish_run_outcome = NULL;
}

/* The places the publisher writes to. A game directory inside them would
 * be emptied or overwritten by the build; the installation itself as the
 * game would be copied into its own output over and over. A game's own
 * folders of those names are the game's: the publisher never writes
 * there. */
static const char *const output_dirs[] = {"builds", ".brindlecot"};

static int game_dir_is_apart(const char *game_dir)
{
    if (!*game_dir) {
        publish_log_error("The game directory is the installation directory itself, where "
                          "the publisher writes; give the game's own directory");
        return 0;
    }
    for (size_t i = 0; i < SDL_arraysize(output_dirs); i++) {
        const char *out = output_dirs[i];
        size_t n = SDL_strlen(out);
        if (SDL_strncmp(game_dir, out, n) == 0 && (game_dir[n] == '\0' || game_dir[n] == '/')) {
            publish_log_error("The game directory '%s' is inside '%s', where the publisher "
                              "writes; move the game out of it",
                              game_dir, out);
            return 0;
        }
    }
    return 1;
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
    if (!game_dir_is_apart(game_dir) || !load_metadata(game_dir))
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
    TreeWalkOptions walk = publish_walk_options(TREE_WALK_ONE_LEVEL);
    publish_run_builds = &builds;
    publish_run_walking = 1;
    int walked = ctx.zip_run && tree_walk(".brindlecot/stubs", &walk, build_stub_entry, &ctx);
    publish_run_walking = 0;
    staging_observe_copies(NULL, NULL);
    zip_run_destroy(ctx.zip_run);
    if (!walked)
        note_failed_walk(&ctx);
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
    publish_run_builds = NULL;
    built_platform_free_list(&builds);
    return result;
}
