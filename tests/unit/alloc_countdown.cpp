#include "alloc_countdown.h"

#include <SDL.h>

#include <limits.h>
#include <stdint.h>

static SDL_malloc_func real_malloc;
static SDL_calloc_func real_calloc;
static SDL_realloc_func real_realloc;
static SDL_free_func real_free;
static int allocations_left;
static size_t largest_allowed;

static bool allocation_allowed(size_t n) { return n <= largest_allowed && allocations_left-- > 0; }
static void *failing_malloc(size_t n) { return allocation_allowed(n) ? real_malloc(n) : NULL; }
static void *failing_calloc(size_t n, size_t s)
{
    size_t bytes = s != 0 && n > SIZE_MAX / s ? SIZE_MAX : n * s;
    return allocation_allowed(bytes) ? real_calloc(n, s) : NULL;
}
static void *failing_realloc(void *p, size_t n)
{
    return allocation_allowed(n) ? real_realloc(p, n) : NULL;
}
static void passing_free(void *p) { real_free(p); }

static void alloc_failing_start(int allowed, size_t largest)
{
    SDL_GetMemoryFunctions(&real_malloc, &real_calloc, &real_realloc, &real_free);
    allocations_left = allowed;
    largest_allowed = largest;
    SDL_SetMemoryFunctions(failing_malloc, failing_calloc, failing_realloc, passing_free);
}

void alloc_countdown_start(int allowed) { alloc_failing_start(allowed, SIZE_MAX); }

void alloc_size_limit_start(size_t largest) { alloc_failing_start(INT_MAX, largest); }

void alloc_countdown_stop(void)
{
    SDL_SetMemoryFunctions(real_malloc, real_calloc, real_realloc, real_free);
}
