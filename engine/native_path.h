/* Where a write-directory path is natively, for every operation that
 * leaves PhysicsFS. */
#ifndef BRINDLECOT_ENGINE_NATIVE_PATH_H
#define BRINDLECOT_ENGINE_NATIVE_PATH_H

#include <stddef.h>

/* The native path of a write-directory path, for every operation that
 * leaves PhysicsFS: the write directory (the current directory when there
 * is none), '/', and path's components, leading and doubled '/' dropped as
 * PhysicsFS drops them. *dir_length (when not NULL) gets the length of the
 * write directory's part, the '/' that follows it excluded, for an
 * operation that resolves the rest itself below that directory. NULL with
 * errno EINVAL for a path that must not leave its directory or that
 * PhysicsFS would refuse: empty, a "." or ".." component (the last one
 * included, which PhysicsFS 3.0 lets through), ':' or '\\'; NULL with
 * errno ENOMEM when out of memory. */
char *fs_native_write_path(const char *path, size_t *dir_length);

#endif
