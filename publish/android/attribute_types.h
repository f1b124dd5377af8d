/* Typing of Android manifest attribute values, and the look-ups in the two
 * framework tables (API level 26) the typing uses. A value
 * stays a string, becomes a typed value (a data type code and 32 bits of
 * data, as Android stores it) or is refused, as Android's own packager
 * reads it. The manifest check and both manifest writers, binary XML and
 * the app bundle's protobuf, type attributes here, so all three agree.
 *
 * The tables themselves are declared in android_tables.h; look them up
 * through the functions below, which keep the rule that the first row of
 * a repeated name wins. */
#ifndef BRINDLECOT_ATTRIBUTE_TYPES_H
#define BRINDLECOT_ATTRIBUTE_TYPES_H

#include "publish/android/android_tables.h"

#include <stddef.h>
#include <stdint.h>

/* Android's value data types; no other code is ever produced. */
enum {
    TYPE_NULL = 0x00,            /* an empty value, data 1 */
    TYPE_REFERENCE = 0x01,
    TYPE_ATTRIBUTE = 0x02,       /* a theme attribute: ?attr */
    TYPE_STRING = 0x03,          /* data 0 here; writers put the pool index in */
    TYPE_FLOAT = 0x04,           /* IEEE 754 single-precision bits */
    TYPE_DIMENSION = 0x05,       /* complex: mantissa << 8 | radix << 4 | unit */
    TYPE_FRACTION = 0x06,        /* complex, unit 0 % or 1 %p */
    TYPE_INT_DEC = 0x10,
    TYPE_INT_HEX = 0x11,
    TYPE_INT_BOOLEAN = 0x12,     /* 0xFFFFFFFF true, 0 false */
    TYPE_INT_COLOR_ARGB8 = 0x1c, /* colour data is always 0xAARRGGBB; the */
    TYPE_INT_COLOR_RGB8 = 0x1d,  /* type only records the written form */
    TYPE_INT_COLOR_ARGB4 = 0x1e,
    TYPE_INT_COLOR_RGB4 = 0x1f
};

/* The namespace whose attributes carry framework resource ids. */
#define ANDROID_NAMESPACE_URI "http://schemas.android.com/apk/res/android"

/* The generated app's own resources, known by name; resources.arsc and the
 * bundle's resource table give them the same ids. */
#define APP_RESOURCE_ID_MIPMAP_IC_LAUNCHER 0x7F020000u
#define APP_RESOURCE_ID_STRING_APP_NAME 0x7F040000u

/* What a value reads as, the way Android's own packager reads it. */
enum {
    ATTRIBUTE_TYPED,   /* a typed value: type and data */
    ATTRIBUTE_STRING,  /* a string: attribute_string_text gives its text */
    ATTRIBUTE_REFUSED  /* fits none of the attribute's formats, and they take no string */
};

typedef struct AttributeTyping {
    uint8_t type;  /* TYPE_STRING unless typed */
    uint32_t data;
    /* A reference's resource, as package:type/entry (package NULL: the
     * app's own); type NULL for @null, which names nothing. */
    const char *ref_package;
    const char *ref_type;
    const char *ref_entry;
    size_t ref_entry_len;
    /* What the build warns about, once per attribute: */
    int unknown_resource; /* a reference to no resource the build knows: a string */
    int unknown_attribute; /* an Android name API 26 does not define: a string */
    const ManifestAttributeFormat *row; /* the definition; NULL for none */
    uint32_t formats; /* the formats the attribute takes */
} AttributeTyping;

/* Types one attribute value. namespace_uri is the URI its prefix is bound
 * to (NULL for none), name its local name, value its text as written.
 * An attribute of the Android namespace takes its formats and its enum or
 * flag names from its definition; one that API 26 does not define stays a
 * string. Any other attribute has no definition and takes every value type
 * but enums and flags. The blanks around a value are no part of a typed
 * one; a string keeps them. A value starting with '@' or '?' that reads as
 * a reference is one whatever the formats; one to a resource the build does
 * not know stays a string, and a colour that does not parse stays one too.
 * Keeps no state and never logs. */
int type_attribute_value(const char *namespace_uri, const char *name, const char *value,
                         AttributeTyping *out);

/* A string value's text as Android's packager writes it: \n, \t, \uXXXX
 * (up to four hexadecimal digits) and \', \", \@, \?, \#, \\ give
 * their characters; before any other character the backslash is dropped.
 * A \u without a hexadecimal digit ends the text there, and a surrogate
 * code point gives nothing. */
typedef struct AttributeEscapes {
    char dropped[5]; /* the first character whose backslash is dropped (UTF-8), or "" */
    int cut;       /* a \u without digits ended the text */
    int nul;       /* the text holds \u0000, which no manifest string can */
} AttributeEscapes;

/* The text (SDL allocation, the caller frees it), or NULL when memory ran
 * out. report may be NULL. */
char *attribute_string_text(const char *value, AttributeEscapes *report);

/* The formats of an attribute as words, "integer", "boolean",
 * "enum (a, b)", joined by " or ": an SDL allocation, NULL on out of
 * memory. */
char *attribute_formats_text(uint32_t formats, const ManifestAttributeFormat *row);

/* The blanks Android's packager trims around a typed value: space, tab,
 * line feed, vertical tab, form feed and carriage return. Whoever looks
 * past the blanks of a value for the manifest asks here, so that no two
 * rules of what a blank is meet in one build. */
int attribute_is_blank(char c);

/* The first row of the attribute name, or NULL. */
const ManifestAttributeFormat *manifest_attribute_find(const char *name);

/* The row of (type, name), or with type NULL the first row of the name
 * whatever its type; NULL when there is none. */
const AndroidResourceId *android_resource_find(const char *type, const char *name);

/* The framework resource id that an attribute's local name stands for: the
 * attr of that name when the attribute's namespace URI is the Android one,
 * else 0 (other namespaces, no namespace, or no such attr). Both manifest
 * writers give ids by this rule alone. */
uint32_t android_attribute_resource_id(const char *namespace_uri, const char *local_name);

#endif
