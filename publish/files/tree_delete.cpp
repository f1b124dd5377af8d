#include "publish/files/tree_delete.h"

#include <SDL.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "platform/native_file.h"
#include "publish/files/output_file.h"
#include "publish/files/staging_copies.h"
#include "publish/publish_log.h"

/* The tree that delete_tree removes, or the directory delete_entries
 * prunes, for its lines; what delete_entries keeps. */
typedef struct TreeDeletion {
    const char *path;
    DeleteKeep keep;
    void *user;
} TreeDeletion;

/* The removal's own look at the entry names the file to forget: no
 * second lookup by path. */
static void tree_delete_announce(void *deletion, const char *relative,
                                      const NativeFileIdentity *file)
{
    TreeDeletion *d = (TreeDeletion *)deletion;
    if (*relative)
        publish_log_info("Deleting '%s/%s'...", d->path, relative);
    else
        publish_log_info("Deleting '%s'...", d->path);
    if (file)
        staging_copies_forget(file);
}

/* Natively, one system call an entry: PhysicsFS would stat and check each
 * path component for links on every call, several calls a file. The path
 * is resolved below the installation, so neither a ".." nor a link on the
 * way takes the removal anywhere else. */
int delete_tree(const char *path)
{
    size_t dir_length = 0;
    char *native = output_native_path(path, &dir_length);
    if (!native)
        return 0;
    native[dir_length] = '\0';
    char *failed = NULL;
    TreeDeletion deletion = {path, NULL, NULL};
    int ok = native_remove_tree(native, native + dir_length + 1, tree_delete_announce,
                                &deletion, &failed);
    if (!ok) {
        int on_the_way = errno == ELOOP && failed && !*failed;
        publish_log_error("Failed to delete '%s%s%s': %s", path, failed && *failed ? "/" : "",
                          failed ? failed : "",
                          on_the_way ? "a directory on its way is a symbolic link, which the "
                                       "publisher never follows"
                                     : strerror(errno));
    }
    free(failed);
    SDL_free(native);
    return ok;
}

static int tree_delete_keeps(void *deletion, const char *name)
{
    TreeDeletion *d = (TreeDeletion *)deletion;
    return d->keep(d->user, name);
}

static void tree_delete_failed(void *deletion, const char *relative, int error)
{
    TreeDeletion *d = (TreeDeletion *)deletion;
    publish_log_error("Failed to delete '%s/%s': %s", d->path, relative ? relative : "",
                      strerror(error));
}

int delete_entries(const char *path, DeleteKeep keep, void *user)
{
    size_t dir_length = 0;
    char *native = output_native_path(path, &dir_length);
    if (!native)
        return 0;
    native[dir_length] = '\0';
    TreeDeletion deletion = {path, keep, user};
    int ok = native_prune_directory(native, native + dir_length + 1, tree_delete_keeps,
                                    tree_delete_announce, tree_delete_failed, &deletion);
    if (!ok)
        publish_log_error("Can't read directory '%s': %s", path, strerror(errno));
    SDL_free(native);
    return ok;
}
