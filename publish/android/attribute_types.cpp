#include "publish/android/attribute_types.h"

#include "engine/helpers.h"
#include "publish/publish_log.h"

#include <SDL.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Compares a row's name with the first len bytes of key (key need not end
 * there), in SDL_strcmp's byte order. */
static int attr_types_compare(const char *row_name, const char *key, size_t len)
{
    int c = SDL_strncmp(row_name, key, len);
    if (c != 0)
        return c;
    return row_name[len] == '\0' ? 0 : 1;
}

/* First position in a (name, row)-sorted index whose name is not below
 * the key: the table's first row of that name when there is one. */
template <typename Row>
static size_t attr_types_lower_bound(const Row *rows, const uint16_t *index, size_t count,
                                     const char *key, size_t len)
{
    size_t lo = 0, hi = count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (attr_types_compare(rows[index[mid]].name, key, len) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

const ManifestAttributeFormat *manifest_attribute_find(const char *name)
{
    size_t len = SDL_strlen(name);
    size_t at = attr_types_lower_bound(manifest_attribute_formats, manifest_attribute_name_index,
                                       MANIFEST_ATTRIBUTE_FORMAT_COUNT, name, len);
    if (at == MANIFEST_ATTRIBUTE_FORMAT_COUNT)
        return NULL;
    const ManifestAttributeFormat *row = &manifest_attribute_formats[manifest_attribute_name_index[at]];
    return attr_types_compare(row->name, name, len) == 0 ? row : NULL;
}

/* type_len bytes of type; type NULL matches every type. */
static const AndroidResourceId *attr_types_find_resource(const char *type, size_t type_len,
                                                         const char *name)
{
    size_t len = SDL_strlen(name);
    size_t at = attr_types_lower_bound(android_resource_ids, android_resource_name_index,
                                       ANDROID_RESOURCE_ID_COUNT, name, len);
    for (; at < ANDROID_RESOURCE_ID_COUNT; at++) {
        const AndroidResourceId *row = &android_resource_ids[android_resource_name_index[at]];
        if (attr_types_compare(row->name, name, len) != 0)
            break;
        if (!type || attr_types_compare(row->type, type, type_len) == 0)
            return row;
    }
    return NULL;
}

const AndroidResourceId *android_resource_find(const char *type, const char *name)
{
    return attr_types_find_resource(type, type ? SDL_strlen(type) : 0, name);
}

uint32_t android_attribute_resource_id(const char *namespace_uri, const char *local_name)
{
    if (!namespace_uri || SDL_strcmp(namespace_uri, ANDROID_NAMESPACE_URI) != 0)
        return 0;
    const AndroidResourceId *row = android_resource_find("attr", local_name);
    return row ? row->id : 0;
}

/* "WARNING: Unknown resource name '%s' in XML file" in the "Publish" log at
 * warn level, written out at once. */
static void warn_unknown_resource(const char *name)
{
    publish_log_warn("WARNING: Unknown resource name '%s' in XML file", name);
}

static int attr_types_digit(char c, unsigned base)
{
    unsigned d;
    if (c >= '0' && c <= '9')
        d = (unsigned)(c - '0');
    else if (c >= 'a' && c <= 'f')
        d = (unsigned)(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        d = (unsigned)(c - 'A' + 10);
    else
        return -1;
    return d < base ? (int)d : -1;
}

/* The whole text as an integer: optional sign, "0x" (lower-case only) for
 * base 16, at least one digit. 32 bits on every platform: a minus sign
 * negates modulo 2^32 and a magnitude beyond 32 bits gives 0xFFFFFFFF. */
static int attr_types_parse_integer(const char *s, uint32_t *out, int *hex)
{
    int negative = 0;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    unsigned base = 10;
    if (s[0] == '0' && s[1] == 'x') {
        base = 16;
        s += 2;
    }
    if (*s == '\0')
        return 0;
    uint64_t magnitude = 0;
    int overflow = 0;
    for (; *s; s++) {
        int d = attr_types_digit(*s, base);
        if (d < 0)
            return 0;
        magnitude = magnitude * base + (unsigned)d;
        if (magnitude > 0xFFFFFFFFu) {
            overflow = 1;
            magnitude = 0xFFFFFFFFu;
        }
    }
    uint32_t v = (uint32_t)magnitude;
    *out = overflow ? 0xFFFFFFFFu : negative ? 0u - v : v;
    *hex = base == 16;
    return 1;
}

/* The length of the number at the start of s: an optional "-", digits,
 * optionally "." and digits, at least one digit in all (no "+", exponent,
 * blank or hexadecimal form); 0 when there is none. */
static size_t attr_types_decimal_length(const char *s)
{
    const char *p = s;
    int digits = 0;
    if (*p == '-')
        p++;
    for (; *p >= '0' && *p <= '9'; p++)
        digits++;
    if (*p == '.')
        for (p++; *p >= '0' && *p <= '9'; p++)
            digits++;
    return digits ? (size_t)(p - s) : 0;
}

/* The whole text as such a number. */
static int attr_types_parse_float(const char *s, uint32_t *bits)
{
    size_t len = attr_types_decimal_length(s);
    if (len == 0 || s[len] != '\0')
        return 0;
    /* The grammar above leaves strtof nothing locale-dependent but the
     * decimal point, and the programs never change LC_NUMERIC from "C". */
    float f = strtof(s, NULL);
    SDL_memcpy(bits, &f, sizeof f);
    return 1;
}

typedef struct AttrUnit {
    const char *name;
    uint8_t type;
    uint8_t unit;
    float scale;
} AttrUnit;

static const AttrUnit attr_units[] = {
    {"px", TYPE_DIMENSION, 0, 1.0f},   {"dip", TYPE_DIMENSION, 1, 1.0f},
    {"dp", TYPE_DIMENSION, 1, 1.0f},   {"sp", TYPE_DIMENSION, 2, 1.0f},
    {"pt", TYPE_DIMENSION, 3, 1.0f},   {"in", TYPE_DIMENSION, 4, 1.0f},
    {"mm", TYPE_DIMENSION, 5, 1.0f},   {"%", TYPE_FRACTION, 0, 1.0f / 100},
    {"%p", TYPE_FRACTION, 1, 1.0f / 100},
};

/* Android's complex value of a number in a unit: a 24-bit two's
 * complement mantissa in the top bits, the radix (where its binary point
 * sits) and the unit in the low byte. The radix is chosen, and the value
 * rounded, exactly as the platform's packager does, in single precision,
 * so that both write the same bits. */
static uint32_t attr_types_complex(float f, const AttrUnit *unit)
{
    f *= unit->scale;
    int negative = f < 0;
    if (negative)
        f = -f;
    uint64_t bits = (uint64_t)(f * (1 << 23) + .5f);
    uint32_t radix, shift;
    if ((bits & 0x7fffff) == 0) {
        radix = 0; /* 23p0: a whole number, however small */
        shift = 23;
    } else if ((bits & 0xffffffffff800000ull) == 0) {
        radix = 3; /* 0p23 */
        shift = 0;
    } else if ((bits & 0xffffffff80000000ull) == 0) {
        radix = 2; /* 8p15 */
        shift = 8;
    } else if ((bits & 0xffffff8000000000ull) == 0) {
        radix = 1; /* 16p7 */
        shift = 16;
    } else {
        radix = 0;
        shift = 23;
    }
    uint32_t mantissa = (uint32_t)(bits >> shift) & 0xffffff;
    if (negative)
        mantissa = (0u - mantissa) & 0xffffff;
    return mantissa << 8 | radix << 4 | unit->unit;
}

/* A number and a unit of the attribute's formats, nothing between or
 * after them. */
static int attr_types_parse_complex(uint32_t flags, const char *s, uint8_t *type, uint32_t *data)
{
    size_t len = attr_types_decimal_length(s);
    char number[128];
    if (len == 0 || len >= sizeof number)
        return 0;
    for (size_t i = 0; i < SDL_arraysize(attr_units); i++) {
        const AttrUnit *unit = &attr_units[i];
        uint32_t needed = unit->type == TYPE_DIMENSION ? ATTR_FORMAT_DIMENSION : ATTR_FORMAT_FRACTION;
        if (!(flags & needed) || SDL_strcmp(s + len, unit->name) != 0)
            continue;
        SDL_memcpy(number, s, len);
        number[len] = '\0';
        float f = strtof(number, NULL);
        /* Beyond 2^40 the mantissa has long lost the value (the packager
         * keeps its low bits); refusing keeps the conversion defined. */
        if (!(f > -1e12f && f < 1e12f))
            return 0;
        *type = unit->type;
        *data = attr_types_complex(f, unit);
        return 1;
    }
    return 0;
}

/* "#" and exactly 3, 4, 6 or 8 hexadecimal digits. Short forms double each
 * digit and forms without alpha are opaque, so the data is the 0xAARRGGBB
 * value that a device shows. */
static int attr_types_parse_colour(const char *digits, uint8_t *type, uint32_t *data)
{
    size_t len = SDL_strlen(digits);
    uint32_t v = 0;
    for (size_t i = 0; i < len; i++) {
        int d = attr_types_digit(digits[i], 16);
        if (d < 0)
            return 0;
        v = (v << 4) | (uint32_t)d;
    }
    uint32_t a = 0xFF, r, g, b;
    switch (len) {
    case 3:
    case 4:
        if (len == 4)
            a = ((v >> 12) & 0xF) * 0x11;
        r = ((v >> 8) & 0xF) * 0x11;
        g = ((v >> 4) & 0xF) * 0x11;
        b = (v & 0xF) * 0x11;
        *type = len == 3 ? TYPE_INT_COLOR_RGB4 : TYPE_INT_COLOR_ARGB4;
        *data = a << 24 | r << 16 | g << 8 | b;
        return 1;
    case 6:
        *type = TYPE_INT_COLOR_RGB8;
        *data = 0xFF000000u | v;
        return 1;
    case 8:
        *type = TYPE_INT_COLOR_ARGB8;
        *data = v;
        return 1;
    default:
        return 0;
    }
}

static int attr_types_reference(const char *value, uint8_t *type, uint32_t *data)
{
    static const char android_prefix[] = "@android:";
    const size_t prefix_len = sizeof android_prefix - 1;
    if (SDL_strncmp(value, android_prefix, prefix_len) != 0) {
        uint32_t id = 0;
        if (SDL_strcmp(value, "@string/app_name") == 0)
            id = APP_RESOURCE_ID_STRING_APP_NAME;
        else if (SDL_strcmp(value, "@mipmap/ic_launcher") == 0)
            id = APP_RESOURCE_ID_MIPMAP_IC_LAUNCHER;
        if (!id) {
            warn_unknown_resource(value);
            return 0;
        }
        *type = TYPE_REFERENCE;
        *data = id;
        return 1;
    }
    /* With a type the pair decides: an id and an attr may share a name. */
    const char *rest = value + prefix_len;
    const char *slash = SDL_strchr(rest, '/');
    const char *name = slash ? slash + 1 : rest;
    const AndroidResourceId *row =
        attr_types_find_resource(slash ? rest : NULL, slash ? (size_t)(slash - rest) : 0, name);
    if (!row) {
        warn_unknown_resource(name);
        return 0;
    }
    *type = TYPE_REFERENCE;
    *data = row->id;
    return 1;
}

/* Every "|"-separated part must name a flag exactly (no blanks, no empty
 * part); their values are ORed. */
static int attr_types_flags(const ManifestAttributeValue *values, const char *value, uint32_t *data)
{
    uint32_t bits = 0;
    const char *part = value;
    for (;;) {
        const char *end = SDL_strchr(part, '|');
        size_t len = end ? (size_t)(end - part) : SDL_strlen(part);
        const ManifestAttributeValue *v = values;
        while (v->name && attr_types_compare(v->name, part, len) != 0)
            v++;
        if (!v->name)
            return 0;
        bits |= (uint32_t)v->value;
        if (!end)
            break;
        part = end + 1;
    }
    *data = bits;
    return 1;
}

static int attr_types_words(const ManifestAttributeFormat *row, uint32_t flags, const char *value,
                            uint8_t *type, uint32_t *data)
{
    if (flags & ATTR_FORMAT_BOOLEAN) {
        if (SDL_strcasecmp(value, "true") == 0) {
            *type = TYPE_INT_BOOLEAN;
            *data = 0xFFFFFFFFu;
            return 1;
        }
        if (SDL_strcasecmp(value, "false") == 0) {
            *type = TYPE_INT_BOOLEAN;
            *data = 0;
            return 1;
        }
    }
    if (!row || !row->values)
        return 0;
    if (flags & ATTR_FORMAT_FLAGS) {
        if (!attr_types_flags(row->values, value, data))
            return 0;
        *type = TYPE_INT_HEX;
        return 1;
    }
    if (flags & ATTR_FORMAT_ENUM) {
        for (const ManifestAttributeValue *v = row->values; v->name; v++) {
            if (SDL_strcmp(v->name, value) == 0) {
                *type = TYPE_INT_DEC;
                *data = (uint32_t)v->value;
                return 1;
            }
        }
    }
    return 0;
}

static int attr_types_number(uint32_t flags, const char *value, uint8_t *type, uint32_t *data)
{
    int hex = 0;
    if ((flags & ATTR_FORMAT_INTEGER) && attr_types_parse_integer(value, data, &hex)) {
        *type = hex ? TYPE_INT_HEX : TYPE_INT_DEC;
        return 1;
    }
    if ((flags & ATTR_FORMAT_FLOAT) && attr_types_parse_float(value, data)) {
        *type = TYPE_FLOAT;
        return 1;
    }
    return (flags & (ATTR_FORMAT_DIMENSION | ATTR_FORMAT_FRACTION)) &&
           attr_types_parse_complex(flags, value, type, data);
}

/* 1 when typed. */
static int attr_types_classify(const char *name, const char *value, uint8_t *type, uint32_t *data)
{
    const ManifestAttributeFormat *row = manifest_attribute_find(name);
    uint32_t flags = row ? row->format_flags : ATTR_FORMAT_STRING;
    char first = value[0];
    /* An empty string is a setting of its own where strings are taken (an
     * empty task affinity means none); elsewhere it can only mean empty. */
    if (first == '\0') {
        if (flags & ATTR_FORMAT_STRING)
            return 0;
        *type = TYPE_NULL;
        *data = 1;
        return 1;
    }
    if (first == '#' && (flags & ATTR_FORMAT_COLOR))
        return attr_types_parse_colour(value + 1, type, data);
    if (first == '+' || first == '-' || (first >= '0' && first <= '9'))
        return attr_types_number(flags, value, type, data);
    if (first == '@' && (flags & ATTR_FORMAT_REFERENCE))
        return attr_types_reference(value, type, data);
    return attr_types_words(row, flags, value, type, data);
}

int classify_attribute_value(const char *name, const char *value, uint8_t *type, uint32_t *data)
{
    uint8_t t = TYPE_STRING;
    uint32_t d = 0;
    if (attr_types_classify(name, value, &t, &d)) {
        *type = t;
        *data = d;
        return 0;
    }
    *type = TYPE_STRING;
    *data = 0;
    return 1;
}

void warn_android_attribute(const char *qualified_name, const char *value, uint32_t line,
                            int stays_string)
{
    const char *colon = SDL_strchr(qualified_name, ':');
    const ManifestAttributeFormat *row = manifest_attribute_find(colon ? colon + 1 : qualified_name);
    if (!row) {
        publish_log_warn("WARNING: Attribute '%s' on line %u (value '%s') is not an Android "
                         "attribute of API level 26; it is written as a string",
                         qualified_name, (unsigned)line, value);
    } else if (stays_string && (row->format_flags & (ATTR_FORMAT_ENUM | ATTR_FORMAT_FLAGS)) &&
               !(row->format_flags & ATTR_FORMAT_STRING) && value[0] != '@' && value[0] != '\0') {
        publish_log_warn("WARNING: Value '%s' of attribute '%s' on line %u is not one of the "
                         "%s it takes; it is written as a string",
                         value, qualified_name, (unsigned)line,
                         (row->format_flags & ATTR_FORMAT_FLAGS) ? "flags" : "values");
    }
}
