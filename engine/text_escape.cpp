#include "engine/text_escape.h"

#include <SDL.h>

#include <stdint.h>

static const char text_escape_hex[] = "0123456789ABCDEF";

static char *text_escape_percent(const char *text, int keep_slash)
{
    char *out = (char *)SDL_malloc(SDL_strlen(text) * 3 + 1);
    if (!out)
        return NULL;
    char *at = out;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        unsigned char c = *p;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || (keep_slash && c == '/')) {
            *at++ = (char)c;
        } else {
            *at++ = '%';
            *at++ = text_escape_hex[c >> 4];
            *at++ = text_escape_hex[c & 15];
        }
    }
    *at = '\0';
    return out;
}

char *url_escape(const char *text)
{
    return text ? text_escape_percent(text, 0) : NULL;
}

char *href_encode(const char *text)
{
    return text_escape_percent(text, 1);
}

/* Replaces each byte that entity_of names; max_entity is the longest
 * replacement, so the output's size is known before the pass. */
static char *text_escape_entities(const char *text, size_t max_entity,
                                  const char *(*entity_of)(char c))
{
    char *out = (char *)SDL_malloc(SDL_strlen(text) * max_entity + 1);
    if (!out)
        return NULL;
    char *o = out;
    for (const char *p = text; *p; p++) {
        const char *entity = entity_of(*p);
        if (entity) {
            size_t n = SDL_strlen(entity);
            SDL_memcpy(o, entity, n);
            o += n;
        } else {
            *o++ = *p;
        }
    }
    *o = '\0';
    return out;
}

static const char *text_escape_html_entity(char c)
{
    switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return NULL;
    }
}

char *html_escape(const char *text)
{
    return text_escape_entities(text, 6, text_escape_html_entity);
}

/* How many bytes of p make one well-formed UTF-8 character (1 for ASCII);
 * for an ill-formed sequence, minus the length of its longest prefix that
 * could still have become one (at least 1), which is replaced as a whole. */
static int text_escape_utf8_length(const unsigned char *p)
{
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    int need;
    unsigned char low = 0x80, high = 0xBF; /* the range of the second byte */
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        if (c == 0xE0)
            low = 0xA0; /* overlong */
        else if (c == 0xED)
            high = 0x9F; /* surrogates */
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0)
            low = 0x90; /* overlong */
        else if (c == 0xF4)
            high = 0x8F; /* past U+10FFFF */
    } else {
        return -1;
    }
    for (int i = 1; i <= need; i++) {
        unsigned char b = p[i]; /* the terminator stops this too */
        if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF))
            return -i;
    }
    return need + 1;
}

int utf8_char_length(const char *p)
{
    int n = text_escape_utf8_length((const unsigned char *)p);
    return n > 0 ? n : 0;
}

int utf8_is_valid(const char *text)
{
    for (const char *p = text; *p;) {
        int length = utf8_char_length(p);
        if (length == 0)
            return 0;
        p += length;
    }
    return 1;
}

/* One XML character of text at p into out (or nothing); returns the bytes
 * of text consumed and adds the bytes written to *o. */
static size_t text_escape_xml_at(const unsigned char *p, int attribute, char *out, size_t *o)
{
    static const char replacement[] = "\xEF\xBF\xBD"; /* U+FFFD */
    int n = text_escape_utf8_length(p);
    const char *put = NULL;
    size_t put_length = 0;
    if (n < 0) {
        put = replacement;
        put_length = 3;
    } else if (n == 3 && p[0] == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) {
        put = replacement; /* U+FFFE and U+FFFF are no XML characters */
        put_length = 3;
    } else if (n == 1) {
        unsigned char c = p[0];
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F)
            return 1; /* dropped */
        put = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;"
            : attribute && c == '"' ? "&quot;" : attribute && c == '\'' ? "&apos;" : NULL;
        if (put)
            put_length = SDL_strlen(put);
    }
    if (!put) {
        put = (const char *)p;
        put_length = (size_t)n;
    }
    SDL_memcpy(out + *o, put, put_length);
    *o += put_length;
    return n < 0 ? (size_t)-n : (size_t)n;
}

