/* Staging of game trees: a game copied into a staged tree
 * (staging_copies.h), its launcher files and other platforms' native code
 * taken out, and the default files and the production-build flag added.
 *
 * Paths are PhysicsFS paths: reads from the search path, writes to the
 * write directory. Failures are logged once, here or by the walker, in the
 * "Publish" subsystem; the functions report 1/0.
 *
 * A build stages a game with stage_game_tree, then zips or copies the
 * result. The file and tree toolbox of the builds is in file_copy.h,
 * staging_copies.h and tree_delete.h. */
#ifndef BRINDLECOT_PUBLISH_STAGING_H
#define BRINDLECOT_PUBLISH_STAGING_H

#include "publish/files/game_plan.h"

/* Removes the installation's launcher and replay files from the top of dir,
 * then prunes dir/native with native. 1/0. */
int strip_staged_tree(const NativeEntryRule *native, const char *dir);

/* Copies each of the five default files (from the top of the search path)
 * into dir unless something of that name is there, then writes the empty
 * flag file dir/metadata/BRINDLECOT_PRODUCTION_BUILD; dir is a staged tree,
 * so both are written natively. 1/0. */
int add_staged_defaults(const char *dir);

/* Stages the game game_dir into dir, keeping the native code native names:
 * makes dir, copies the game into it (as copy_tree does, but natively, the
 * files on worker threads, all finished before it goes on), then
 * strip_staged_tree and add_staged_defaults. dir should not hold an older
 * tree. 1/0, the cause logged by the step that failed. */
int stage_game_tree(const NativeEntryRule *native, const char *game_dir, const char *dir);

#endif
