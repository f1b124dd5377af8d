/* Opening, writing and closing the publisher's output files, each failure
 * logged once in the "Publish" subsystem with the file's own message:
 * "<before>'<path>'<after>: <cause>". The words are kept apart from the
 * format so that the one format stays a literal the compiler checks. Writes
 * go through byte_io, so their cause is the real one. */
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

/* Logs text's failure message for path and cause. */
void output_log_failure(const OutputText *text, const char *path, const char *cause);

/* path created or truncated in the write directory; NULL after logging
 * open_failed. */
PHYSFS_File *output_open(const char *path, const OutputTexts *texts);

/* All of data, or 0 after logging write_failed. f stays open. */
int output_write(PHYSFS_File *f, const char *path, const void *data, size_t length,
                 const OutputTexts *texts);

/* 1, or 0 after logging close_failed; the handle is released either way
 * as far as PhysicsFS lets it go. */
int output_close(PHYSFS_File *f, const char *path, const OutputTexts *texts);

/* Closes a file whose writing already failed and was logged. */
void output_abandon(PHYSFS_File *f);

/* output_open, output_write and output_close of one buffer. 1/0. */
int output_write_file(const char *path, const void *data, size_t length,
                      const OutputTexts *texts);

#endif
