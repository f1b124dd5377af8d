/* The one walk over a directory tree of the virtual file system, for every
 * walk both programs make: staging a game, zipping a tree, deleting one,
 * pruning native code, the stub directory, the daemon's listing.
 *
 * Regular files and directories are visited; a symbolic link, a device or
 * a pipe is skipped with one info line that names it (PhysicsFS hides
 * links from its own listings, so only a native listing can see them).
 * Every failure is logged with the path and the cause in words and stops
 * the walk: a directory that cannot be listed ("Can't read directory '%s':
 * %s"), an entry that cannot be examined, or has gone by the time it is
 * ("Failed to stat '%s': %s"). A visit that fails logs its own cause.
 * Such a failure of the walk's own leaves its cause as the thread's
 * PhysicsFS error code (PhysicsFS's code, or for a native call the one
 * PhysicsFS gives its errno), so a caller can still answer with the text.
 *
 * When the search path is the write directory alone (as in the publisher),
 * directories are listed and entries examined natively, in the order the
 * system lists them, which is the order PhysicsFS gives: PhysicsFS would
 * check every component of every path again for symbolic links, a dozen
 * system calls per file. Anything else goes through PhysicsFS. */
#ifndef BRINDLECOT_ENGINE_TREE_WALK_H
#define BRINDLECOT_ENGINE_TREE_WALK_H

#include "engine/log.h"

#include <physfs.h>

/* Leave out excluded names (tree_walk_excluded_name) at any depth: for
 * game trees, never for deletes. */
#define TREE_WALK_SKIP_EXCLUDED 0x1u
/* The top's own entries only, by name: nothing is examined, nothing
 * skipped, no directory entered. */
#define TREE_WALK_ONE_LEVEL 0x2u
/* A directory is visited after its contents, as a delete needs; otherwise
 * before them. */
#define TREE_WALK_CONTENTS_FIRST 0x4u
/* A tree the program made itself (a staged build tree): a symbolic link, a
 * device or a pipe in it was put there by someone else, and fails the walk
 * with an error line naming it instead of being skipped. */
#define TREE_WALK_OWN_TREE 0x8u

typedef struct TreeWalkOptions {
    unsigned flags; /* TREE_WALK_ bits */
    /* Writes one line of the walk: a failure, or an entry skipped. */
    void (*log_line)(LogLevel level, const char *text);
    /* Reports a failed allocation. */
    void (*out_of_memory)(void);
    /* Asked about each name found in dir before the entry is examined
     * (excluded names never reach it): 0 stops the walk, after it logged
     * why. NULL takes every name. */
    int (*admit)(const char *dir, const char *name);
} TreeWalkOptions;

typedef struct TreeWalkEntry {
    const char *path;     /* top/relative */
    const char *relative; /* the path below the top */
    const char *name;     /* its last component */
    int is_directory;     /* 0 with TREE_WALK_ONE_LEVEL */
    const PHYSFS_Stat *st; /* NULL with TREE_WALK_ONE_LEVEL */
} TreeWalkEntry;

/* One entry of the walk: 1 go on, 0 stop the walk (after logging why). */
typedef int (*TreeWalkVisit)(void *user, const TreeWalkEntry *entry);

/* Walks everything below top (a directory, given without a trailing '/').
 * A top that is missing, or not a directory, walks as empty. 1 when every
 * entry was visited; 0 after a logged failure. */
int tree_walk(const char *top, const TreeWalkOptions *options, TreeWalkVisit visit,
              void *user);

/* 1 when name (one path component) is ".brindlecot", ".DS_Store",
 * "__MACOSX", ".git", ".hg" or ".svn", ignoring case; else 0. */
int tree_walk_excluded_name(const char *name);

/* PHYSFS_stat for a path a walk has reached (every directory above it
 * already checked), natively when the search path is the write directory
 * alone and the path is a regular file or a directory. Anything else, and
 * every failure, goes to PHYSFS_stat itself, so the outcome and the error
 * left behind are PhysicsFS's own. st->readonly is not looked up on the
 * native way (nothing reads it). */
int tree_walk_stat(const char *path, PHYSFS_Stat *st);

/* Opens a path a walk has reached natively for reading, under the same
 * condition; a symbolic link at its end is refused. A descriptor (close it
 * with native_file_close), or -1 when the caller must open it through
 * PhysicsFS, which tells the error if there is one. */
int tree_walk_open(const char *path);

/* The native path (an SDL allocation) of a path a walk has reached, under
 * the same condition; NULL when it must be taken through PhysicsFS (or
 * memory ran out). */
char *tree_walk_native_path(const char *path);

#endif
