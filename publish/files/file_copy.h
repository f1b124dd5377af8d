/* Copies of single files and streams through PhysicsFS, and marking a
 * file executable: the small file toolbox every platform build uses.
 * Paths are PhysicsFS paths: reads from the search path, writes to the
 * write directory. Failures are logged once, here, in the "Publish"
 * subsystem; the functions report 1/0. */
#ifndef BRINDLECOT_PUBLISH_FILE_COPY_H
#define BRINDLECOT_PUBLISH_FILE_COPY_H

#include <physfs.h>
#include <stddef.h>

#include "publish/files/output_file.h"

/* Constant memory whatever the file's size. */
#define FILE_COPY_BUFFER_SIZE (4 * 1024 * 1024)

/* The messages of a copy's destination (open, write, close). */
extern const OutputTexts file_copy_texts;

/* Where a copy's bytes go: 1 written, 0 after a logged failure. */
typedef int (*FileCopySink)(void *user, const char *out_name, const void *data, size_t length);

/* The copy loop of every copy: the whole of src_path (search path) into
 * sink, through buffer (capacity bytes); out_name is only used in
 * messages. A pipe, a socket or a device is refused before it is opened.
 * 1 when every byte was read and written. */
int file_copy_into(FileCopySink sink, void *user, const char *out_name, const char *src_path,
                   char *buffer, size_t capacity);

/* Appends the whole file src_path (search path) to out, through one 4 MiB
 * buffer. out stays open and belongs to the caller; out_name is only used in
 * messages. 1 when every byte was read and written. */
int copy_stream(OutFile *out, const char *out_name, const char *src_path);

/* Copies src (search path) to dst (write directory, made anew).
 * On failure dst is deleted. */
int copy_file(const char *dst, const char *src);

/* Gives path (a write-directory path) the mode 0755 in the native file
 * system. 1/0. */
int make_executable(const char *path);

#endif
