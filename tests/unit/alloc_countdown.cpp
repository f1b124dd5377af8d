#include "alloc_countdown.h"

#include <SDL.h>

static SDL_malloc_func real_malloc;
static SDL_calloc_func real_calloc;
static SDL_realloc_func real_realloc;
static SDL_free_func real_free;
static int allocations_left;

static bool allocation_allowed() { return allocations_left-- > 0; }
static void *failing_malloc(size_t n) { return allocation_allowed() ? real_malloc(n) : NULL; }
static void *failing_calloc(size_t n, size_t s)
{
    return allocation_allowed() ? real_calloc(n, s) : NULL;
}
static void *failing_realloc(void *p, size_t n)
{
    return allocation_allowed() ? real_realloc(p, n) : NULL;
}
static void passing_free(void *p) { real_free(p); }

void alloc_countdown_start(int allowed)
{
    SDL_GetMemoryFunctions(&real_malloc, &real_calloc, &real_realloc, &real_free);
    allocations_left = allowed;
    SDL_SetMemoryFunctions(failing_malloc, failing_calloc, failing_realloc, passing_free);
}

void alloc_countdown_stop(void)
{
    SDL_SetMemoryFunctions(real_malloc, real_calloc, real_realloc, real_free);
}
