/* Opening, writing and closing the publisher's output files, each failure
 * logged once in the "Publish" subsystem with the file's own message:
 * "<before>'<path>'<after>: <cause>". The words are kept apart from the
 * format so that the one format stays a literal the compiler checks. Writes
 * go through byte_io, so their cause is the real one.
 *
 * A result file (a package, an icon file, a download) is written under a
 * temporary name beside its own, ".NAME.brindlecot-tmp-PID", and takes its
 * name only when it is complete and on the disk: a reader of NAME finds
 * the earlier file or the whole new one, never a part, whatever stops the
 * run. A failed result removes its temporary file and leaves NAME alone.
 * It is flushed to the disk once, when closed; its writeback is started
 * while it is written, so that flush has little left to wait for. */
#ifndef BRINDLECOT_PUBLISH_OUTPUT_FILE_H
#define BRINDLECOT_PUBLISH_OUTPUT_FILE_H

#include <physfs.h>
#include <stddef.h>

/* The words around the quoted path of one failure message. */
typedef struct OutputText {
    const char *before;
    const char *after;
} OutputText;

typedef struct OutputTexts {
    OutputText open_failed;
    OutputText write_failed;
    OutputText close_failed;
} OutputTexts;

/* The native path of path (write directory) for an operation that leaves
 * PhysicsFS (fs_native_write_path, dir_length as there); NULL after
 * logging why not: a path that would leave its directory or that PhysicsFS
 * refuses, or memory that ran out. */
char *output_native_path(const char *path, size_t *dir_length);

/* The cause of a native write that failed with error, in words: the
 * refusals of platform/native_file (a link on the way, a file with another
 * name, something that is no regular file) say what was found. */
const char *output_native_cause(int error);

/* Logs text's failure message for path and cause. */
void output_log_failure(const OutputText *text, const char *path, const char *cause);

/* path created or truncated in the write directory; NULL after logging
 * open_failed. */
PHYSFS_File *output_open(const char *path, const OutputTexts *texts);

/* A result file for path, written under its temporary name. path must be
 * absent or a regular file (a pipe there would block the run); NULL after
 * logging open_failed. output_close or output_finish gives it its name,
 * output_abandon drops it. */
PHYSFS_File *output_open_result(const char *path, const OutputTexts *texts);

/* The name f is written under: the temporary one for a result file, path
 * for any other. For reading back what was written so far. */
const char *output_name_in_progress(PHYSFS_File *f, const char *path);

/* All of data, or 0 after logging write_failed. f stays open. */
int output_write(PHYSFS_File *f, const char *path, const void *data, size_t length,
                 const OutputTexts *texts);

/* 1, or 0 after logging close_failed; the handle is released either way
 * as far as PhysicsFS lets it go. A result file takes its name here. */
int output_close(PHYSFS_File *f, const char *path, const OutputTexts *texts);

/* Closes f without logging: a result file takes its name when keep is set
 * and everything went well, and is removed otherwise. 1 when f was closed
 * (and, for a result file, renamed); 0 otherwise. */
int output_finish(PHYSFS_File *f, int keep);

/* Closes a file whose writing already failed and was logged. */
void output_abandon(PHYSFS_File *f);

/* output_open, output_write and output_close of one buffer. 1/0. */
int output_write_file(const char *path, const void *data, size_t length,
                      const OutputTexts *texts);

/* Removes the temporary files of the result files still open, for a run
 * that stops half-way; the handles stay as they are. The final names of
 * those files, joined by ", " (an SDL allocation), or NULL when there were
 * none. */
char *output_discard_unfinished(void);

/* Removes from the directory dir (write directory) the temporary files of
 * result files that a run which no longer exists left behind (killed, or
 * the power went). Their names joined by ", " (an SDL allocation), or NULL
 * when there were none. */
char *output_remove_stale(const char *dir);

#endif
