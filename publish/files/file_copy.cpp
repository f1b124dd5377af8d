#include "publish/files/file_copy.h"

#include <SDL.h>
#include <errno.h>

#include "engine/helpers.h"
#include "platform/native.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"

/* Copies, and the stream appended to an output by copy_stream. */
const OutputTexts file_copy_texts = {
    {"Can't open ", " for writing"},
    {"Write to ", " failed"},
    {"Write to ", " failed"},
};


int file_copy_into(FileCopySink sink, void *user, const char *out_name,
                   const char *src_path, char *buffer, size_t capacity)
{
    if (fs_is_special_file(src_path)) {
        publish_log_error("Can't open '%s' for reading: %s", src_path, FS_SPECIAL_FILE_CAUSE);
        return 0;
    }
    errno = 0;
    PHYSFS_File *in = PHYSFS_openRead(src_path);
    if (!in) {
        int saved_errno = errno;
        publish_log_error("Can't open '%s' for reading: %s", src_path,
                          fs_error_cause(PHYSFS_getLastErrorCode(), saved_errno));
        return 0;
    }
    int result = 0;
    for (;;) {
        errno = 0;
        PHYSFS_sint64 n = PHYSFS_readBytes(in, buffer, capacity);
        if (n < 0) {
            int saved_errno = errno;
            publish_log_error("Read from '%s' failed: %s", src_path,
                              fs_error_cause(PHYSFS_getLastErrorCode(), saved_errno));
            break;
        }
        if (n > 0 && !sink(user, out_name, buffer, (size_t)n)) {
            break;
        }
        if (PHYSFS_eof(in)) {
            result = 1;
            break;
        }
        /* Nothing read yet not at the end: the file shrank or the device
         * failed. Going on would spin for ever on a copy that is short. */
        if (n == 0) {
            publish_log_error("Read from '%s' failed: %s", src_path,
                              "unexpected end of file");
            break;
        }
    }
    PHYSFS_close(in);
    return result;
}

static int file_copy_output_sink(void *out, const char *out_name, const void *data,
                                 size_t length)
{
    return output_write((OutFile *)out, out_name, data, length, &file_copy_texts);
}

int copy_stream(OutFile *out, const char *out_name, const char *src_path)
{
    char *buffer = (char *)SDL_malloc(FILE_COPY_BUFFER_SIZE);
    if (!buffer) {
        report_out_of_memory();
        return 0;
    }
    int result = file_copy_into(file_copy_output_sink, out, out_name, src_path, buffer,
                                FILE_COPY_BUFFER_SIZE);
    SDL_free(buffer);
    return result;
}

int copy_file(const char *dst, const char *src)
{
    publish_log_info("Copying '%s' to '%s'...", src, dst);
    OutFile *out = output_open(dst, &file_copy_texts);
    if (!out) {
        return 0;
    }
    int result = copy_stream(out, dst, src);
    /* A failed close is a truncated copy like any other. */
    if (!result) {
        output_abandon(out);
    } else {
        result = output_close(out, dst, &file_copy_texts);
    }
    if (!result) {
        output_remove(dst);
    }
    return result;
}

int make_executable(const char *path)
{
    publish_log_info("Making '%s' executable...", path);
    size_t dir_length = 0;
    char *native = output_native_path(path, &dir_length);
    if (!native) {
        return 0;
    }
    int result = native_make_executable(native, dir_length);
    if (!result) {
        publish_log_error("Failed to make '%s' executable: %s", path,
                          output_native_cause(errno));
    }
    SDL_free(native);
    return result;
}

