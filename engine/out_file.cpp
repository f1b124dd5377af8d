#include "engine/out_file.h"

#include "engine/native_path.h"
#include "platform/native.h"
#include "platform/native_file.h"
#include "platform/process.h"

#include <SDL.h>

#include <errno.h>

/* How much a result takes before its writeback is started: each package is
 * flushed once when it is closed, and that flush waits only for what is
 * still dirty then. */
#define OUT_FILE_WRITEBACK_STEP (8u << 20)

/* The results being written. Few are open at once (a package and the icon
 * that goes into it), so a list is enough. */
static OutFile *out_file_results;

static void out_file_free(OutFile *f)
{
    SDL_free(f->path);
    SDL_free(f->native);
    SDL_free(f->final);
    SDL_free(f);
}

/* "dir/.name.brindlecot-tmp-PID" for the native "dir/name". */
static char *out_file_temp_name(const char *native)
{
    const char *slash = SDL_strrchr(native, '/');
    int dir_len = slash ? (int)(slash - native + 1) : 0;
    char *temp = NULL;
    if (SDL_asprintf(&temp, "%.*s.%s" OUT_FILE_TEMP_MARK "%ld", dir_len, native,
                     native + dir_len, process_self_id()) < 0)
        return NULL;
    return temp;
}

/* f's names, natively; 0 with errno. */
static int out_file_name(OutFile *f, const char *path)
{
    f->path = SDL_strdup(path);
    f->native = fs_native_write_path(path, &f->dir_length);
    if (!f->path || !f->native) {
        if (f->path)
            return 0; /* errno from fs_native_write_path */
        errno = ENOMEM;
        return 0;
    }
    if (f->how != OUT_FILE_RESULT)
        return 1;
    f->final = f->native;
    f->native = out_file_temp_name(f->final);
    if (!f->native)
        errno = ENOMEM;
    return f->native != NULL;
}

static int out_file_descriptor(const OutFile *f)
{
    switch (f->how) {
    case OUT_FILE_NEW:
    case OUT_FILE_RESULT:
        return native_file_create(f->native, f->dir_length);
    case OUT_FILE_REWRITE:
        return native_file_reuse(f->native, f->dir_length, NATIVE_REUSE_EMPTY);
    case OUT_FILE_APPEND:
        return native_file_reuse(f->native, f->dir_length, NATIVE_REUSE_KEEP);
    case OUT_FILE_MODIFY:
        return native_file_reuse(f->native, f->dir_length, NATIVE_REUSE_EXISTING);
    }
    errno = EINVAL;
    return -1;
}

/* A file kept from before is given the mode a new one gets, as a rewrite
 * always gave it; a new one has it already. The end of one appended to is
 * where its writes go. */
static int out_file_settle(OutFile *f)
{
    if (f->how != OUT_FILE_REWRITE && f->how != OUT_FILE_APPEND)
        return 1;
    NativeFileIdentity id;
    if (!native_file_stat_identity(f->fd, &id))
        return 0;
    if (f->how == OUT_FILE_APPEND)
        f->pos = f->end = id.size;
    native_set_mode_of(f->fd, NATIVE_MODE_FILE);
    return 1;
}

OutFile *out_file_open(const char *path, OutFileHow how)
{
    OutFile *f = (OutFile *)SDL_calloc(1, sizeof *f);
    if (!f) {
        errno = ENOMEM;
        return NULL;
    }
    f->how = how;
    f->fd = -1;
    if (out_file_name(f, path))
        f->fd = out_file_descriptor(f);
    if (f->fd >= 0 && !out_file_settle(f)) {
        int saved = errno;
        native_file_close(f->fd);
        f->fd = -1;
        errno = saved;
    }
    if (f->fd < 0) {
        int saved = errno;
        out_file_free(f);
        errno = saved;
        return NULL;
    }
    if (how == OUT_FILE_RESULT) {
        f->next = out_file_results;
        out_file_results = f;
    }
    return f;
}

/* Starts the writeback of what a result has above its last hint, once
 * enough has gathered. Writers seek back to patch bytes already written;
 * those pages wait for the flush at close. */
static void out_file_hint_writeback(OutFile *f)
{
    if (f->how != OUT_FILE_RESULT || f->end - f->hinted < OUT_FILE_WRITEBACK_STEP)
        return;
    native_file_start_writeback(f->fd, f->hinted, f->end - f->hinted);
    f->hinted = f->end;
}

int out_file_write(OutFile *f, const void *data, size_t length)
{
    if (!native_file_write_at(f->fd, data, length, f->pos))
        return 0;
    f->pos += length;
    if (f->pos > f->end)
        f->end = f->pos;
    out_file_hint_writeback(f);
    return 1;
}

void out_file_seek(OutFile *f, uint64_t offset)
{
    f->pos = offset;
}

uint64_t out_file_tell(const OutFile *f)
{
    return f->pos;
}

static void out_file_forget(OutFile *gone)
{
    for (OutFile **link = &out_file_results; *link; link = &(*link)->next) {
        if (*link == gone) {
            *link = gone->next;
            break;
        }
    }
}

/* Releases f; 1, or 0 with errno when the close or the result's steps
 * failed. keep 0 drops a result whatever its state. */
static int out_file_end(OutFile *f, int keep)
{
    int ok = 1, saved = 0;
    if (f->how == OUT_FILE_RESULT) {
        out_file_forget(f);
        ok = keep && native_file_sync(f->fd);
        saved = errno;
        if (ok) {
            /* Named only while its temporary is still the file written. */
            ok = native_file_publish(f->fd, f->native, f->final, f->dir_length);
            saved = errno;
        } else {
            native_file_remove(f->native, f->dir_length);
        }
    }
    if (!native_file_close(f->fd) && ok) {
        saved = errno;
        ok = 0;
    }
    out_file_free(f);
    errno = saved;
    return ok;
}

int out_file_close(OutFile *f)
{
    return out_file_end(f, 1);
}

void out_file_abandon(OutFile *f)
{
    int saved = errno;
    out_file_end(f, 0);
    errno = saved;
}

void out_file_discard_unfinished(OutFileDiscarded discarded, void *user)
{
    for (OutFile *f = out_file_results; f; f = f->next) {
        native_file_remove(f->native, f->dir_length);
        discarded(user, f->path);
    }
}
