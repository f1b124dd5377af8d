/* The one way the programs write a file of the installation: the package,
 * its temporary, every file of a build tree, an icon file, a download, the
 * macOS program, the logs. The file is created (or, for a log, kept)
 * through platform/native_file, resolved beneath the installation without
 * following a link, and written only through the descriptor that gave, so
 * nothing put at its name later (a link, a second name of someone else's
 * file) ever sees a byte. PhysicsFS stays the reader.
 *
 * Paths are write-directory paths, as PhysicsFS takes them. Every function
 * that can fail returns 0 (NULL) with errno telling why; nothing here
 * logs, so each writer keeps its own message. */
#ifndef BRINDLECOT_ENGINE_OUT_FILE_H
#define BRINDLECOT_ENGINE_OUT_FILE_H

#include <stddef.h>
#include <stdint.h>

/* What a result's temporary name carries between its name and the pid:
 * ".NAME" OUT_FILE_TEMP_MARK "PID". */
#define OUT_FILE_TEMP_MARK ".brindlecot-tmp-"

typedef enum OutFileHow {
    /* Whatever stands at the name is removed, unfollowed and unopened, and
     * the file is made anew: a file of a build tree. */
    OUT_FILE_NEW,
    /* Made anew under ".NAME.brindlecot-tmp-PID" beside its name, which it
     * takes at out_file_close only when whole, on the disk and still the
     * file written: a package, an icon file, a download. */
    OUT_FILE_RESULT,
    /* A regular file with no other name is emptied and rewritten in place
     * (someone may be following it); anything else there is replaced as
     * for OUT_FILE_NEW: a log. */
    OUT_FILE_REWRITE,
    /* As OUT_FILE_REWRITE, but what the file holds is kept and the writes
     * go after it. */
    OUT_FILE_APPEND,
    /* A regular file with no other name that must be there, kept, written
     * from its start (a few bytes patched); anything else is refused. */
    OUT_FILE_MODIFY
} OutFileHow;

typedef struct OutFile {
    int fd;
    OutFileHow how;
    char *path;        /* write-directory path of the name asked for */
    char *native;      /* native path written now: the temporary for a result */
    char *final;       /* a result's native name; NULL for the others */
    size_t dir_length; /* the trusted part of both native paths */
    uint64_t pos;      /* where the next write goes */
    uint64_t end;      /* end of the furthest byte written */
    uint64_t hinted;   /* a result's writeback started below this offset */
    struct OutFile *next; /* the results still open */
} OutFile;

/* path opened as how says, mode 0666 under the umask for a file made
 * anew. NULL with errno: EINVAL for a path that may not become native
 * (fs_native_write_path), the refusals of platform/native_file (ELOOP for
 * a link on the way, EISDIR...), ENOMEM. */
OutFile *out_file_open(const char *path, OutFileHow how);

/* All of length bytes at the file's position, which moves past them. 1/0.
 * A result's writeback is started each time 8 MiB more have been written,
 * so its flush at close has little left to wait for. */
int out_file_write(OutFile *f, const void *data, size_t length);

/* Moves the position (no system call: every write says where it goes). */
void out_file_seek(OutFile *f, uint64_t offset);
uint64_t out_file_tell(const OutFile *f);

/* Closes f, which is gone either way. A result is flushed to the disk and
 * takes its name only when its temporary name is still the file written
 * right before the rename, and its name is after it (else ESTALE: what
 * stands there is removed, unfollowed, and an earlier file at the name
 * stays wherever it still stands); the directory is synced. 1/0. */
int out_file_close(OutFile *f);

/* Closes f without keeping it: a result's temporary file is removed and its
 * name left alone; any other file stays as far as it was written. */
void out_file_abandon(OutFile *f);

/* Told of each result whose temporary file was removed, by its name. */
typedef void (*OutFileDiscarded)(void *user, const char *path);

/* Removes the temporary files of the results still open, for a run that
 * stops half-way; the files stay open. */
void out_file_discard_unfinished(OutFileDiscarded discarded, void *user);

#endif
