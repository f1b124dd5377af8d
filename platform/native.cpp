#include "platform/native.h"

#include "platform/native_file.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

/* The kernel reports the umask without changing it; umask() can only read
 * it by setting it, and a file another thread creates in that moment would
 * get the wrong mode, so it is the fallback for kernels without the line. */
static mode_t native_read_umask(void)
{
    FILE *f = fopen("/proc/self/status", "r");
    if (f) {
        char line[256];
        unsigned long mask;
        while (fgets(line, sizeof line, f)) {
            if (sscanf(line, "Umask: %lo", &mask) == 1) {
                fclose(f);
                return (mode_t)mask;
            }
        }
        fclose(f);
    }
    mode_t mask = umask(022);
    umask(mask);
    return mask;
}

unsigned native_usual_mode(NativeModeKind kind)
{
    /* Read once per process: reading it costs more than the chmod it
     * serves, and neither program changes its umask; a forked child may
     * have been given another. */
    static std::atomic<pid_t> reader(0);
    static std::atomic<unsigned> cached(0);
    pid_t self = getpid();
    if (reader.load() != self) {
        cached.store((unsigned)native_read_umask());
        reader.store(self);
    }
    mode_t mask = (mode_t)cached.load();
    mode_t full = kind == NATIVE_MODE_DIRECTORY ? 0777 : kind == NATIVE_MODE_EXECUTABLE ? 0755
                                                                                      : 0666;
    return (unsigned)(full & ~mask & 0777);
}

int native_set_mode_of(int fd, NativeModeKind kind)
{
    return fchmod(fd, (mode_t)native_usual_mode(kind)) == 0;
}

int native_set_usual_mode(const char *native_path, size_t dir_length, NativeModeKind kind)
{
    /* chmod by path would follow a link planted there to its target. */
    int fd = native_entry_open(native_path, dir_length);
    if (fd < 0)
        return 0;
    int ok = native_set_mode_of(fd, kind);
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

int native_exists(const char *native_path)
{
    struct stat st;
    return lstat(native_path, &st) == 0;
}

int native_make_executable(const char *native_path, size_t dir_length)
{
    return native_set_usual_mode(native_path, dir_length, NATIVE_MODE_EXECUTABLE);
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
