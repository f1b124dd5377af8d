#include "publish/platforms/built_platform.h"

#include "publish/publish_log.h"

#include <SDL.h>

int built_platform_add(BuiltPlatform *head, const char *platform, const char *path,
                       int is_tree)
{
    if (!head)
        return 1;
    BuiltPlatform *b = (BuiltPlatform *)SDL_calloc(1, sizeof(BuiltPlatform));
    char *platform_copy = SDL_strdup(platform);
    char *path_copy = SDL_strdup(path);
    if (!b || !platform_copy || !path_copy) {
        SDL_free(b);
        SDL_free(platform_copy);
        SDL_free(path_copy);
        report_out_of_memory();
        return 0;
    }
    b->platform = platform_copy;
    b->path = path_copy;
    b->is_tree = is_tree;
    b->next = head->next;
    head->next = b;
    return 1;
}

void built_platform_free_list(BuiltPlatform *head)
{
    BuiltPlatform *b = head->next;
    while (b) {
        BuiltPlatform *next = b->next;
        SDL_free(b->platform);
        SDL_free(b->path);
        SDL_free(b);
        b = next;
    }
    head->next = NULL;
}
