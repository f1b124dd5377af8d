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
 * while it is written, so that flush has little left to wait for.
 *
 * Every file is written through engine/out_file: created anew beneath the
 * installation, no link followed, and written only through the descriptor
 * that made it. A result takes its name only while its temporary name is
 * still the file written. */
#ifndef BRINDLECOT_PUBLISH_OUTPUT_FILE_H
#define BRINDLECOT_PUBLISH_OUTPUT_FILE_H

#include "engine/out_file.h"

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

/* path made anew in the write directory (whatever stood at the name
 * removed, never followed nor opened); NULL after logging open_failed. */
OutFile *output_open(const char *path, const OutputTexts *texts);

/* A result file for path, written under its temporary name; NULL after
 * logging open_failed (a directory at the name is refused before anything
 * is written). output_close or output_finish gives it its name,
 * output_abandon drops it. */
OutFile *output_open_result(const char *path, const OutputTexts *texts);

/* path, a regular file of its own that must be there, opened to patch a
 * few bytes (from its start; out_file_seek moves); NULL after logging
 * open_failed: a link, a file with another name or anything else at the
 * name is refused, never written through. */
OutFile *output_open_existing(const char *path, const OutputTexts *texts);

/* All of data, or 0 after logging write_failed. f stays open. */
int output_write(OutFile *f, const char *path, const void *data, size_t length,
                 const OutputTexts *texts);

/* 1, or 0 after logging close_failed; f is released either way. A result
 * file takes its name here. */
int output_close(OutFile *f, const char *path, const OutputTexts *texts);

/* Closes f without logging: a result file takes its name when keep is set
 * and everything went well, and is removed otherwise. 1 when f was closed
 * (and, for a result file, renamed); 0 otherwise, errno telling why. */
int output_finish(OutFile *f, int keep);

/* Closes a file whose writing already failed and was logged. */
void output_abandon(OutFile *f);

/* output_open, output_write and output_close of one buffer. 1/0. */
int output_write_file(const char *path, const void *data, size_t length,
                      const OutputTexts *texts);

/* Removes path (write directory): a file, a link itself (never followed)
 * or an empty directory; a path that is not there is no failure. 1, or 0
 * with errno telling why (nothing logged). */
int output_remove(const char *path);

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
