/* The copies of staging: a game tree copied natively into a staged tree,
 * its files on worker threads (all finished before the walk returns),
 * the tree copy through PhysicsFS, and the observers told of every native
 * copy and of every file staging drops. Staged trees are intermediate
 * files: they are written natively (platform/native_file.h), without the
 * flush to the disk that PhysicsFS makes on every close, and they keep the
 * messages of the PhysicsFS copies. Failures are logged once, in the
 * "Publish" subsystem; the functions report 1/0. */
#ifndef BRINDLECOT_PUBLISH_STAGING_COPIES_H
#define BRINDLECOT_PUBLISH_STAGING_COPIES_H

#include <stddef.h>

#include "platform/native_file.h"

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

/* Tells the drop observer that the file at path (write directory) is
 * about to be deleted or truncated; nothing there, or no regular file, is
 * nothing to tell. 1, or 0 after reporting that memory ran out. */
int staging_copies_drop(const char *path);

/* The same for a native path. */
void staging_copies_drop_native(const char *native);

/* The same for a file whose identity the caller already has. */
void staging_copies_forget(const NativeFileIdentity *gone);

/* Copies src (search path) to dst (write directory) natively on this
 * thread, through buffer (capacity bytes), announced and observed. On
 * failure dst is removed. */
int staging_copies_copy_file(const char *dst, const char *src, char *buffer, size_t capacity);

/* Copies the tree src_dir (search path) into dest_dir (write directory),
 * which must exist: directories, empty ones too, and regular files, through
 * PhysicsFS; excluded names are left out at any depth. Works on a mounted
 * archive too. 1/0, the cause logged. */
int copy_tree(const char *src_dir, const char *dest_dir);

/* Copies the game game_dir into the existing directory dir natively,
 * through buffer (FILE_COPY_BUFFER_SIZE bytes), the files on workers when
 * threads can be had; excluded and invalid names are left out, and a stop
 * signal lets the copies in flight finish first. Every copy has finished
 * when it returns. */
int staging_copies_stage(const char *game_dir, const char *dir, char *buffer);

#endif
