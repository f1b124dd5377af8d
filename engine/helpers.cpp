#include "engine/helpers.h"

#include "engine/native_path.h"
#include "engine/out_file.h"

#include "platform/clock.h"
#include "platform/native.h"
#include "platform/native_file.h"

#include <SDL.h>
#include <errno.h>
#include <physfs.h>
#include <string.h>

char *alloc_vprintf(const char *fmt, va_list ap)
{
    va_list measure;
    va_copy(measure, ap);
    int n = SDL_vsnprintf(NULL, 0, fmt, measure);
    va_end(measure);
    if (n < 0)
        return NULL;
    char *buf = (char *)SDL_malloc((size_t)n + 1);
    if (!buf)
        return NULL;
    va_list fill;
    va_copy(fill, ap);
    int again = SDL_vsnprintf(buf, (size_t)n + 1, fmt, fill);
    va_end(fill);
    if (again != n) {
        SDL_free(buf);
        return NULL;
    }
    return buf;
}

char *alloc_printf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *s = alloc_vprintf(fmt, ap);
    va_end(ap);
    return s;
}

int text_list_add(char **list, const char *item)
{
    char *grown = *list ? alloc_printf("%s, %s", *list, item) : SDL_strdup(item);
    if (!grown)
        return 0;
    SDL_free(*list);
    *list = grown;
    return 1;
}

char *read_whole_file(const char *path, uint64_t *out_length)
{
    if (out_length)
        *out_length = 0;
    PHYSFS_Stat st;
    if (!PHYSFS_stat(path, &st))
        return NULL;
    /* Only a regular file of known size can be read in one go; a directory
     * or a size of -1 would otherwise read as an empty "file". */
    if (st.filetype != PHYSFS_FILETYPE_REGULAR || st.filesize < 0)
        return NULL;
    uint64_t size = (uint64_t)st.filesize;
    if (size >= (uint64_t)SIZE_MAX)
        return NULL;
    char *buf = (char *)SDL_malloc((size_t)size + 1);
    if (!buf)
        return NULL;
    PHYSFS_File *f = PHYSFS_openRead(path);
    if (!f) {
        SDL_free(buf);
        return NULL;
    }
    PHYSFS_sint64 got = PHYSFS_readBytes(f, buf, size);
    PHYSFS_close(f);
    if (got < 0 || (uint64_t)got != size) {
        SDL_free(buf);
        return NULL;
    }
    buf[size] = '\0';
    if (out_length)
        *out_length = size;
    return buf;
}

int write_file_ex(int append, const char *path, const void *data, uint64_t length)
{
    char *dir = SDL_strdup(path);
    if (!dir)
        return 0;
    char *slash = SDL_strrchr(dir, '/');
    if (slash) {
        *slash = '\0';
        if (*dir)
            fs_mkdir(dir);
    }
    SDL_free(dir);

    OutFile *f = out_file_open(path, append ? OUT_FILE_APPEND : OUT_FILE_NEW);
    if (!f)
        return 0;
    if (length > SIZE_MAX || !out_file_write(f, data, (size_t)length)) {
        out_file_abandon(f);
        return 0;
    }
    return out_file_close(f);
}

int write_whole_file(const char *path, const void *data, uint64_t length)
{
    return write_file_ex(0, path, data, length);
}

/* For a call that reports as PhysicsFS does: a path that may not become
 * native fails with PhysicsFS's error for a bad name. */
static char *helpers_native_or_refuse(const char *path, size_t *base)
{
    char *native = fs_native_write_path(path, base);
    if (!native) {
        PHYSFS_setErrorCode(errno == EINVAL ? PHYSFS_ERR_BAD_FILENAME
                                            : PHYSFS_ERR_OUT_OF_MEMORY);
        errno = 0;
    }
    return native;
}

int fs_mkdir(const char *path)
{
    size_t base = 0;
    char *native = helpers_native_or_refuse(path, &base);
    if (!native)
        return 0;
    int ok = native_make_directories(native, base);
    int saved = errno; /* the caller's message wants the mkdir's */
    SDL_free(native);
    if (!ok)
        PHYSFS_setErrorCode(PHYSFS_ERR_OS_ERROR);
    errno = ok ? 0 : saved;
    return ok;
}

int file_exists(const char *path)
{
    return PHYSFS_exists(path) ? 1 : 0;
}

int fs_is_special_file(const char *path)
{
    PHYSFS_Stat st;
    return PHYSFS_stat(path, &st) && st.filetype == PHYSFS_FILETYPE_OTHER;
}

int64_t time_now_unix(void)
{
    return clock_unix_now();
}

void time_local_parts(int *year, int *month, int *day, int *hour, int *minute, int *second)
{
    ClockLocalTime t;
    clock_local_now(&t);
    if (year)
        *year = t.year;
    if (month)
        *month = t.month;
    if (day)
        *day = t.day;
    if (hour)
        *hour = t.hour;
    if (minute)
        *minute = t.minute;
    if (second)
        *second = t.second;
}

const char *fs_error_cause(PHYSFS_ErrorCode code, int saved_errno)
{
    switch (code) {
    case PHYSFS_ERR_OK:
    case PHYSFS_ERR_OS_ERROR:
    case PHYSFS_ERR_NO_SPACE:
    case PHYSFS_ERR_PERMISSION:
    case PHYSFS_ERR_IO:
    case PHYSFS_ERR_BAD_FILENAME:
    case PHYSFS_ERR_NOT_FOUND:
    case PHYSFS_ERR_NOT_A_FILE:
    case PHYSFS_ERR_READ_ONLY:
    case PHYSFS_ERR_BUSY:
    case PHYSFS_ERR_DIR_NOT_EMPTY:
    case PHYSFS_ERR_SYMLINK_LOOP:
        if (saved_errno != 0)
            return strerror(saved_errno);
        break;
    default:
        break;
    }
    return code == PHYSFS_ERR_OK ? "unknown error" : PHYSFS_getErrorByCode(code);
}

const char *fs_error_text(void)
{
    return fs_error_cause(PHYSFS_getLastErrorCode(), 0);
}


char *utf8_mend_to_question_marks(const char *text, size_t *first_bad)
{
    size_t len = SDL_strlen(text);
    PHYSFS_uint32 *ucs4 = (PHYSFS_uint32 *)SDL_malloc(4 * len + 4);
    char *mended = (char *)SDL_malloc(len + 1);
    if (!ucs4 || !mended) {
        SDL_free(ucs4);
        SDL_free(mended);
        return NULL;
    }
    /* A malformed sequence is never shorter than its "?", so len + 1
     * bytes hold the result. */
    PHYSFS_utf8ToUcs4(text, ucs4, 4 * len + 4);
    PHYSFS_utf8FromUcs4(ucs4, mended, len + 1);
    SDL_free(ucs4);
    size_t same = 0;
    while (text[same] && text[same] == mended[same])
        same++;
    if (first_bad)
        *first_bad = same;
    return mended;
}
