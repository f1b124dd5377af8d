/* Operations on native paths, outside the virtual file system. */
#ifndef BRINDLECOT_PLATFORM_NATIVE_H
#define BRINDLECOT_PLATFORM_NATIVE_H

#include <stddef.h>

/* Gives the file at native_path the mode 0755. 1 on success; 0 on failure,
 * with errno telling why. */
int native_make_executable(const char *native_path);

/* Writes the absolute path of an existing file or directory, with every
 * symbolic link and "." or ".." resolved, into out. 1 on success; 0 on
 * failure (errno tells why; ENAMETOOLONG when out is too small). */
int native_absolute_path(const char *native_path, char *out, size_t out_size);

#endif
