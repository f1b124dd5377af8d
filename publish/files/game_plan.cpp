#include "publish/files/game_plan.h"

#include <SDL.h>
#include <errno.h>

#include "engine/helpers.h"
#include "engine/tree_walk.h"
#include "publish/files/entry_name.h"
#include "publish/publish_log.h"

/* Launchers and replay files of the installation that a game directory may
 * carry at its top; they have no place in a package. */
static const char *const game_plan_stripped[] = {
    "brindlecot",      "brindlecot.bat",      "run",
    "run.bat",         "replay.txt",          "watch-recording",
    "watch-recording.bat", "run-demo",        "run-demo.bat",
};

static const char *const game_plan_defaults[] = {
    "open-source-licenses.txt", "font.ttf", "brindlecot.png",
    "brindlecot-controller.png", "console-logo.png",
};

const char *const *game_plan_stripped_names(size_t *count)
{
    *count = SDL_arraysize(game_plan_stripped);
    return game_plan_stripped;
}

const char *const *game_plan_default_files(size_t *count)
{
    *count = SDL_arraysize(game_plan_defaults);
    return game_plan_defaults;
}

/* The rule for the first length bytes of name. */
static int game_plan_keeps_prefix_of(const NativeEntryRule *rule, const char *name,
                                     size_t length)
{
    size_t rule_length = SDL_strlen(rule->name);
    if (length == rule_length && SDL_strncasecmp(name, rule->name, length) == 0)
        return 1;
    size_t prefix_length = rule->prefix ? SDL_strlen(rule->prefix) : 0;
    return rule->prefix && length >= prefix_length &&
           SDL_strncasecmp(name, rule->prefix, prefix_length) == 0;
}

int game_plan_keeps_native_entry(const NativeEntryRule *rule, const char *name)
{
    return game_plan_keeps_prefix_of(rule, name, SDL_strlen(name));
}

void game_plan_free(GamePlan *plan)
{
    for (size_t i = 0; i < plan->count; i++) {
        SDL_free(plan->entries[i].name);
        SDL_free(plan->entries[i].source);
    }
    SDL_free(plan->entries);
    SDL_zerop(plan);
}

/* Appends an entry; name and source are copied. 1, or 0 after reporting
 * that memory ran out. */
static int game_plan_add(GamePlan *plan, const char *name, const char *source,
                         int is_directory, const PHYSFS_Stat *st)
{
    if (plan->count == plan->capacity) {
        size_t capacity = plan->capacity ? 2 * plan->capacity : 256;
        void *grown = SDL_realloc(plan->entries, capacity * sizeof *plan->entries);
        if (!grown) {
            report_out_of_memory();
            return 0;
        }
        plan->entries = (GamePlanEntry *)grown;
        plan->capacity = capacity;
    }
    GamePlanEntry *e = &plan->entries[plan->count];
    e->name = SDL_strdup(name);
    e->source = source ? SDL_strdup(source) : NULL;
    if (!e->name || (source && !e->source)) {
        SDL_free(e->name);
        SDL_free(e->source);
        report_out_of_memory();
        return 0;
    }
    e->is_directory = is_directory;
    e->st = *st;
    plan->count++;
    return 1;
}

static int game_plan_is_stripped(const char *name)
{
    for (size_t i = 0; i < SDL_arraysize(game_plan_stripped); i++)
        if (SDL_strcmp(name, game_plan_stripped[i]) == 0)
            return 1;
    return 0;
}

/* 1 when relative lies in native/ below an entry that rule drops. */
static int game_plan_is_other_native(const NativeEntryRule *rule, const char *relative)
{
    if (SDL_strncmp(relative, "native/", 7) != 0)
        return 0;
    const char *entry = relative + 7;
    const char *end = SDL_strchr(entry, '/');
    size_t length = end ? (size_t)(end - entry) : SDL_strlen(entry);
    return !game_plan_keeps_prefix_of(rule, entry, length);
}

int game_plan_keeps_file(const NativeEntryRule *rule, const char *relative)
{
    int at_top = SDL_strchr(relative, '/') == NULL;
    return !(at_top && game_plan_is_stripped(relative)) &&
           !game_plan_is_other_native(rule, relative);
}

typedef struct GamePlanWalk {
    GamePlan *plan;
    const NativeEntryRule *native;
} GamePlanWalk;

/* A launcher or replay file at the top is left out; a directory of such a
 * name only when it is empty, as a staged tree's delete removes nothing
 * else. That one is dropped once the walk is over. */
