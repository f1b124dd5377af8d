#include "publish/files/output_file.h"

#include "engine/helpers.h"
#include "engine/native_path.h"
#include "engine/tree_walk.h"
#include "platform/native_file.h"
#include "platform/process.h"
#include "publish/publish_log.h"

#include <SDL.h>

#include <errno.h>
#include <string.h>

void output_log_failure(const OutputText *text, const char *path, const char *cause)
{
    publish_log_error("%s'%s'%s: %s", text->before, path, text->after, cause);
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
    case ESTALE:
        return "another file was put in its place while it was written, and the publisher "
               "gives a name only to the file it wrote";
    case EEXIST:
        return "something else keeps being put at its name";
    default:
        return strerror(error);
    }
}

/* The pid in a temporary name of ours, or 0 when name is not one. */
static long output_temp_pid(const char *name)
{
    if (name[0] != '.')
        return 0;
    const char *mark = SDL_strstr(name, OUT_FILE_TEMP_MARK);
    if (!mark || mark == name + 1)
        return 0;
    const char *digits = mark + SDL_strlen(OUT_FILE_TEMP_MARK);
    long pid = 0;
    for (const char *p = digits; *p; p++) {
        if (*p < '0' || *p > '9' || pid > 100000000)
            return 0;
        pid = pid * 10 + (*p - '0');
    }
    return pid;
}

/* path opened as how says, or NULL after one line: the path refused, a
 * directory at a result's name (which would only refuse the rename once
 * the whole file is written), or the open's failure in open_failed's
 * words. */
static OutFile *output_open_as(const char *path, OutFileHow how, const OutputTexts *texts)
{
    char *native = output_native_path(path, NULL);
    if (!native)
        return NULL;
    NativeFileInfo info;
    int directory = how == OUT_FILE_RESULT && native_file_lstat(native, &info) &&
                    info.type == NATIVE_FILE_DIRECTORY;
    SDL_free(native);
    if (directory) {
        output_log_failure(&texts->open_failed, path, "it is a directory");
        return NULL;
    }
    OutFile *f = out_file_open(path, how);
    if (f)
        return f;
    if (errno == ENOMEM)
        report_out_of_memory();
    else
        output_log_failure(&texts->open_failed, path, output_native_cause(errno));
    return NULL;
}

OutFile *output_open(const char *path, const OutputTexts *texts)
{
    return output_open_as(path, OUT_FILE_NEW, texts);
}

OutFile *output_open_result(const char *path, const OutputTexts *texts)
{
    return output_open_as(path, OUT_FILE_RESULT, texts);
}

OutFile *output_open_existing(const char *path, const OutputTexts *texts)
{
    return output_open_as(path, OUT_FILE_MODIFY, texts);
}

int output_write(OutFile *f, const char *path, const void *data, size_t length,
                 const OutputTexts *texts)
{
    if (out_file_write(f, data, length))
        return 1;
    output_log_failure(&texts->write_failed, path, output_native_cause(errno));
    return 0;
}

int output_close(OutFile *f, const char *path, const OutputTexts *texts)
{
    if (out_file_close(f))
        return 1;
    output_log_failure(&texts->close_failed, path, output_native_cause(errno));
    return 0;
}

int output_finish(OutFile *f, int keep)
{
    if (keep)
        return out_file_close(f);
    out_file_abandon(f);
    return 0;
}

void output_abandon(OutFile *f)
{
    out_file_abandon(f);
}

int output_write_file(const char *path, const void *data, size_t length,
                      const OutputTexts *texts)
{
    OutFile *f = output_open(path, texts);
    if (!f)
        return 0;
    if (!output_write(f, path, data, length, texts)) {
        output_abandon(f);
        return 0;
    }
    return output_close(f, path, texts);
}

int output_remove(const char *path)
{
    size_t dir_length = 0;
    char *native = fs_native_write_path(path, &dir_length);
    /* A name that is not there costs no open: most of the names a build
     * clears are not. */
    NativeFileInfo info;
    int absent = native && !native_file_lstat(native, &info) && errno == ENOENT;
    int ok = native && (absent || native_entry_remove(native, dir_length) || errno == ENOENT);
    int saved = errno;
    SDL_free(native);
    errno = ok ? 0 : saved;
    return ok;
}

/* Each removed temporary's final name, in a list. */
static void output_discarded(void *list, const char *path)
{
    text_list_add((char **)list, path);
}

char *output_discard_unfinished(void)
{
    char *list = NULL;
    out_file_discard_unfinished(output_discarded, &list);
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
