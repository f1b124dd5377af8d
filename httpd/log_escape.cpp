#include "httpd/log_escape.h"

#include "engine/text_escape.h"

#include <SDL.h>

#include <stdint.h>

/* C1 controls are valid UTF-8 (C2 80 to C2 9F), yet some terminals obey
 * them as they do ESC sequences. */
static int log_escape_is_control(const unsigned char *p, size_t length)
{
    if (length == 1)
        return p[0] < 0x20 || p[0] == 0x7F;
    return length == 2 && p[0] == 0xC2 && p[1] <= 0x9F;
}

char *log_escape_text(const char *text)
{
    if (!text)
        return NULL;
    static const char hex[] = "0123456789abcdef";
    size_t in_length = SDL_strlen(text);
    if (in_length > (SIZE_MAX - 1) / 4)
        return NULL;
    char *out = (char *)SDL_malloc(in_length * 4 + 1);
    if (!out)
        return NULL;
    char *at = out;
    const unsigned char *p = (const unsigned char *)text;
    while (*p) {
        /* A NUL ends the text, so a sequence cut short by it is invalid
         * before the check reads past the end. */
        size_t length = (size_t)utf8_char_length((const char *)p);
        if (length == 0 || log_escape_is_control(p, length)) {
            size_t count = length ? length : 1;
            for (size_t i = 0; i < count; i++) {
                *at++ = '\\';
                *at++ = 'x';
                *at++ = hex[p[i] >> 4];
                *at++ = hex[p[i] & 15];
            }
            p += count;
            continue;
        }
        SDL_memcpy(at, p, length);
        at += length;
        p += length;
    }
    *at = 0;
    return out;
}
