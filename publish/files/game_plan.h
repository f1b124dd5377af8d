/* What a package holds of the game, as a list of entries instead of a
 * copied tree: the game's own files and directories (without the excluded
 * names, the installation's launcher and replay files at the top, or the
 * native code of other platforms), the installation's five default files
 * the game lacks, and the empty production-build flag
 * metadata/BRINDLECOT_PRODUCTION_BUILD.
 *
 * The rules are the staged tree's (staging.h): a build that archives the
 * game without keeping a tree of it (a desktop package) writes the entries
 * of a plan, and gets the entries a staged tree would have given, without
 * writing the game to the disk once more. */
#ifndef BRINDLECOT_PUBLISH_GAME_PLAN_H
#define BRINDLECOT_PUBLISH_GAME_PLAN_H

#include <physfs.h>
#include <stddef.h>

/* Which entries of a staged game's native/ directory a build keeps: the
 * one named name and, when prefix is not NULL, every one that begins with
 * prefix, both ignoring case. The platform table says which for a
 * platform. */
typedef struct NativeEntryRule {
    const char *name;
    const char *prefix;
} NativeEntryRule;

/* 1 when rule keeps the entry name of native/. */
int game_plan_keeps_native_entry(const NativeEntryRule *rule, const char *name);

/* 1 when the game's file at relative (below the game's top) goes into a
 * package whose native code rule keeps: it is no launcher or replay file
 * at the top and no other platform's native code. */
int game_plan_keeps_file(const NativeEntryRule *rule, const char *relative);

/* The names left out at the top of a game (launchers and replay files of
 * the installation), and the installation's default files that a game gets
 * when it has none of its own; *count is set to each list's length. */
const char *const *game_plan_stripped_names(size_t *count);
const char *const *game_plan_default_files(size_t *count);

/* Where the production-build flag goes, below the game's top. */
#define GAME_PLAN_FLAG_NAME "metadata/BRINDLECOT_PRODUCTION_BUILD"

typedef struct GamePlanEntry {
    char *name;       /* below the top, '/'-separated, no trailing '/' */
    char *source;     /* PhysicsFS path of its bytes; NULL: an empty file, or
                       * a directory the plan adds */
    int is_directory;
    PHYSFS_Stat st;   /* of the source; for an added entry, now */
} GamePlanEntry;

typedef struct GamePlan {
    GamePlanEntry *entries; /* in walk order, the added ones last */
    size_t count;
    size_t capacity;
} GamePlan;

/* Fills plan (zeroed, or freed) with the entries of the game game_dir
 * staged for a platform whose native code native keeps. Walks the game
 * once, with the gate and the lines of every game walk (entry_name.h);
 * nothing is written. 1, or 0 after a logged failure (the plan is freed
 * then). */
int game_plan_make(GamePlan *plan, const NativeEntryRule *native, const char *game_dir);

/* Frees the entries; the plan is empty afterwards. */
void game_plan_free(GamePlan *plan);

#endif
