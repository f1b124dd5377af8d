#include "publish/files/output_file.h"

#include "engine/helpers.h"
#include "publish/archive/byte_io.h"
#include "publish/publish_log.h"

void output_log_failure(const OutputText *text, const char *path, const char *cause)
{
    publish_log_error("%s'%s'%s: %s", text->before, path, text->after, cause);
}

PHYSFS_File *output_open(const char *path, const OutputTexts *texts)
{
    PHYSFS_File *f = PHYSFS_openWrite(path);
    if (!f)
        output_log_failure(&texts->open_failed, path, fs_error_text());
    else
        fs_set_usual_mode(path);
    return f;
}

int output_write(PHYSFS_File *f, const char *path, const void *data, size_t length,
                 const OutputTexts *texts)
{
    if (byte_io_write_all(f, data, length))
        return 1;
    output_log_failure(&texts->write_failed, path, byte_io_error());
    return 0;
}

int output_close(PHYSFS_File *f, const char *path, const OutputTexts *texts)
{
    if (PHYSFS_close(f))
        return 1;
    output_log_failure(&texts->close_failed, path, fs_error_text());
    /* A close that fails keeps the handle open; a second try may still
     * release it. */
    PHYSFS_close(f);
    return 0;
}

void output_abandon(PHYSFS_File *f)
{
    if (!PHYSFS_close(f))
        PHYSFS_close(f); /* see output_close */
}

int output_write_file(const char *path, const void *data, size_t length,
                      const OutputTexts *texts)
{
    PHYSFS_File *f = output_open(path, texts);
    if (!f)
        return 0;
    if (!output_write(f, path, data, length, texts)) {
        output_abandon(f);
        return 0;
    }
    return output_close(f, path, texts);
}
