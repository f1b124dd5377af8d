#include "publish/publish_game.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "engine/text_escape.h"
#include "publish/platforms/build_platform.h"
#include "publish/store/butler.h"
#include "publish/platforms/platform_table.h"
#include "publish/publish_log.h"
#include "publish/archive/zip_writer.h"
#include "publish/files/staging_copies.h"

#include <SDL.h>

/* What every stub entry of one walk gets. */
typedef struct PublishContext {
    const char *game_dir;
    char **platform_filter; /* NULL: build every stub */
    int platform_filter_count;
    BuiltPlatform *builds; /* list head; builds->next is the newest record */
    ZipRun *zip_run;       /* shared by every package: each file is compressed once */
    /* The stub entries that pass the filter, in the stub directory's order,
     * listed before the first build: the platforms of the run. */
    char **stubs;
    size_t stub_count, stub_capacity;
    size_t built;   /* stubs[0..built) are built */
    int listed;     /* the stub directory was listed whole */
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
 * after the game id alone, so that one must be a whole name by itself, and
 * one a zip entry may carry (valid UTF-8). */
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
    int not_utf8 = whole && value && !utf8_is_valid(value);
    if (!bad && !no_name && !not_utf8)
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
    else if (no_name)
        publish_log_error("The %s '%s' in %s/metadata/game_metadata.txt is no file name, "
                          "which it must be: the macOS program is named after it; change it",
                          key, shown, game_dir);
    else
        publish_log_error("The %s '%s' in %s/metadata/game_metadata.txt is not valid UTF-8 "
                          "(the bytes shown as \\xHH), which no package may hold: the macOS "
                          "program is named after it; change it",
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

/* One entry of ".brindlecot/stubs": kept when it passes the filter. */
static int list_stub_entry(void *context, const TreeWalkEntry *entry)
{
    PublishContext *ctx = (PublishContext *)context;
    if (!filter_passes(ctx, entry->name))
        return 1;
    if (ctx->stub_count == ctx->stub_capacity) {
        size_t capacity = ctx->stub_capacity ? 2 * ctx->stub_capacity : 16;
        char **grown = (char **)SDL_realloc(ctx->stubs, capacity * sizeof *grown);
        if (!grown) {
            report_out_of_memory();
            return 0;
        }
        ctx->stubs = grown;
        ctx->stub_capacity = capacity;
    }
    char *name = SDL_strdup(entry->name);
    if (!name) {
        report_out_of_memory();
        return 0;
    }
    ctx->stubs[ctx->stub_count++] = name;
    return 1;
}

/* The platforms of the run, before any is built, so that the first pass
 * knows what the packages hold. 1, or 0 after a logged failure. */
static int list_stubs(PublishContext *ctx)
{
    TreeWalkOptions walk = publish_walk_options(TREE_WALK_ONE_LEVEL);
    ctx->listed = tree_walk(".brindlecot/stubs", &walk, list_stub_entry, ctx);
    return ctx->listed;
}

static void free_stubs(PublishContext *ctx)
{
    for (size_t i = 0; i < ctx->stub_count; i++)
        SDL_free(ctx->stubs[i]);
    SDL_free(ctx->stubs);
    ctx->stubs = NULL;
    ctx->stub_count = ctx->stub_capacity = 0;
}

/* The native code rules of the stubs that build a package (their names
 * live as long as the list), for the first pass; *count of them. NULL
 * when there are none, or after reporting that memory ran out (then
 * *count is 0 too: the pass is only a head start). */
static NativeEntryRule *package_native_rules(const PublishContext *ctx, size_t *count)
{
    *count = 0;
    if (ctx->stub_count == 0)
        return NULL;
    NativeEntryRule *rules =
        (NativeEntryRule *)SDL_malloc(ctx->stub_count * sizeof(NativeEntryRule));
    if (!rules) {
        report_out_of_memory();
        return NULL;
    }
    for (size_t i = 0; i < ctx->stub_count; i++) {
        const PlatformRow *row = platform_find(ctx->stubs[i]);
        if (row && row->build != PLATFORM_BUILD_NOTHING)
            rules[(*count)++] = platform_native_rule(ctx->stubs[i]);
    }
    return rules;
}

/* For the line that an interrupt leaves, from the first build on until
 * the process ends: the platforms whose packages (and trees) this run
 * made whole, joined by ", " (NULL: none yet), and what is under way. */
static struct {
    int building;  /* the builds have begun */
    int uploading; /* the builds are over and the upload has begun */
    int lost;      /* a name could not be kept: the list is short */
    char *built;
} publish_progress;

static void note_built(const char *name)
{
    if (!text_list_add(&publish_progress.built, name))
        publish_progress.lost = 1;
}

/* Builds the listed stubs in order until one fails. 1 when all were
 * built. */
static int build_stubs(PublishContext *ctx)
{
    for (; ctx->built < ctx->stub_count; ctx->built++) {
        const char *name = ctx->stubs[ctx->built];
        char *path = package_path_for(name);
        if (!path) {
            report_out_of_memory();
            return 0;
        }
        int ok = build_platform(name, path, ctx->game_dir, ctx->builds, ctx->zip_run);
        SDL_free(path);
        if (!ok)
            return 0;
        note_built(name);
    }
    return 1;
}
/* The last line of a run whose walk failed, said after the failure report. */
static char *publish_run_outcome;

/* stubs[first..end) joined by ", "; "none" when there are none. NULL when
 * out of memory. */
static char *stub_names(const PublishContext *ctx, size_t first, size_t end)
{
    char *list = NULL;
    for (size_t i = first; i < end; i++) {
        if (!text_list_add(&list, ctx->stubs[i])) {
            SDL_free(list);
            return NULL;
        }
    }
    return list ? list : SDL_strdup("none");
}

char *publish_game_progress(int *uploading, int *lost)
{
    *uploading = publish_progress.uploading;
    *lost = publish_progress.lost;
    if (!publish_progress.building || publish_progress.lost)
        return NULL;
    char *list = SDL_strdup(publish_progress.built ? publish_progress.built : "none");
    if (!list)
        *lost = 1;
    return list;
}

/* The first failure stops the walk: each platform named once, where it
 * belongs. A stub directory that could not be listed left nothing built
 * and nothing attempted. */
static void note_failed_walk(const PublishContext *ctx)
{
    SDL_free(publish_run_outcome);
    publish_run_outcome = NULL;
    if (!ctx->listed) {
        publish_run_outcome = SDL_strdup("No platform was attempted: the stub directory "
                                         "'.brindlecot/stubs' could not be listed");
        return;
    }
    char *built = stub_names(ctx, 0, ctx->built);
    char *rest = stub_names(ctx, ctx->built + 1, ctx->stub_count);
    if (built && rest)
        publish_run_outcome = alloc_printf("Platforms built: %s; failed: %s; not attempted: %s",
                                           built, ctx->stubs[ctx->built], rest);
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

/* A file staging deletes or empties no longer holds what the run read. */
static void note_dropped_file(void *run, const NativeFileIdentity *gone)
{
    zip_run_forget_file((ZipRun *)run, gone);
}

/* The first pass over what the listed platforms' packages hold, then
 * every build. 1 when all were built. */
static int build_listed_stubs(PublishContext *ctx)
{
    size_t rule_count;
    NativeEntryRule *rules = package_native_rules(ctx, &rule_count);
    zip_run_prepare(ctx->zip_run, ctx->game_dir, rules, rule_count);
    SDL_free(rules);
    staging_observe_copies(note_staged_copy, note_dropped_file, ctx->zip_run);
    publish_progress.building = 1;
    int built = build_stubs(ctx);
    staging_observe_copies(NULL, NULL, NULL);
    return built;
}

int publish_game(const char *game_dir, const char *platform_list, int upload)
{
    publish_log_info("Starting publish for game in directory '%s'", game_dir);
    SDL_free(publish_progress.built);
    SDL_zero(publish_progress);
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
    int walked = ctx.zip_run && list_stubs(&ctx) && build_listed_stubs(&ctx);
    /* Without a run nothing was attempted, and that failure is logged. */
    if (!walked && ctx.zip_run)
        note_failed_walk(&ctx);
    zip_run_destroy(ctx.zip_run);
    free_stubs(&ctx);
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
        if (upload) {
            publish_progress.uploading = 1;
            upload_to_itchio(builds.next);
        }
    }
    /* Freed on every path, the failed walk included. */
    built_platform_free_list(&builds);
    return result;
}
