#include "publish/android/attribute_types.h"

#include "engine/text_escape.h"
#include "publish/android/android_tables.h"

#include <SDL.h>

#include <stdlib.h>

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

int attribute_is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* A piece of the value: the value itself is never changed. */
typedef struct AttrText {
    const char *s;
    size_t len;
} AttrText;

static AttrText attr_types_trim(const char *s, size_t len)
{
    while (len > 0 && attribute_is_blank(*s)) {
        s++;
        len--;
    }
    while (len > 0 && attribute_is_blank(s[len - 1]))
        len--;
    AttrText t = {s, len};
    return t;
}

static int attr_types_is(AttrText t, const char *word)
{
    return attr_types_compare(word, t.s, t.len) == 0;
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

/* Android's integer form: an optional "-", then decimal digits within the
 * signed 32-bit range, or "0x" (lower-case x, no sign) and hexadecimal
 * digits within 32 bits. No "+", nothing before or after. */
static int attr_types_parse_integer(AttrText t, uint32_t *out, int *hex)
{
    size_t i = 0;
    int negative = t.len > 0 && t.s[0] == '-';
    i += negative;
    if (i >= t.len || t.s[i] < '0' || t.s[i] > '9')
        return 0;
    uint64_t v = 0;
    if (t.s[i] == '0' && i + 1 < t.len && t.s[i + 1] == 'x') {
        if (negative || i + 2 == t.len)
            return 0;
        for (i += 2; i < t.len; i++) {
            int d = attr_types_digit(t.s[i], 16);
            if (d < 0)
                return 0;
            v = v * 16 + (unsigned)d;
            if (v > 0xFFFFFFFFu)
                return 0;
        }
        *out = (uint32_t)v;
        *hex = 1;
        return 1;
    }
    for (; i < t.len; i++) {
        if (t.s[i] < '0' || t.s[i] > '9')
            return 0;
        v = v * 10 + (unsigned)(t.s[i] - '0');
        if (v > (negative ? 0x80000000u : 0x7FFFFFFFu))
            return 0;
    }
    *out = negative ? (uint32_t)(0u - (uint32_t)v) : (uint32_t)v;
    *hex = 0;
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

/* Android's float form: what the C library's strtof reads (the packager
 * uses it too, so exponents, "+", hexadecimal floats and an overflow to
 * infinity read alike), starting with a digit, ".", "+" or "-", at most
 * 126 bytes, ASCII only; then nothing, or one unit name. The type says
 * which: a float, a dimension or a fraction. */
static int attr_types_parse_float(AttrText t, uint8_t *type, uint32_t *data)
{
    char buffer[128];
    if (t.len == 0 || t.len > 126)
        return 0;
    for (size_t i = 0; i < t.len; i++)
        if ((unsigned char)t.s[i] >= 0x80 || t.s[i] == '\0')
            return 0;
    char first = t.s[0];
    if ((first < '0' || first > '9') && first != '.' && first != '-' && first != '+')
        return 0;
    SDL_memcpy(buffer, t.s, t.len);
    buffer[t.len] = '\0';
    char *end = NULL;
    /* The programs never change LC_NUMERIC from "C". */
    float f = strtof(buffer, &end);
    if (*end == '\0') {
        *type = TYPE_FLOAT;
        SDL_memcpy(data, &f, sizeof f);
        return 1;
    }
    for (size_t i = 0; i < SDL_arraysize(attr_units); i++) {
        const AttrUnit *unit = &attr_units[i];
        if (SDL_strcmp(end, unit->name) != 0)
            continue;
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
static int attr_types_parse_colour(AttrText t, uint8_t *type, uint32_t *data)
{
    if (t.len < 2 || t.s[0] != '#')
        return 0;
    size_t len = t.len - 1;
    uint32_t v = 0;
    for (size_t i = 0; i < len; i++) {
        int d = attr_types_digit(t.s[1 + i], 16);
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

/* Exactly the three spellings Android's packager takes. */
static int attr_types_parse_boolean(AttrText t, uint32_t *data)
{
    if (attr_types_is(t, "true") || attr_types_is(t, "TRUE") || attr_types_is(t, "True")) {
        *data = 0xFFFFFFFFu;
        return 1;
    }
    if (attr_types_is(t, "false") || attr_types_is(t, "FALSE") || attr_types_is(t, "False")) {
        *data = 0;
        return 1;
    }
    return 0;
}

/* The resource types a reference may name. */
static const char *const attr_resource_types[] = {
    "anim",    "animator", "array",   "attr",         "bool",  "color",   "configVarying",
    "dimen",   "drawable", "font",    "fraction",     "id",    "integer", "interpolator",
    "layout",  "menu",     "mipmap",  "navigation",   "plurals", "raw",   "string",
    "style",   "styleable", "transition", "xml",
};

/* The resource type named by t, from the list above, or NULL. */
static const char *attr_types_resource_type(AttrText t)
{
    for (size_t i = 0; i < SDL_arraysize(attr_resource_types); i++)
        if (attr_types_is(t, attr_resource_types[i]))
            return attr_resource_types[i];
    return NULL;
}

/* A resource name, [package:][type/]entry: the first ':' ends the package
 * and the first '/' the type, wherever they are. 0 when a separator has
 * nothing before it or the entry is empty. */
typedef struct AttrResourceName {
    AttrText package, type, entry;
} AttrResourceName;

static int attr_types_split_name(AttrText t, AttrResourceName *n)
{
    SDL_zerop(n);
    int has_package = 0, has_type = 0;
    size_t start = 0;
    for (size_t i = 0; i < t.len; i++) {
        if (!has_type && t.s[i] == '/') {
            has_type = 1;
            n->type.s = t.s + start;
            n->type.len = i - start;
            start = i + 1;
        } else if (!has_package && t.s[i] == ':') {
            has_package = 1;
            n->package.s = t.s + start;
            n->package.len = i - start;
            start = i + 1;
        }
    }
    n->entry.s = t.s + start;
    n->entry.len = t.len - start;
    return !(has_package && n->package.len == 0) && !(has_type && n->type.len == 0) &&
           n->entry.len > 0;
}

/* The app's own resources, by type and entry. */
static uint32_t attr_types_app_resource(const char *type, AttrText entry)
{
    if (SDL_strcmp(type, "string") == 0 && attr_types_is(entry, "app_name"))
        return APP_RESOURCE_ID_STRING_APP_NAME;
    if (SDL_strcmp(type, "mipmap") == 0 && attr_types_is(entry, "ic_launcher"))
        return APP_RESOURCE_ID_MIPMAP_IC_LAUNCHER;
    return 0;
}

/* Finds the resource, framework or app, that the name stands for: the
 * canonical name and the id in out, or unknown_resource. */
static void attr_types_resolve(const char *type, const AttrResourceName *n, AttributeTyping *out)
{
    out->ref_type = type;
    out->ref_entry = n->entry.s;
    out->ref_entry_len = n->entry.len;
    out->ref_package = NULL;
    if (n->package.len == 0) {
        out->data = attr_types_app_resource(type, n->entry);
    } else if (attr_types_is(n->package, "android")) {
        out->ref_package = "android";
        char entry[256];
        const AndroidResourceId *row = NULL;
        if (n->entry.len < sizeof entry) {
            SDL_memcpy(entry, n->entry.s, n->entry.len);
            entry[n->entry.len] = '\0';
            row = android_resource_find(type, entry);
        }
        out->data = row ? row->id : 0;
    } else {
        out->data = 0;
    }
    out->unknown_resource = out->data == 0;
}

/* "@[+][*][package:]type/entry" or "?[package:][attr/]entry", and "@null"
 * and "@empty". 1 when t reads as one of them (out says what it is). */
static int attr_types_reference(AttrText t, AttributeTyping *out)
{
    if (attr_types_is(t, "@null")) {
        out->type = TYPE_REFERENCE;
        out->data = 0;
        return 1;
    }
    if (attr_types_is(t, "@empty")) {
        out->type = TYPE_NULL;
        out->data = 1;
        return 1;
    }
    if (t.len == 0 || (t.s[0] != '@' && t.s[0] != '?'))
        return 0;
    int theme = t.s[0] == '?';
    size_t at = 1;
    int create = !theme && at < t.len && t.s[at] == '+';
    at += create;
    if (!theme && at < t.len && t.s[at] == '*')
        at++;
    AttrText rest = {t.s + at, t.len - at};
    AttrResourceName n;
    if (!attr_types_split_name(rest, &n))
        return 0;
    const char *type;
    if (theme) {
        if (n.type.len != 0 && !attr_types_is(n.type, "attr"))
            return 0;
        type = "attr";
    } else {
        type = attr_types_resource_type(n.type);
        if (!type || (create && SDL_strcmp(type, "id") != 0))
            return 0;
    }
    out->type = theme ? TYPE_ATTRIBUTE : TYPE_REFERENCE;
    attr_types_resolve(type, &n, out);
    return 1;
}

/* An enum name of the row, whole and case-sensitive. */
static int attr_types_enum(const ManifestAttributeValue *values, AttrText t, uint32_t *data)
{
    for (const ManifestAttributeValue *v = values; v && v->name; v++) {
        if (attr_types_is(t, v->name)) {
            *data = (uint32_t)v->value;
            return 1;
        }
    }
    return 0;
}

/* Flag names joined by "|", blanks around each allowed, their values
 * ORed; no name at all is 0. An empty part names no flag. */
static int attr_types_flags(const ManifestAttributeValue *values, AttrText t, uint32_t *data)
{
    uint32_t bits = 0;
    if (t.len == 0) {
        *data = 0;
        return 1;
    }
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < t.len && t.s[end] != '|')
            end++;
        uint32_t one = 0;
        if (!attr_types_enum(values, attr_types_trim(t.s + start, end - start), &one))
            return 0;
        bits |= one;
        if (end == t.len)
            break;
        start = end + 1;
    }
    *data = bits;
    return 1;
}

/* The format a float, dimension or fraction needs. */
static uint32_t attr_types_number_format(uint8_t type)
{
    return type == TYPE_FLOAT ? ATTR_FORMAT_FLOAT
           : type == TYPE_DIMENSION ? ATTR_FORMAT_DIMENSION
                                    : ATTR_FORMAT_FRACTION;
}

/* The value types but references, in the order the platform's packager
 * tries them; 1 when one of them reads t. */
static int attr_types_plain(uint32_t formats, const ManifestAttributeValue *values, AttrText t,
                            uint8_t *type, uint32_t *data)
{
    int hex = 0;
    if ((formats & ATTR_FORMAT_COLOR) && attr_types_parse_colour(t, type, data))
        return 1;
    *type = TYPE_INT_BOOLEAN;
    if ((formats & ATTR_FORMAT_BOOLEAN) && attr_types_parse_boolean(t, data))
        return 1;
    if ((formats & ATTR_FORMAT_INTEGER) && attr_types_parse_integer(t, data, &hex)) {
        *type = hex ? TYPE_INT_HEX : TYPE_INT_DEC;
        return 1;
    }
    if ((formats & (ATTR_FORMAT_FLOAT | ATTR_FORMAT_DIMENSION | ATTR_FORMAT_FRACTION)) &&
        attr_types_parse_float(t, type, data) && (formats & attr_types_number_format(*type)))
        return 1;
    *type = TYPE_INT_DEC;
    if ((formats & ATTR_FORMAT_ENUM) && attr_types_enum(values, t, data))
        return 1;
    *type = TYPE_INT_HEX;
    return (formats & ATTR_FORMAT_FLAGS) && attr_types_flags(values, t, data);
}

/* A reference first, whatever the formats; 1 when typed. */
static int attr_types_typed(uint32_t formats, const ManifestAttributeValue *values, AttrText t,
                            AttributeTyping *out)
{
    if (attr_types_reference(t, out))
        return !out->unknown_resource;
    uint8_t type = 0;
    uint32_t data = 0;
    if (!attr_types_plain(formats, values, t, &type, &data))
        return 0;
    out->type = type;
    out->data = data;
    return 1;
}

int type_attribute_value(const char *namespace_uri, const char *name, const char *value,
                         AttributeTyping *out)
{
    SDL_zerop(out);
    int android = namespace_uri && SDL_strcmp(namespace_uri, ANDROID_NAMESPACE_URI) == 0;
    out->row = android ? manifest_attribute_find(name) : NULL;
    out->formats = out->row ? out->row->format_flags : android ? ATTR_FORMAT_STRING : ATTR_FORMAT_ANY;
    out->unknown_attribute = android && !out->row;
    AttrText t = attr_types_trim(value, SDL_strlen(value));
    if (!out->unknown_attribute &&
        attr_types_typed(out->formats, out->row ? out->row->values : NULL, t, out))
        return ATTRIBUTE_TYPED;
    out->type = TYPE_STRING;
    out->data = 0;
    if ((out->formats & ATTR_FORMAT_STRING) || out->unknown_resource ||
        ((out->formats & ATTR_FORMAT_COLOR) && t.len > 0 && t.s[0] == '#'))
        return ATTRIBUTE_STRING;
    return ATTRIBUTE_REFUSED;
}

/* ---- string values ---- */

static size_t attr_types_put_utf8(char *out, uint32_t c)
{
    if (c < 0x80) {
        out[0] = (char)c;
        return 1;
    }
    if (c < 0x800) {
        out[0] = (char)(0xC0 | c >> 6);
        out[1] = (char)(0x80 | (c & 0x3F));
        return 2;
    }
    out[0] = (char)(0xE0 | c >> 12);
    out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
    out[2] = (char)(0x80 | (c & 0x3F));
    return 3;
}

/* \u and up to four hexadecimal digits at s (after the "u"), the end of
 * the text allowing fewer: the code point, the digits' count in *used;
 * 0 when a non-digit comes first. */
static int attr_types_unicode_escape(const char *s, uint32_t *code, size_t *used)
{
    uint32_t c = 0;
    size_t i = 0;
    for (; i < 4 && s[i]; i++) {
        int d = attr_types_digit(s[i], 16);
        if (d < 0)
            return 0;
        c = c << 4 | (uint32_t)d;
    }
    if (i == 0)
        return 0;
    *code = c;
    *used = i;
    return 1;
}

char *attribute_string_text(const char *value, AttributeEscapes *report)
{
    AttributeEscapes ignored;
    if (!report)
        report = &ignored;
    SDL_zerop(report);
    /* An escape never writes more bytes than it reads (\uXXXX: six in,
     * at most three out). */
    char *out = (char *)SDL_malloc(SDL_strlen(value) + 1);
    if (!out)
        return NULL;
    size_t n = 0;
    for (const char *p = value; *p; p++) {
        if (*p != '\\') {
            out[n++] = *p;
            continue;
        }
        char c = *++p;
        if (c == '\0')
            break;
        if (c == 'u') {
            uint32_t code = 0;
            size_t used = 0;
            if (!attr_types_unicode_escape(p + 1, &code, &used)) {
                report->cut = 1;
                break;
            }
            p += used;
            report->nul |= code == 0;
            if (code < 0xD800 || code > 0xDFFF)
                n += attr_types_put_utf8(out + n, code);
            continue;
        }
        if (c == 't')
            c = '\t';
        else if (c == 'n')
            c = '\n';
        else if (!SDL_strchr("#@?\"'\\", c) && report->dropped[0] == '\0') {
            int len = utf8_char_length(p);
            SDL_memcpy(report->dropped, p, len > 0 ? (size_t)len : 1);
        }
        out[n++] = c;
    }
    out[n] = '\0';
    return out;
}

/* ---- formats as words ---- */

static const char *const attr_format_names[] = {
    "boolean", "color", "dimension", "enum", "flags", "float", "fraction", "integer",
    "reference", "string",
};

/* Writes the text into out when it is not NULL; returns its length. */
static size_t attr_types_formats_fill(char *out, uint32_t formats, const ManifestAttributeFormat *row)
{
    size_t n = 0;
    for (size_t bit = 0; bit < SDL_arraysize(attr_format_names); bit++) {
        if (!(formats & (1u << bit)))
            continue;
        const char *parts[3] = {n ? " or " : "", attr_format_names[bit], NULL};
        for (int k = 0; k < 2; k++) {
            size_t len = SDL_strlen(parts[k]);
            if (out)
                SDL_memcpy(out + n, parts[k], len);
            n += len;
        }
        if (((1u << bit) & (ATTR_FORMAT_ENUM | ATTR_FORMAT_FLAGS)) && row && row->values) {
            for (const ManifestAttributeValue *v = row->values; v->name; v++) {
                const char *lead = v == row->values ? " (" : ", ";
                size_t lead_len = SDL_strlen(lead), len = SDL_strlen(v->name);
                if (out) {
                    SDL_memcpy(out + n, lead, lead_len);
                    SDL_memcpy(out + n + lead_len, v->name, len);
                }
                n += lead_len + len;
            }
            if (out)
                out[n] = ')';
            n++;
        }
    }
    return n;
}

char *attribute_formats_text(uint32_t formats, const ManifestAttributeFormat *row)
{
    size_t len = attr_types_formats_fill(NULL, formats, row);
    char *text = (char *)SDL_malloc(len + 1);
    if (!text)
        return NULL;
    attr_types_formats_fill(text, formats, row);
    text[len] = '\0';
    return text;
}
