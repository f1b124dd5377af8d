#include "publish/files/output_file.h"

#include "engine/helpers.h"
#include "engine/tree_walk.h"
#include "platform/native_file.h"
#include "platform/process.h"
#include "publish/archive/byte_io.h"
#include "publish/publish_log.h"

#include <SDL.h>

#include <errno.h>
#include <string.h>

#define OUTPUT_TEMP_MARK ".brindlecot-tmp-"
/* How much a result file takes before its writeback is started: each
 * package is flushed once when it is closed, and that flush waits only for
 * what is still dirty then. */
#define OUTPUT_WRITEBACK_STEP (8u << 20)

void output_log_failure(const OutputText *text, const char *path, const char *cause)
{
    publish_log_error("%s'%s'%s: %s", text->before, path, text->after, cause);
}

/* One result file being written. Few are open at once (a package and the
 * icon that goes into it), so a list is enough. */
typedef struct OutputResult {
    PHYSFS_File *file;
    char *path;        /* final name (write directory) */
    char *temp;        /* temporary name beside it */
    int hint_fd;       /* the temporary file natively, for writeback hints; -1 */
    uint64_t hinted;   /* writeback started below this offset */
    uint64_t end;      /* end of the furthest byte written */
    struct OutputResult *next;
} OutputResult;

static OutputResult *output_results;

static OutputResult *output_find(PHYSFS_File *f)
{
    for (OutputResult *r = output_results; r; r = r->next)
        if (r->file == f)
            return r;
    return NULL;
}

static void output_drop_hints(OutputResult *r)
{
    if (r->hint_fd >= 0)
        native_file_close(r->hint_fd);
    r->hint_fd = -1;
}

static void output_forget(OutputResult *gone)
{
    for (OutputResult **link = &output_results; *link; link = &(*link)->next) {
        if (*link == gone) {
            *link = gone->next;
            break;
        }
    }
    output_drop_hints(gone);
    SDL_free(gone->path);
    SDL_free(gone->temp);
    SDL_free(gone);
}

char *output_native_path(const char *path, size_t *dir_length)
{
    char *native = fs_native_write_path(path, dir_length);
    if (native)
        return native;
    if (errno == ENOMEM)
        report_out_of_memory();
    else
        publish_log_error("Refusing the path '%s': a path in the installation has no '.' or "
                          "'..' component and no ':' or '\\'",
                          path);
    return NULL;
}

const char *output_native_cause(int error)
{
    switch (error) {
    case ELOOP:
        return "it is a symbolic link, or one is on its way, and the publisher never writes "
               "through one";
    case EMLINK:
        return "it has another name (a hard link), so writing it would change a file elsewhere";
    case EINVAL:
        return "it is not a regular file";
    default:
        return strerror(error);
    }
}

/* "dir/.name.brindlecot-tmp-PID" for "dir/name". */
static char *output_temp_name(const char *path)
{
    const char *slash = SDL_strrchr(path, '/');
    int dir_len = slash ? (int)(slash - path + 1) : 0;
    return alloc_printf("%.*s.%s" OUTPUT_TEMP_MARK "%ld", dir_len, path, path + dir_len,
                        process_self_id());
}

/* The pid in a temporary name of ours, or 0 when name is not one. */
static long output_temp_pid(const char *name)
{
    if (name[0] != '.')
        return 0;
    const char *mark = SDL_strstr(name, OUTPUT_TEMP_MARK);
    if (!mark || mark == name + 1)
        return 0;
    const char *digits = mark + SDL_strlen(OUTPUT_TEMP_MARK);
    long pid = 0;
    for (const char *p = digits; *p; p++) {
        if (*p < '0' || *p > '9' || pid > 100000000)
            return 0;
        pid = pid * 10 + (*p - '0');
    }
    return pid;
}

/* 1 when path is absent or a regular file; otherwise *why says what it
 * is, or is NULL when the path was refused (and that was said). */
static int output_may_replace(const char *path, const char **why)
{
    char *native = output_native_path(path, NULL);
    if (!native) {
        *why = NULL;
        return 0;
    }
    NativeFileInfo info;
    int there = native_file_lstat(native, &info);
    SDL_free(native);
    if (!there || info.type == NATIVE_FILE_REGULAR)
        return 1;
    *why = info.type == NATIVE_FILE_DIRECTORY
               ? "it is a directory"
               : "it is not a regular file (a pipe, a device or a link)";
    return 0;
}

PHYSFS_File *output_open(const char *path, const OutputTexts *texts)
{
    PHYSFS_File *f = PHYSFS_openWrite(path);
    if (!f)
        output_log_failure(&texts->open_failed, path, fs_error_text());
    else
        fs_set_usual_mode(path);
    return f;
}

PHYSFS_File *output_open_result(const char *path, const OutputTexts *texts)
{
    const char *why = NULL;
    if (!output_may_replace(path, &why)) {
        if (why)
            output_log_failure(&texts->open_failed, path, why);
        return NULL;
    }
    OutputResult *r = (OutputResult *)SDL_calloc(1, sizeof *r);
    if (r) {
        r->path = SDL_strdup(path);
        r->temp = output_temp_name(path);
    }
    if (!r || !r->path || !r->temp) {
        if (r) {
            SDL_free(r->path);
            SDL_free(r->temp);
        }
        SDL_free(r);
        report_out_of_memory();
        return NULL;
    }
    /* The message names the file the user asked for. */
    r->file = PHYSFS_openWrite(r->temp);
    if (r->file)
        fs_set_usual_mode(r->temp);
    else
        output_log_failure(&texts->open_failed, path, fs_error_text());
    if (!r->file) {
        SDL_free(r->path);
        SDL_free(r->temp);
        SDL_free(r);
        return NULL;
    }
    /* Read-only: the handle writes, this descriptor only hints. Without it
     * the file is written all the same. */
    char *native = output_native_path(r->temp, NULL);
    r->hint_fd = native ? native_file_open_read(native) : -1;
    SDL_free(native);
    r->next = output_results;
    output_results = r;
    return r->file;
}