static int game_plan_visit(void *walk, const TreeWalkEntry *e)
{
    GamePlanWalk *w = (GamePlanWalk *)walk;
    if (e->is_directory ? game_plan_is_other_native(w->native, e->relative)
                        : !game_plan_keeps_file(w->native, e->relative))
        return 1;
    return game_plan_add(w->plan, e->relative, e->path, e->is_directory, e->st);
}

static GamePlanEntry *game_plan_find(GamePlan *plan, const char *name)
{
    for (size_t i = 0; i < plan->count; i++)
        if (SDL_strcmp(plan->entries[i].name, name) == 0)
            return &plan->entries[i];
    return NULL;
}

static int game_plan_has_below(const GamePlan *plan, const char *dir)
{
    size_t length = SDL_strlen(dir);
    for (size_t i = 0; i < plan->count; i++) {
        const char *name = plan->entries[i].name;
        if (SDL_strncmp(name, dir, length) == 0 && name[length] == '/')
            return 1;
    }
    return 0;
}

/* Marks first (is_directory -1), then drops: whether one entry goes
 * depends on all the others. */
static void game_plan_drop_empty_stripped(GamePlan *plan)
{
    for (size_t i = 0; i < plan->count; i++) {
        GamePlanEntry *e = &plan->entries[i];
        if (e->is_directory && game_plan_is_stripped(e->name) && !game_plan_has_below(plan, e->name))
            e->is_directory = -1;
    }
    size_t kept = 0;
    for (size_t i = 0; i < plan->count; i++) {
        GamePlanEntry *e = &plan->entries[i];
        if (e->is_directory == -1) {
            SDL_free(e->name);
            SDL_free(e->source);
            continue;
        }
        plan->entries[kept++] = *e;
    }
    plan->count = kept;
}

/* The installation's default files the game has no entry for, read from
 * the top of the search path. One that is missing fails the plan with the
 * message of a copy that could not open it. */
static int game_plan_add_defaults(GamePlan *plan)
{
    for (size_t i = 0; i < SDL_arraysize(game_plan_defaults); i++) {
        const char *name = game_plan_defaults[i];
        if (game_plan_find(plan, name))
            continue;
        PHYSFS_Stat st;
        errno = 0;
        if (!tree_walk_stat(name, &st)) {
            int saved_errno = errno;
            publish_log_error("Can't open '%s' for reading: %s", name,
                              fs_error_cause(PHYSFS_getLastErrorCode(), saved_errno));
            return 0;
        }
        if (st.filetype == PHYSFS_FILETYPE_OTHER) {
            publish_log_error("Can't open '%s' for reading: %s", name, FS_SPECIAL_FILE_CAUSE);
            return 0;
        }
        if (!game_plan_add(plan, name, name, 0, &st))
            return 0;
    }
    return 1;
}

/* The flag, empty, in metadata/ (added when the game has none); a flag the
 * game carries is emptied. */
static int game_plan_add_flag(GamePlan *plan)
{
    PHYSFS_Stat now;
    SDL_zero(now);
    now.modtime = now.createtime = now.accesstime = (PHYSFS_sint64)time_now_unix();
    now.filetype = PHYSFS_FILETYPE_DIRECTORY;
    const GamePlanEntry *dir = game_plan_find(plan, "metadata");
    GamePlanEntry *flag = game_plan_find(plan, GAME_PLAN_FLAG_NAME);
    if ((dir && !dir->is_directory) || (flag && flag->is_directory)) {
        publish_log_error("Failed to write production build flag!");
        return 0;
    }
    if (!dir && !game_plan_add(plan, "metadata", NULL, 1, &now))
        return 0;
    now.filetype = PHYSFS_FILETYPE_REGULAR;
    if (!flag)
        return game_plan_add(plan, GAME_PLAN_FLAG_NAME, NULL, 0, &now);
    SDL_free(flag->source);
    flag->source = NULL;
    flag->st = now;
    return 1;
}

int game_plan_make(GamePlan *plan, const NativeEntryRule *native, const char *game_dir)
{
    SDL_zerop(plan);
    GamePlanWalk walk = {plan, native};
    TreeWalkOptions options = publish_walk_options(TREE_WALK_SKIP_EXCLUDED);
    options.admit = entry_name_allowed;
    int ok = tree_walk(game_dir, &options, game_plan_visit, &walk);
    if (ok) {
        game_plan_drop_empty_stripped(plan);
        ok = game_plan_add_defaults(plan) && game_plan_add_flag(plan);
    }
    if (!ok)
        game_plan_free(plan);
    return ok;
}
