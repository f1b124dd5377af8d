#include "httpd/log_escape.h"

#include <SDL.h>

#include <stdint.h>

/* The length of the valid UTF-8 sequence at p (1 to 4), or 0 when p does
 * not start one: overlong forms, surrogates and code points past U+10FFFF
 * are invalid too. */
static size_t log_escape_utf8_length(const unsigned char *p)
{
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF; /* range of the second byte */
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < length; i++)
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    return length;
}

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
        size_t length = log_escape_utf8_length(p);
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
