#include "engine/tree_walk.h"

#include <SDL.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>

#include "engine/helpers.h"
#include "engine/native_path.h"
#include "platform/native_file.h"

static const char *const tree_walk_excluded[] = {
    ".brindlecot", ".DS_Store", "__MACOSX", ".git", ".hg", ".svn",
};

/* One walk, handed down through every level. */
typedef struct TreeWalk {
    const TreeWalkOptions *options;
    TreeWalkVisit visit;
    void *user;
    size_t top_length;
    int natively; /* list and examine through the system, not PhysicsFS */
} TreeWalk;

/* A directory being listed. */
typedef struct TreeWalkLevel {
    TreeWalk *walk;
    const char *dir;
} TreeWalkLevel;

typedef enum TreeWalkKind {
    TREE_WALK_KIND_FILE,
    TREE_WALK_KIND_DIRECTORY,
    TREE_WALK_KIND_LINK,
    TREE_WALK_KIND_OTHER
} TreeWalkKind;

int tree_walk_excluded_name(const char *name)
{
    for (size_t i = 0; i < SDL_arraysize(tree_walk_excluded); i++)
        if (SDL_strcasecmp(name, tree_walk_excluded[i]) == 0)
            return 1;
    return 0;
}

typedef struct SearchPathProbe {
    const char *write_dir;
    int entries;
    int write_dir_at_root;
} SearchPathProbe;

static void tree_walk_probe_search_path(void *data, const char *dir)
{
    SearchPathProbe *probe = (SearchPathProbe *)data;
    probe->entries++;
    const char *mount_point = PHYSFS_getMountPoint(dir);
    if (SDL_strcmp(dir, probe->write_dir) == 0 && mount_point &&
        SDL_strcmp(mount_point, "/") == 0)
        probe->write_dir_at_root = 1;
}

/* 1 when the search path is the write directory alone, mounted at the
 * root, so the write directory's native path names what PhysicsFS reads. */
static int tree_walk_search_path_is_write_dir(void)
{
    SearchPathProbe probe = {PHYSFS_getWriteDir(), 0, 0};
    if (!probe.write_dir)
        return 0;
    PHYSFS_getSearchPathCallback(tree_walk_probe_search_path, &probe);
    return probe.entries == 1 && probe.write_dir_at_root;
}

char *tree_walk_native_path(const char *path)
{
    if (!tree_walk_search_path_is_write_dir())
        return NULL;
    return fs_native_write_path(path, NULL);
}

/* The native path of a path a native walk has reached; NULL when it must
 * go through PhysicsFS, which refuses a name it cannot take in its own
 * words, or when memory ran out (*failed set, reported). */
static char *tree_walk_native_or_physfs(const TreeWalk *w, const char *path, int *failed)
{
    *failed = 0;
    if (!w->natively)
        return NULL;
    char *native = fs_native_write_path(path, NULL);
    if (!native && errno == ENOMEM) {
        w->options->out_of_memory();
        *failed = 1;
    }
    return native;
}

static int tree_walk_lstat(const char *native, NativeFileInfo *info, PHYSFS_Stat *st)
{
    if (!native_file_lstat(native, info))
        return 0;
    SDL_zerop(st);
    st->filetype = info->type == NATIVE_FILE_DIRECTORY ? PHYSFS_FILETYPE_DIRECTORY
                   : info->type == NATIVE_FILE_REGULAR ? PHYSFS_FILETYPE_REGULAR
                   : info->type == NATIVE_FILE_LINK    ? PHYSFS_FILETYPE_SYMLINK
                                                       : PHYSFS_FILETYPE_OTHER;
    st->filesize = info->type == NATIVE_FILE_REGULAR ? (PHYSFS_sint64)info->size : 0;
    st->modtime = info->modtime;
    st->createtime = info->createtime;
    st->accesstime = info->accesstime;
    return 1;
}

int tree_walk_stat(const char *path, PHYSFS_Stat *st)
{
    char *native = tree_walk_native_path(path);
    NativeFileInfo info;
    int found = native && tree_walk_lstat(native, &info, st) &&
                (info.type == NATIVE_FILE_REGULAR || info.type == NATIVE_FILE_DIRECTORY);
    SDL_free(native);
    return found || PHYSFS_stat(path, st);
}

int tree_walk_open(const char *path)
{
    char *native = tree_walk_native_path(path);
    if (!native)
        return -1;
    int fd = native_file_open_read(native);
    SDL_free(native);
    return fd;
}

static void tree_walk_out_of_memory(const TreeWalk *w)
{
    w->options->out_of_memory();
}

