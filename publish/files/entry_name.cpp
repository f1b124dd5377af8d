#include "publish/files/entry_name.h"

#include "engine/helpers.h"
#include "engine/text_escape.h"
#include "platform/signals.h"
#include "publish/publish_log.h"

#include <SDL.h>

int entry_name_allowed(const char *dir, const char *name)
{
    signals_checkpoint();
    return entry_name_valid(dir, name);
}

int entry_name_valid(const char *dir, const char *name)
{
    char bad = SDL_strchr(name, ':') ? ':' : SDL_strchr(name, '\\') ? '\\' : 0;
    int utf8 = utf8_is_valid(name);
    if (utf8 && !bad)
        return 1;
    char *path = alloc_printf("%s/%s", dir, name);
    char *shown = path ? log_escape_text(path) : NULL;
    if (!shown)
        report_out_of_memory();
    else if (!utf8)
        publish_log_error("The file name '%s' is not valid UTF-8 (the bytes shown as \\xHH): "
                          "no package can hold it; rename it",
                          shown);
    else
        publish_log_error("The file name '%s' holds '%c', which a file name in a package "
                          "must not; rename it",
                          shown, bad);
    SDL_free(shown);
    SDL_free(path);
    return 0;
}
