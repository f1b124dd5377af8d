/* Staging of game trees and the small tree toolbox every platform build
 * uses: the walk callbacks that copy, delete and prune trees (handed to
 * PHYSFS_enumerate), the excluded-name test that the zip writer and the HTML5
 * manifest share, file and stream copies, the staged-tree cleaner, the
 * default-file adder and marking a file executable.
 *
 * Paths are PhysicsFS paths: reads from the search path, writes to the write
 * directory. Failures are logged once, here, in the "Publish" subsystem; the
 * functions report 1/0, the walk callbacks PHYSFS_ENUM_OK (1) or
 * PHYSFS_ENUM_ERROR (-1), never 0.
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

/* 1 when name (one path component) is ".brindlecot", ".DS_Store",
 * "__MACOSX", ".git", ".hg" or ".svn", ignoring case; else 0. */
int is_excluded_name(const char *name);

/* PHYSFS_enumerate(dir, callback, data) for a walk whose callbacks log
 * their own failures. When dir itself cannot be read (no permission, a path
 * longer than the system allows...), no callback runs to say so: this logs
 * "Can't read directory '%s': %s" with the operating system's reason, once,
 * and a failure that a callback reported is not logged again. 1 when the
 * whole walk succeeded (a missing dir walks as empty); 0 otherwise. */
int walk_directory(const char *dir, PHYSFS_EnumerateCallback callback, void *data);

/* PHYSFS_stat for a path that a PHYSFS_enumerate walk has just reached
 * (origdir/name, every directory above it already checked by the walk).
 * When the search path is the write directory alone, a regular file or a
 * directory is looked up with one native call: PhysicsFS would check every
 * component of the path again for symbolic links, a dozen system calls per
 * file on every walk. Anything else, and every failure, goes to PHYSFS_stat
 * itself, so the outcome and the error left behind are PhysicsFS's own.
 * st->readonly is not looked up on the native way (nothing reads it). */
int stat_walked_path(const char *path, PHYSFS_Stat *st);

/* Opens a path reached as stat_walked_path's is, natively for reading when
 * the search path is the write directory alone, for the same reason; a
 * symbolic link at its end is refused. A descriptor (close it with
 * native_file_close), or -1 when the caller must open it through PhysicsFS,
 * which tells the error if there is one. */
int open_walked_path(const char *path);

/* The native path (allocated) of a path reached as stat_walked_path's is,
 * when the search path is the write directory alone; NULL otherwise (or
 * when memory ran out). */
char *native_walked_path(const char *path);

/* Told of each file that staging copies natively from a source read
 * through unchanged: what identified the source while it was read and what
 * identifies the copy once written (platform/native_file.h). */
typedef void (*StagingCopyObserver)(void *user, const NativeFileIdentity *source,
                                    const NativeFileIdentity *copy);

/* Sets (or, with NULL, clears) the one observer of the copies. */
void staging_observe_copies(StagingCopyObserver observer, void *user);

/* Appends the whole file src_path (search path) to out, through one 4 MiB
 * buffer. out stays open and belongs to the caller; out_name is only used in
 * messages. 1 when every byte was read and written. */
int copy_stream(PHYSFS_File *out, const char *out_name, const char *src_path);

/* Copies src (search path) to dst (write directory, created or truncated).
 * On failure dst is deleted. */
int copy_file(const char *dst, const char *src);

/* Walk callback: deletes origdir/name, emptying a directory first; data is
 * ignored. To delete a whole tree, walk its top with this and then
 * PHYSFS_delete the top yourself. Every deletion is announced. */
PHYSFS_EnumerateCallbackResult delete_tree_entry(void *data, const char *origdir,
                                                 const char *name);

/* Empties and removes the directory path (write directory) when it exists,
 * natively, announcing each entry, so no stale file of an earlier build survives. 1 when
 * nothing is left (or nothing was there); 0 after a logged error. */
int delete_tree(const char *path);

/* Walk callback: copies origdir/name to dest_dir/name, where dest_dir (a
 * const char *) is the walk's data and must exist. Skips excluded names and
 * anything that is neither a directory nor a regular file; recreates empty
 * directories. Works on a mounted archive too. */
PHYSFS_EnumerateCallbackResult copy_tree_entry(void *dest_dir, const char *origdir,
                                               const char *name);

/* Walk callback over a staged tree's "native" directory; data is the
 * platform (const char *). Keeps the entries the platform table assigns to
 * the platform (platform_keeps_native_entry); deletes the others. An entry
 * that cannot be deleted stays: always PHYSFS_ENUM_OK, except when a path
 * cannot be allocated. */
PHYSFS_EnumerateCallbackResult prune_native_entry(void *platform, const char *origdir,
                                                  const char *name);

/* Removes the installation's launcher and replay files from the top of dir,
 * then prunes dir/native for platform (the stub entry's name). 1/0. */
int strip_staged_tree(const char *platform, const char *dir);

/* Copies each of the five default files (from the top of the search path)
 * into dir unless something of that name is there, then writes the empty
 * flag file dir/metadata/BRINDLECOT_PRODUCTION_BUILD; dir is a staged tree,
 * so both are written natively. 1/0. */
int add_staged_defaults(const char *dir);

/* Stages the game game_dir into dir for platform (the stub entry name):
 * makes dir, copies the game into it (as copy_tree_entry does, but
 * natively), then strip_staged_tree and add_staged_defaults. dir should not
 * hold an older tree. 1/0, the cause logged by the step that failed. */
int stage_game_tree(const char *platform, const char *game_dir, const char *dir);

/* The native path of a write-directory path (the current directory's when
 * there is no write directory), allocated; NULL after reporting that memory
 * ran out. */
char *native_write_path(const char *path);

/* Gives path (a write-directory path) the mode 0755 in the native file
 * system. 1/0. */
int make_executable(const char *path);

#endif
