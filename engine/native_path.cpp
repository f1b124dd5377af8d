#include "engine/native_path.h"

#include "platform/native_file.h"

#include <SDL.h>
#include <errno.h>
#include <physfs.h>

/* Appends path's components to out (at *length), each after a '/',
 * leading and doubled '/' dropped as PhysicsFS drops them. 0 for a path
 * that must not become native: one without a component, or with a "." or
 * ".." component (the last one included, which PhysicsFS 3.0 lets through)
 * or a ':' or '\\' anywhere. */
static int native_path_append_components(char *out, size_t *length, const char *path)
{
    int components = 0;
    const char *p = path;
    for (;;) {
        while (*p == '/')
            p++;
        if (!*p)
            return components > 0;
        const char *start = p;
        while (*p && *p != '/') {
            if (*p == ':' || *p == '\\')
                return 0;
            p++;
        }
        size_t n = (size_t)(p - start);
        if (!native_component_is_plain(start, n))
            return 0;
        out[(*length)++] = '/';
        SDL_memcpy(out + *length, start, n);
        *length += n;
        out[*length] = '\0';
        components++;
    }
}

char *fs_native_write_path(const char *path, size_t *dir_length)
{
    const char *write_dir = PHYSFS_getWriteDir();
    if (!write_dir)
        write_dir = ".";
    size_t base = SDL_strlen(write_dir);
    while (base > 1 && write_dir[base - 1] == '/')
        base--;
    char *native = (char *)SDL_malloc(base + SDL_strlen(path) + 2);
    if (!native) {
        errno = ENOMEM;
        return NULL;
    }
    SDL_memcpy(native, write_dir, base);
    native[base] = '\0';
    size_t length = base;
    if (!native_path_append_components(native, &length, path)) {
        SDL_free(native);
        errno = EINVAL;
        return NULL;
    }
    if (dir_length)
        *dir_length = base;
    return native;
}