static void tree_walk_log(const TreeWalk *w, LogLevel level, const char *fmt, ...)
    LOG_PRINTF(3, 4);

static void tree_walk_log(const TreeWalk *w, LogLevel level, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *text = alloc_vprintf(fmt, ap);
    va_end(ap);
    if (!text) {
        tree_walk_out_of_memory(w);
        return;
    }
    w->options->log_line(level, text);
    SDL_free(text);
}

/* The code PhysicsFS gives a failed system call, for a native failure. */
static PHYSFS_ErrorCode tree_walk_code_of_errno(int saved_errno)
{
    switch (saved_errno) {
    case EACCES:
    case EPERM:
        return PHYSFS_ERR_PERMISSION;
    case ENOENT:
    case ENOTDIR:
        return PHYSFS_ERR_NOT_FOUND;
    case ENAMETOOLONG:
        return PHYSFS_ERR_BAD_FILENAME;
    case ELOOP:
        return PHYSFS_ERR_SYMLINK_LOOP;
    case ENOMEM:
        return PHYSFS_ERR_OUT_OF_MEMORY;
    case EIO:
        return PHYSFS_ERR_IO;
    default:
        return PHYSFS_ERR_OS_ERROR;
    }
}

/* What path is; 0 after logging why it cannot be told. */
static int tree_walk_examine(const TreeWalk *w, const char *path, PHYSFS_Stat *st,
                             TreeWalkKind *kind)
{
    const char *cause = NULL;
    PHYSFS_ErrorCode code = PHYSFS_ERR_OK;
    int failed = 0;
    char *native = tree_walk_native_or_physfs(w, path, &failed);
    if (failed)
        return 0;
    errno = 0;
    if (native) {
        NativeFileInfo info;
        if (!tree_walk_lstat(native, &info, st)) {
            code = tree_walk_code_of_errno(errno);
            cause = strerror(errno);
        }
        SDL_free(native);
    } else if (!PHYSFS_stat(path, st)) {
        int saved_errno = errno;
        code = PHYSFS_getLastErrorCode();
        cause = fs_error_cause(code, saved_errno);
    }
    if (cause) {
        tree_walk_log(w, LOG_LEVEL_ERROR, "Failed to stat '%s': %s", path, cause);
        PHYSFS_setErrorCode(code); /* for the caller: reading it cleared it */
        return 0;
    }
    *kind = st->filetype == PHYSFS_FILETYPE_REGULAR     ? TREE_WALK_KIND_FILE
            : st->filetype == PHYSFS_FILETYPE_DIRECTORY ? TREE_WALK_KIND_DIRECTORY
            : st->filetype == PHYSFS_FILETYPE_SYMLINK   ? TREE_WALK_KIND_LINK
                                                        : TREE_WALK_KIND_OTHER;
    return 1;
}

static int tree_walk_directory(TreeWalk *w, const char *dir, int is_top);

/* One examined entry: skipped, visited, and for a directory entered. */
static int tree_walk_entry(TreeWalk *w, TreeWalkEntry *e, TreeWalkKind kind)
{
    if ((kind == TREE_WALK_KIND_LINK || kind == TREE_WALK_KIND_OTHER) &&
        (w->options->flags & TREE_WALK_OWN_TREE)) {
        tree_walk_log(w, LOG_LEVEL_ERROR,
                      kind == TREE_WALK_KIND_LINK
                          ? "'%s' is a symbolic link, and nothing the publisher staged is one: "
                            "something else put it there"
                          : "'%s' is not a regular file or directory, and nothing the publisher "
                            "staged is one: something else put it there",
                      e->path);
        return 0;
    }
    if (kind == TREE_WALK_KIND_LINK) {
        tree_walk_log(w, LOG_LEVEL_INFO, "Skipping symbolic link '%s'", e->path);
        return 1;
    }
    if (kind == TREE_WALK_KIND_OTHER) {
        tree_walk_log(w, LOG_LEVEL_INFO, "Skipping '%s': not a regular file or directory",
                      e->path);
        return 1;
    }
    if (kind == TREE_WALK_KIND_FILE)
        return w->visit(w->user, e);
    e->is_directory = 1;
    if (w->options->flags & TREE_WALK_CONTENTS_FIRST)
        return tree_walk_directory(w, e->path, 0) && w->visit(w->user, e);
    return w->visit(w->user, e) && tree_walk_directory(w, e->path, 0);
}

