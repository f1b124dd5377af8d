/* Operations on native paths, outside the virtual file system. */
#ifndef BRINDLECOT_PLATFORM_NATIVE_H
#define BRINDLECOT_PLATFORM_NATIVE_H

#include <stddef.h>

/* What a written entry is, for the mode it is given. */
typedef enum NativeModeKind {
    NATIVE_MODE_FILE,       /* 0666 under the umask: 0644 with the common 022 */
    NATIVE_MODE_DIRECTORY,  /* 0777 under the umask: 0755 with 022 */
    NATIVE_MODE_EXECUTABLE, /* 0755 under the umask */
} NativeModeKind;

/* The mode an entry of that kind gets: its full mode with the process
 * umask taken off, as the operating system would give a file or directory
 * created with that full mode. The umask is read at a process's first call,
 * so a program that sets its own does so before it writes anything. */
unsigned native_usual_mode(NativeModeKind kind);

/* Gives the entry at native_path native_usual_mode(kind). PhysicsFS creates
 * files 0600 and directories 0700, which keeps a site or a package from a
 * web server or a colleague running as another user: whatever creates an
 * entry through it calls this afterwards. native_path and dir_length are
 * as native_file_create takes them: the entry is resolved beneath the
 * trusted directory, and a link on the way or at the end fails with ELOOP,
 * its target's mode untouched. 1 on success; 0 on failure, with errno
 * telling why. */
int native_set_usual_mode(const char *native_path, size_t dir_length, NativeModeKind kind);

/* Gives the file open as fd native_usual_mode(kind). 1, or 0 with errno. */
int native_set_mode_of(int fd, NativeModeKind kind);

/* 1 when something (even a dangling link) is at native_path. */
int native_exists(const char *native_path);

/* Gives the file at native_path the mode of an executable (0755 under the
 * umask), as native_set_usual_mode does. 1 on success; 0 on failure, with
 * errno telling why. */
int native_make_executable(const char *native_path, size_t dir_length);

/* Writes the absolute path of an existing file or directory, with every
 * symbolic link and "." or ".." resolved, into out. 1 on success; 0 on
 * failure (errno tells why; ENAMETOOLONG when out is too small). */
int native_absolute_path(const char *native_path, char *out, size_t out_size);

#endif
