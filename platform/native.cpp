#include "platform/native.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

int native_make_executable(const char *native_path)
{
    return chmod(native_path, 0755) == 0;
}

int native_absolute_path(const char *native_path, char *out, size_t out_size)
{
    char resolved[PATH_MAX];
    if (!realpath(native_path, resolved))
        return 0;
    size_t len = strlen(resolved);
    if (len >= out_size) {
        errno = ENAMETOOLONG;
        return 0;
    }
    memcpy(out, resolved, len + 1);
    return 1;
}