/* A listing by name shows what PhysicsFS would: a native listing also
 * holds symbolic links, which are skipped with their line. 1 for a link,
 * 0 for anything else, -1 when memory ran out (reported): the entry is
 * then unknown, and taking it for no link would let the walk succeed
 * without it having been told. */
static int tree_walk_is_native_link(const TreeWalk *w, const char *path)
{
    int failed = 0;
    char *native = tree_walk_native_or_physfs(w, path, &failed);
    if (failed)
        return -1;
    NativeFileInfo info;
    int link = native && native_file_lstat(native, &info) && info.type == NATIVE_FILE_LINK;
    SDL_free(native);
    if (link)
        tree_walk_log(w, LOG_LEVEL_INFO, "Skipping symbolic link '%s'", path);
    return link;
}

static int tree_walk_name(TreeWalk *w, const char *dir, const char *name)
{
    unsigned flags = w->options->flags;
    if ((flags & TREE_WALK_SKIP_EXCLUDED) && tree_walk_excluded_name(name))
        return 1;
    if (w->options->admit && !w->options->admit(dir, name))
        return 0;
    char *path = alloc_printf("%s/%s", dir, name);
    if (!path) {
        tree_walk_out_of_memory(w);
        return 0;
    }
    TreeWalkEntry e = {path, path + w->top_length + 1, name, 0, NULL};
    PHYSFS_Stat st;
    TreeWalkKind kind;
    int ok;
    if (flags & TREE_WALK_ONE_LEVEL) {
        int link = tree_walk_is_native_link(w, path);
        ok = link > 0 || (link == 0 && w->visit(w->user, &e));
    } else {
        e.st = &st;
        ok = tree_walk_examine(w, path, &st, &kind) && tree_walk_entry(w, &e, kind);
    }
    SDL_free(path);
    return ok;
}

static int tree_walk_native_name(void *level, const char *name)
{
    TreeWalkLevel *l = (TreeWalkLevel *)level;
    return tree_walk_name(l->walk, l->dir, name);
}

static PHYSFS_EnumerateCallbackResult tree_walk_physfs_name(void *level, const char *origdir,
                                                            const char *name)
{
    (void)origdir;
    TreeWalkLevel *l = (TreeWalkLevel *)level;
    return tree_walk_name(l->walk, l->dir, name) ? PHYSFS_ENUM_OK : PHYSFS_ENUM_ERROR;
}

/* Lists dir and walks each entry. A missing top walks as empty, as
 * PhysicsFS has it; a directory below it that has gone is a failure. */
static int tree_walk_directory(TreeWalk *w, const char *dir, int is_top)
{
    TreeWalkLevel level = {w, dir};
    const char *cause = NULL;
    PHYSFS_ErrorCode code = PHYSFS_ERR_OK;
    int failed = 0;
    char *native = tree_walk_native_or_physfs(w, dir, &failed);
    if (failed)
        return 0;
    errno = 0;
    if (native) {
        int listed = native_file_list_directory(native, tree_walk_native_name, &level);
        int saved_errno = errno;
        SDL_free(native);
        if (listed < 0)
            return 0; /* the entry that stopped it has said why */
        if (!listed && !(is_top && (saved_errno == ENOENT || saved_errno == ENOTDIR))) {
            code = tree_walk_code_of_errno(saved_errno);
            cause = strerror(saved_errno);
        }
    } else if (!PHYSFS_enumerate(dir, tree_walk_physfs_name, &level)) {
        int saved_errno = errno;
        code = PHYSFS_getLastErrorCode();
        /* PhysicsFS marks every level above a failed visit with this. */
        if (code == PHYSFS_ERR_APP_CALLBACK)
            return 0;
        cause = fs_error_cause(code, saved_errno);
    }
    if (cause) {
        tree_walk_log(w, LOG_LEVEL_ERROR, "Can't read directory '%s': %s", dir, cause);
        /* Reading the code cleared it, and a caller may answer with it (the
         * daemon's page for a directory it can't list). */
        PHYSFS_setErrorCode(code);
        return 0;
    }
    return 1;
}

int tree_walk(const char *top, const TreeWalkOptions *options, TreeWalkVisit visit, void *user)
{
    TreeWalk w = {options, visit, user, SDL_strlen(top), 0};
    /* A top that is a symbolic link is PhysicsFS's to refuse, as it does
     * any path through one; below it no link is ever followed. */
    char *native = tree_walk_native_path(top);
    NativeFileInfo info;
    w.natively = native && native_file_lstat(native, &info) && info.type != NATIVE_FILE_LINK;
    SDL_free(native);
    return tree_walk_directory(&w, top, 1);
}
