/* Staging of game trees and the small tree toolbox every platform build
 * uses: tree copies and deletes (through the tree walker, engine/tree_walk.h),
 * file and stream copies, the staged-tree cleaner with its native-code rule,
 * the default-file adder and marking a file executable.
 *
 * Paths are PhysicsFS paths: reads from the search path, writes to the write
 * directory. Failures are logged once, here or by the walker, in the
 * "Publish" subsystem; the functions report 1/0.
 *
 * A build stages a game with stage_game_tree, then zips or copies the
 * result. Staged trees are intermediate files: they are written natively
 * (platform/native_file.h), without the flush to the disk that PhysicsFS
 * makes on every close, and they keep the messages of the PhysicsFS
 * copies. */
#ifndef BRINDLECOT_PUBLISH_STAGING_H
#define BRINDLECOT_PUBLISH_STAGING_H

#include <physfs.h>

#include "platform/native_file.h"
#include "publish/files/game_plan.h"

/* Told of each file that staging copies natively, once the copy is whole:
 * what identified the source while it was read through unchanged (NULL
 * when it was not identified, or changed) and what identifies the copy
 * (platform/native_file.h). Always called on the thread that stages, never
 * on a worker. */
typedef void (*StagingCopyObserver)(void *user, const NativeFileIdentity *source,
                                    const NativeFileIdentity *copy);

/* Told of each file of a staged tree (or any tree delete_tree removes)
 * just before staging deletes or truncates it, on the same thread. */
typedef void (*StagingDropObserver)(void *user, const NativeFileIdentity *gone);

/* Sets (or, with NULL, clears) the one observer of the copies and the one
 * of the files dropped; both get user. */
void staging_observe_copies(StagingCopyObserver copied, StagingDropObserver dropped,
                            void *user);

/* Appends the whole file src_path (search path) to out, through one 4 MiB
 * buffer. out stays open and belongs to the caller; out_name is only used in
 * messages. 1 when every byte was read and written. */
int copy_stream(PHYSFS_File *out, const char *out_name, const char *src_path);

/* Copies src (search path) to dst (write directory, created or truncated).
 * On failure dst is deleted. */
int copy_file(const char *dst, const char *src);

/* Copies the tree src_dir (search path) into dest_dir (write directory),
 * which must exist: directories, empty ones too, and regular files, through
 * PhysicsFS; excluded names are left out at any depth. Works on a mounted
 * archive too. 1/0, the cause logged. */
int copy_tree(const char *src_dir, const char *dest_dir);

/* Empties and removes the directory path (write directory) when it exists,
 * natively, announcing each entry, so no stale file of an earlier build
 * survives. The path is resolved below the write directory: one with a
 * "." or ".." component, or through a symbolic link, is refused before
 * anything goes. 1 when nothing is left (or nothing was there); 0 after a
 * logged error. */
int delete_tree(const char *path);

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

/* Gives path (a write-directory path) the mode 0755 in the native file
 * system. 1/0. */
int make_executable(const char *path);

#endif
