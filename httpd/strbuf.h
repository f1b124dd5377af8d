/* A growable text buffer for pages built piece by piece. All zero is the
 * empty buffer; data is an SDL allocation (NUL-terminated after every
 * successful append, NULL while nothing was appended) that the owner frees
 * with SDL_free. */
#ifndef BRINDLECOT_HTTPD_STRBUF_H
#define BRINDLECOT_HTTPD_STRBUF_H

#include <stddef.h>

#include "engine/helpers.h"

typedef struct StringBuffer {
    char *data;
    size_t capacity; /* bytes allocated */
    size_t length;   /* bytes used, without the NUL */
} StringBuffer;

/* Appends formatted text; 1/0. On failure the buffer keeps its old text. */
int strbuf_appendf(StringBuffer *buffer, const char *fmt, ...) HELPERS_PRINTF(2, 3);

#endif
