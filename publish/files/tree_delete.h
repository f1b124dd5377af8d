/* Removing a build tree before it is made anew. */
#ifndef BRINDLECOT_PUBLISH_TREE_DELETE_H
#define BRINDLECOT_PUBLISH_TREE_DELETE_H

/* Empties and removes the directory path (write directory) when it exists,
 * natively, announcing each entry (and forgetting each file's identity,
 * staging_copies.h), so no stale file of an earlier build
 * survives. The path is resolved below the write directory: one with a
 * "." or ".." component, or through a symbolic link, is refused before
 * anything goes. 1 when nothing is left (or nothing was there); 0 after a
 * logged error. */
int delete_tree(const char *path);

/* Asked of each entry delete_entries finds: 1 keeps it. */
typedef int (*DeleteKeep)(void *user, const char *name);

/* Deletes each entry of the directory path that keep does not keep, with
 * all below it, announcing and forgetting as delete_tree does. An entry
 * that will not go is left in place with an error line, and the others
 * still go. 1 when path was listed through (or is not there); 0 after a
 * logged error that it could not be. */
int delete_entries(const char *path, DeleteKeep keep, void *user);

#endif
