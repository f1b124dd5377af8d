/* Operations on native paths, outside the virtual file system. */
#ifndef BRINDLECOT_PLATFORM_NATIVE_H
#define BRINDLECOT_PLATFORM_NATIVE_H

/* Gives the file at native_path the mode 0755. 1 on success; 0 on failure,
 * with errno telling why. */
int native_make_executable(const char *native_path);

#endif
