#include "engine/fs_alloc.h"

#include <SDL.h>
#include <physfs.h>

/* PhysicsFS hands 64-bit sizes; a size that does not fit size_t cannot be
 * allocated, rather than being silently cut. */
static void *fs_alloc_malloc(PHYSFS_uint64 size)
{
    if (size > (uint64_t)SIZE_MAX)
        return NULL;
    return SDL_malloc((size_t)size);
}

static void *fs_alloc_realloc(void *ptr, PHYSFS_uint64 size)
{
    if (size > (uint64_t)SIZE_MAX)
        return NULL;
    return SDL_realloc(ptr, (size_t)size);
}

static void fs_alloc_free(void *ptr)
{
    SDL_free(ptr);
}

int fs_alloc_install(void)
{
    static const PHYSFS_Allocator allocator = {NULL, NULL, fs_alloc_malloc, fs_alloc_realloc,
                                               fs_alloc_free};
    return PHYSFS_setAllocator(&allocator) ? 1 : 0;
}
