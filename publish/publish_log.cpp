#include "publish/publish_log.h"

#include "engine/helpers.h"

#include <SDL.h>
#include <physfs.h>

#include <stdio.h>

static void publish_log_v(LogLevel level, const char *fmt, va_list ap)
{
    char *text = alloc_vprintf(fmt, ap);
    if (!text) {
        puts("Out of memory!");
        return;
    }
    publish_log_line(level, text);
    SDL_free(text);
}

void publish_log_line(LogLevel level, const char *text)
{
    log_append("Publish", level, text);
    log_drain();
}

TreeWalkOptions publish_walk_options(unsigned flags)
{
    TreeWalkOptions options = {flags, publish_log_line, report_out_of_memory, NULL};
    return options;
}

void publish_log_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    publish_log_v(LOG_LEVEL_ERROR, fmt, ap);
    va_end(ap);
}

void publish_log_warn(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    publish_log_v(LOG_LEVEL_WARN, fmt, ap);
    va_end(ap);
}

void publish_log_info(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    publish_log_v(LOG_LEVEL_INFO, fmt, ap);
    va_end(ap);
}

void report_out_of_memory(void)
{
    fflush(stdout);
    puts("\n\n\nOut of memory!\n\n\n");
    fflush(stdout);
    log_append("Publish", LOG_LEVEL_ERROR, "Out of memory!");
    log_drain();
}
