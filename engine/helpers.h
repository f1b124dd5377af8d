/* String, whole-file and time helpers. None of them logs or sets an error
 * text: they report by their result. Strings and buffers they return are
 * SDL allocations that the caller frees with SDL_free. Paths are PhysicsFS
 * paths (reads from the search path, writes to the write directory). */
#ifndef BRINDLECOT_ENGINE_HELPERS_H
#define BRINDLECOT_ENGINE_HELPERS_H

#include <physfs.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define HELPERS_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define HELPERS_PRINTF(a, b)
#endif

char *alloc_printf(const char *fmt, ...) HELPERS_PRINTF(1, 2);

/* Appends ", item" to the SDL string *list, or makes it item when *list is
 * NULL. 0 when out of memory, *list left as it was. */
int text_list_add(char **list, const char *item);
char *alloc_vprintf(const char *fmt, va_list ap);

/* A copy of text (taken as UTF-8) in which every malformed sequence is "?",
 * as PhysicsFS's conversions read it: what Android's files get from text
 * that was never valid UTF-8. *first_bad (may be NULL) is the offset of the
 * first byte that changed, or the length when none did. NULL when out of
 * memory. */
char *utf8_mend_to_question_marks(const char *text, size_t *first_bad);

/* The whole of a regular file plus a terminating NUL; NULL for anything
 * else (missing, a directory, unknown size, short read). */
char *read_whole_file(const char *path, uint64_t *out_length);

/* Creates the parent directories first, then the file through
 * engine/out_file: made anew (whatever stood at the name removed, never
 * followed), or appended to where it is a regular file of its own. 1 only
 * when every byte was written and the file was closed. */
int write_whole_file(const char *path, const void *data, uint64_t length);
int write_file_ex(int append, const char *path, const void *data, uint64_t length);

int file_exists(const char *path);

/* 1 when path (search path) is there and is neither a regular file, a
 * directory nor a link: a pipe, a socket or a device, whose open can wait
 * for a writer for ever and whose reading need never end. Such a file is
 * refused with FS_SPECIAL_FILE_CAUSE as the cause. */
int fs_is_special_file(const char *path);
#define FS_SPECIAL_FILE_CAUSE "it is not a regular file (a pipe, a socket or a device)"

/* Makes the directory path (write directory) and its missing parents,
 * natively, each beneath the one before without following a link, mode
 * 0777 under the umask; directories that were there keep theirs. 1/0; on
 * failure PhysicsFS's error code is set (PHYSFS_ERR_OS_ERROR, or
 * PHYSFS_ERR_BAD_FILENAME for a path refused) and errno says why, for the
 * caller's message. */
int fs_mkdir(const char *path);

/* The cause, in words, of a PhysicsFS call that just failed, judged from the
 * error code it left (PHYSFS_getLastErrorCode) and errno (set to 0 before
 * the call, saved right after it; 0 when not known). PhysicsFS turns several
 * operating-system failures into one vaguer code (a path too long reads
 * "filename is illegal or insecure", EFBIG "OS reported an error") or none
 * at all; errno then keeps the real one. "unknown error" when neither
 * tells anything. */
const char *fs_error_cause(PHYSFS_ErrorCode code, int saved_errno);

/* fs_error_cause for the calling thread's last error, for messages after a
 * call whose errno was not kept. */
const char *fs_error_text(void);

int64_t time_now_unix(void);
void time_local_parts(int *year, int *month, int *day, int *hour, int *minute,
                      int *second);

#endif
