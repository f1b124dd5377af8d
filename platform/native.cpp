#include "platform/native.h"

#include <sys/stat.h>

int native_make_executable(const char *native_path)
{
    return chmod(native_path, 0755) == 0;
}