const char *output_name_in_progress(PHYSFS_File *f, const char *path)
{
    OutputResult *r = output_find(f);
    return r ? r->temp : path;
}

/* Starts the writeback of what was written above the last hint, once
 * enough has gathered. Writers seek back to patch bytes already written;
 * those pages wait for the flush at close. */
static void output_hint_writeback(PHYSFS_File *f)
{
    OutputResult *r = output_find(f);
    if (!r || r->hint_fd < 0)
        return;
    PHYSFS_sint64 at = PHYSFS_tell(f);
    if (at > 0 && (uint64_t)at > r->end)
        r->end = (uint64_t)at;
    if (r->end - r->hinted < OUTPUT_WRITEBACK_STEP)
        return;
    native_file_start_writeback(r->hint_fd, r->hinted, r->end - r->hinted);
    r->hinted = r->end;
}

int output_write(PHYSFS_File *f, const char *path, const void *data, size_t length,
                 const OutputTexts *texts)
{
    if (byte_io_write_all(f, data, length)) {
        output_hint_writeback(f);
        return 1;
    }
    output_log_failure(&texts->write_failed, path, byte_io_error());
    return 0;
}

static void output_remove_native(const char *path)
{
    size_t dir_length = 0;
    char *native = output_native_path(path, &dir_length);
    if (native)
        native_file_remove(native, dir_length);
    SDL_free(native);
}

/* PhysicsFS has flushed the file to the disk on close; the rename makes it
 * the file of that name, and syncing the directory keeps the new name
 * across a power loss. The temporary file goes on failure. 1, or 0 with
 * errno telling why. */
static int output_publish(const OutputResult *r)
{
    size_t dir_length = 0;
    char *from = output_native_path(r->temp, &dir_length);
    char *to = output_native_path(r->path, &dir_length);
    int ok = from && to && native_file_rename(from, to, dir_length);
    int saved = errno;
    if (ok) {
        char *slash = SDL_strrchr(to, '/');
        *slash = '\0';
        /* some file systems cannot; the rename stands */
        native_directory_sync(to, dir_length);
    } else if (from) {
        native_file_remove(from, dir_length);
    }
    SDL_free(from);
    SDL_free(to);
    errno = ok ? 0 : (saved ? saved : ENOMEM);
    return ok;
}

/* PHYSFS_close, and a second try: a close that fails keeps the handle open. */
static int output_release(PHYSFS_File *f)
{
    if (PHYSFS_close(f))
        return 1;
    PHYSFS_close(f);
    return 0;
}

int output_close(PHYSFS_File *f, const char *path, const OutputTexts *texts)
{
    OutputResult *r = output_find(f);
    if (!PHYSFS_close(f)) {
        output_log_failure(&texts->close_failed, path, fs_error_text());
        PHYSFS_close(f);
        if (r) {
            output_remove_native(r->temp);
            output_forget(r);
        }
        return 0;
    }
    if (!r)
        return 1;
    int ok = output_publish(r);
    if (!ok)
        output_log_failure(&texts->close_failed, path, strerror(errno));
    output_forget(r);
    return ok;
}

int output_finish(PHYSFS_File *f, int keep)
{
    OutputResult *r = output_find(f);
    int closed = output_release(f);
    if (!r)
        return closed;
    int ok = 0;
    if (closed && keep)
        ok = output_publish(r);
    else
        output_remove_native(r->temp);
    output_forget(r);
    return ok;
}

void output_abandon(PHYSFS_File *f)
{
    output_finish(f, 0);
}

int output_write_file(const char *path, const void *data, size_t length,
                      const OutputTexts *texts)
{
    PHYSFS_File *f = output_open(path, texts);
    if (!f)
        return 0;
    if (!output_write(f, path, data, length, texts)) {
        output_abandon(f);
        return 0;
    }
    return output_close(f, path, texts);
}

char *output_discard_unfinished(void)
{
    char *list = NULL;
    for (OutputResult *r = output_results; r; r = r->next) {
        output_drop_hints(r);
        output_remove_native(r->temp);
        text_list_add(&list, r->path);
    }
    return list;
}

/* One name of the directory output_remove_stale clears. */
static int output_stale_visit(void *list, const TreeWalkEntry *e)
{
    long pid = output_temp_pid(e->name);
    /* A live owner (an icon or download run, which takes no lock) is still
     * writing it. */
    if (pid == 0 || (pid != process_self_id() && process_is_running(pid)))
        return 1;
    size_t dir_length = 0;
    char *native = output_native_path(e->path, &dir_length);
    if (native && native_file_remove(native, dir_length))
        text_list_add((char **)list, e->path);
    SDL_free(native);
    return 1;
}

char *output_remove_stale(const char *dir)
{
    char *list = NULL;
    TreeWalkOptions walk = publish_walk_options(TREE_WALK_ONE_LEVEL);
    tree_walk(dir, &walk, output_stale_visit, &list);
    return list;
}