/* No byte grows to more than six ("&quot;"). */
static char *text_escape_xml(const char *text, int attribute)
{
    char *out = (char *)SDL_malloc(SDL_strlen(text) * 6 + 1);
    if (!out)
        return NULL;
    size_t o = 0;
    const unsigned char *p = (const unsigned char *)text;
    while (*p)
        p += text_escape_xml_at(p, attribute, out, &o);
    out[o] = '\0';
    return out;
}

char *xml_text_escape(const char *text)
{
    return text_escape_xml(text, 0);
}

char *xml_attribute_escape(const char *text)
{
    return text_escape_xml(text, 1);
}

/* U+FFFD is three bytes and replaces at least one. */
char *utf8_mend(const char *text)
{
    char *out = (char *)SDL_malloc(SDL_strlen(text) * 3 + 1);
    if (!out)
        return NULL;
    size_t o = 0;
    const unsigned char *p = (const unsigned char *)text;
    while (*p) {
        int n = text_escape_utf8_length(p);
        if (n < 0) {
            SDL_memcpy(out + o, "\xEF\xBF\xBD", 3);
            o += 3;
            p += -n;
        } else {
            SDL_memcpy(out + o, p, (size_t)n);
            o += (size_t)n;
            p += n;
        }
    }
    out[o] = '\0';
    return out;
}

/* The JavaScript escape of one byte (or of a whole U+2028/U+2029) into
 * out; returns the bytes of value consumed. */
static size_t text_escape_js_at(const char *value, char *out, size_t *written)
{
    unsigned char c = (unsigned char)*value;
    if (c == 0xE2 && (unsigned char)value[1] == 0x80 &&
        ((unsigned char)value[2] == 0xA8 || (unsigned char)value[2] == 0xA9)) {
        SDL_memcpy(out, (unsigned char)value[2] == 0xA8 ? "\\u2028" : "\\u2029", 6);
        *written = 6;
        return 3;
    }
    const char *simple = c == '\'' ? "\\'" : c == '\\' ? "\\\\" : c == '\n' ? "\\n"
                       : c == '\r' ? "\\r" : c == '\t' ? "\\t" : NULL;
    if (simple) {
        SDL_memcpy(out, simple, 2);
        *written = 2;
    } else if (c < 0x20) {
        SDL_snprintf(out, 5, "\\x%02X", c);
        *written = 4;
    } else {
        *out = (char)c;
        *written = 1;
    }
    return 1;
}

/* No escape is longer than four times the bytes it stands for. */
char *js_string_escape(const char *text)
{
    char *out = (char *)SDL_malloc(SDL_strlen(text) * 4 + 1);
    if (!out)
        return NULL;
    size_t o = 0;
    while (*text) {
        size_t n = 0;
        text += text_escape_js_at(text, out + o, &n);
        o += n;
    }
    out[o] = '\0';
    return out;
}

/* No escape is longer than six times the byte it stands for. */
char *json_string_escape(const char *text)
{
    char *out = (char *)SDL_malloc(SDL_strlen(text) * 6 + 1);
    if (!out)
        return NULL;
    char *o = out;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        const char *simple = *p == '"' ? "\\\"" : *p == '\\' ? "\\\\" : *p == '\n' ? "\\n"
                           : *p == '\r' ? "\\r" : *p == '\t' ? "\\t" : *p == '\b' ? "\\b"
                           : *p == '\f' ? "\\f" : NULL;
        if (simple) {
            SDL_memcpy(o, simple, 2);
            o += 2;
        } else if (*p < 0x20) {
            SDL_snprintf(o, 7, "\\u%04X", *p);
            o += 6;
        } else {
            *o++ = (char)*p;
        }
    }
    *o = '\0';
    return out;
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

int log_text_needs_escape(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; p && *p;) {
        size_t length = (size_t)utf8_char_length((const char *)p);
        if (length == 0 || log_escape_is_control(p, length))
            return 1;
        p += length;
    }
    return 0;
}
