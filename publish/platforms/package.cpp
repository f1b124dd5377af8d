#include "publish/platforms/package.h"

#include <SDL.h>

void package_entry_rule(void *stored_name, const char *name, ZipEntrySpec *spec)
{
    spec->executable = SDL_strstr(name, ".app/Contents/MacOS/") != NULL;
    spec->stored = stored_name && SDL_strcmp(name, (const char *)stored_name) == 0;
}

ZipOptions package_zip_options(int add_directory_entries, const char *stored_name)
{
    ZipOptions options = {add_directory_entries, package_entry_rule, (void *)stored_name};
    return options;
}
