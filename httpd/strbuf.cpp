#include "httpd/strbuf.h"

#include <SDL.h>

#include <stdarg.h>

/* The first of c, 2c, 4c, ... (c the capacity, or 64 when 0) that holds
 * needed bytes; 0 when no such size_t exists. */
static size_t strbuf_grown_capacity(size_t capacity, size_t needed)
{
    size_t c = capacity ? capacity : 64;
    while (c < needed) {
        if (c > (size_t)-1 / 2)
            return 0;
        c *= 2;
    }
    return c;
}

int strbuf_appendf(StringBuffer *buffer, const char *fmt, ...)
{
    if (!buffer)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    int measured = SDL_vsnprintf(NULL, 0, fmt, ap);
    va_end(ap);
    if (measured < 0)
        return 0;
    size_t n = (size_t)measured;
    if (n > (size_t)-1 - buffer->length - 1)
        return 0;
    size_t needed = buffer->length + n + 1;
    if (buffer->capacity < needed) {
        size_t capacity = strbuf_grown_capacity(buffer->capacity, needed);
        char *grown = capacity ? (char *)SDL_realloc(buffer->data, capacity) : NULL;
        if (!grown)
            return 0;
        buffer->data = grown;
        buffer->capacity = capacity;
    }
    va_start(ap, fmt);
    int written = SDL_vsnprintf(buffer->data + buffer->length, buffer->capacity - buffer->length,
                                fmt, ap);
    va_end(ap);
    if (written < 0 || (size_t)written != n) {
        buffer->data[buffer->length] = '\0';
        return 0;
    }
    buffer->length += n;
    return 1;
}
