/* Opening, writing and closing the publisher's output files, each failure
 * logged once in the "Publish" subsystem with the file's own message. A
 * message format takes the path and then the cause, in that order. Writes
 * go through byte_io, so their cause is the real one. */
#ifndef BRINDLECOT_PUBLISH_OUTPUT_FILE_H
#define BRINDLECOT_PUBLISH_OUTPUT_FILE_H

#include <physfs.h>
#include <stddef.h>

typedef struct OutputTexts {
    const char *open_failed;
    const char *write_failed;
    const char *close_failed;
} OutputTexts;

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
