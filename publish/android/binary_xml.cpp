#include "publish/android/binary_xml.h"

#include "publish/android/attribute_types.h"
#include "publish/archive/byte_io.h"
#include "engine/helpers.h"
#include "publish/publish_log.h"

#include <SDL.h>

#include <algorithm>

#define AXML_NO_INDEX 0xFFFFFFFFu
#define AXML_SHORT_UNITS 0x7FFFu /* one length unit; its top bit means two */
#define AXML_LONG_UNITS 0x7FFFFFFFu

enum {
    AXML_RES_STRING_POOL = 0x0001,
    AXML_RES_XML = 0x0003,
    AXML_RES_XML_START_NAMESPACE = 0x0100,
    AXML_RES_XML_END_NAMESPACE = 0x0101,
    AXML_RES_XML_START_ELEMENT = 0x0102,
    AXML_RES_XML_END_ELEMENT = 0x0103,
    AXML_RES_XML_RESOURCE_MAP = 0x0180
};

typedef struct AxmlPoolEntry {
    char *utf8;          /* SDL_strdup copy */
    /* Made when written: the length in units (in one unit, or in two with
     * the first one's top bit set), the units, 0. */
    uint16_t *utf16;
    uint32_t utf16_count; /* units in utf16, all three parts */
    uint32_t resource_id; /* framework attr id, 0 for none */
} AxmlPoolEntry;

/* Writes the node and its following siblings by type: text is skipped,
 * a document, element or attribute list goes to its writer. */
static int axml_write_node(AxmlWriter *writer, XmlTreeNode *node);

/* ---- names ---- */

/* A qualified name cut at its first ':' without touching the tree. */
typedef struct AxmlName {
    const char *prefix; /* NULL when there is no ':' */
    size_t prefix_len;
    const char *local;
} AxmlName;

static AxmlName axml_split(const char *qname)
{
    AxmlName n;
    const char *colon = SDL_strchr(qname, ':');
    n.prefix = colon ? qname : NULL;
    n.prefix_len = colon ? (size_t)(colon - qname) : 0;
    n.local = colon ? colon + 1 : qname;
    return n;
}

static int axml_prefix_is(const AxmlName *n, const char *word, int ignore_case)
{
    size_t len = SDL_strlen(word);
    if (!n->prefix || n->prefix_len != len)
        return 0;
    return ignore_case ? SDL_strncasecmp(n->prefix, word, len) == 0
                       : SDL_strncmp(n->prefix, word, len) == 0;
}

/* The URI the node's prefix is bound to, or NULL. */
static const char *axml_namespace_uri(const XmlTreeNode *node)
{
    return xml_tree_namespace_uri(node);
}

static int axml_is_declaration(const AxmlName *n)
{
    return axml_prefix_is(n, "xmlns", 1);
}

static uint32_t axml_attribute_id(const XmlTreeNode *attribute, const AxmlName *n)
{
    return android_attribute_resource_id(axml_namespace_uri(attribute), n->local);
}

static const char *axml_value(const XmlTreeNode *attribute)
{
    return attribute->text ? attribute->text : "";
}

/* The attribute typed; a string's text (SDL allocation) in *text, NULL
 * for a typed value and on out of memory (reported, *ok 0). */
static void axml_type_attribute(const XmlTreeNode *attribute, const AxmlName *n,
                                AttributeTyping *typing, char **text, int *ok)
{
    int outcome = type_attribute_value(axml_namespace_uri(attribute), n->local,
                                       axml_value(attribute), typing);
    *text = NULL;
    *ok = 1;
    if (outcome == ATTRIBUTE_TYPED)
        return;
    *text = attribute_string_text(axml_value(attribute), NULL);
    if (!*text) {
        report_out_of_memory();
        *ok = 0;
    }
}

/* ---- string pool ---- */

static int64_t axml_pool_find(const AxmlWriter *w, const char *s, size_t len, uint32_t id)
{
    for (uint32_t i = 0; i < w->pool_count; i++) {
        const AxmlPoolEntry *e = &w->pool[i];
        if (e->resource_id == id && SDL_strncmp(e->utf8, s, len) == 0 && e->utf8[len] == '\0')
            return i;
    }
    return -1;
}

/* 0 on out of memory (reported). */
static int axml_pool_add(AxmlWriter *w, const char *s, size_t len, uint32_t id)
{
    if (axml_pool_find(w, s, len, id) >= 0)
        return 1;
    char *copy = (char *)SDL_malloc(len + 1);
    AxmlPoolEntry *grown = copy ? (AxmlPoolEntry *)SDL_realloc(w->pool, (w->pool_count + 1) * sizeof *grown)
                                : NULL;
    if (!grown) {
        SDL_free(copy);
        report_out_of_memory();
        return 0;
    }
    SDL_memcpy(copy, s, len);
    copy[len] = '\0';
    w->pool = grown;
    AxmlPoolEntry entry = {copy, NULL, 0, id};
    if (id) {
        SDL_memmove(w->pool + 1, w->pool, w->pool_count * sizeof *w->pool);
        w->pool[0] = entry;
    } else {
        w->pool[w->pool_count] = entry;
    }
    w->pool_count++;
    return 1;
}

/* Adds a string without resource id unless it is there. NULL: nothing. */
static int axml_add_string(AxmlWriter *writer, const char *string)
{
    return string ? axml_pool_add(writer, string, SDL_strlen(string), 0) : 1;
}

/* Adds an attribute name with its framework resource id (not 0) at the
 * front of the pool unless that pair is there. */
static int axml_add_resource_name(AxmlWriter *writer, const char *string, uint32_t resource_id)
{
    return string ? axml_pool_add(writer, string, SDL_strlen(string), resource_id) : 1;
}

void axml_free_pool(AxmlWriter *writer)
{
    for (uint32_t i = 0; i < writer->pool_count; i++) {
        SDL_free(writer->pool[i].utf8);
        SDL_free(writer->pool[i].utf16);
    }
    SDL_free(writer->pool);
    writer->pool = NULL;
    writer->pool_count = 0;
}

/* ---- collection ---- */

/* 0 on out of memory (reported): a string left out would only surface
 * later, as one the pool lacks. */
static int axml_collect_own(AxmlWriter *w, XmlTreeNode *node)
{
    if (node->type == XML_NODE_ELEMENT && node->text) {
        AxmlName n = axml_split(node->text);
        if (n.prefix && !axml_pool_add(w, n.prefix, n.prefix_len, 0))
            return 0;
        return axml_add_string(w, n.local);
    }
    if (node->type != XML_NODE_ATTRIBUTE || !node->name)
        return 1;
    AxmlName n = axml_split(node->name);
    if (axml_prefix_is(&n, "xmlns", 0)) {
        /* A declaration's prefix and URI are always strings, whatever a
         * manifest attribute of the same name would make of them. */
        return axml_add_string(w, n.local) && axml_add_string(w, node->text);
    }
    if (n.prefix && !axml_pool_add(w, n.prefix, n.prefix_len, 0))
        return 0;
    /* Declared namespaces are in the pool with their declarations; "xml"
     * is bound without one. */
    const char *uri = axml_namespace_uri(node);
    if (uri && SDL_strcmp(uri, XML_NAMESPACE_URI) == 0 && !axml_add_string(w, uri))
        return 0;
    uint32_t id = axml_attribute_id(node, &n);
    if (!(id ? axml_add_resource_name(w, n.local, id) : axml_add_string(w, n.local)))
        return 0;
    AttributeTyping typing;
    char *text;
    int ok;
    axml_type_attribute(node, &n, &typing, &text, &ok);
    ok = ok && axml_add_string(w, text);
    SDL_free(text);
    return ok;
}

/* The pool order is that of a walk that, at each node, handles the
 * attributes, the children and the following siblings before the node's own
 * strings. Done here with a loop over each list, so a long list of
 * siblings costs no stack. */
int axml_collect_strings(AxmlWriter *writer, XmlTreeNode *node)
{
    size_t count = 0;
    for (XmlTreeNode *n = node; n; n = n->next_sibling) {
        if (!axml_collect_strings(writer, n->first_attribute) ||
            !axml_collect_strings(writer, n->first_child))
            return 0;
        count++;
    }
    if (count == 0)
        return 1;
    XmlTreeNode **list = (XmlTreeNode **)SDL_malloc(count * sizeof *list);
    if (!list) {
        report_out_of_memory();
        return 0;
    }
    size_t i = 0;
    for (XmlTreeNode *n = node; n; n = n->next_sibling)
        list[i++] = n;
    int ok = 1;
    while (ok && i > 0)
        ok = axml_collect_own(writer, list[--i]);
    SDL_free(list);
    return ok;
}

/* ---- low-level writes ---- */

static int axml_write_failed(AxmlWriter *w)
{
    publish_log_error("Write in '%s' failed: %s", w->path, byte_io_error());
    return 0;
}

static int axml_u16(AxmlWriter *w, uint16_t v)
{
    return byte_io_write_u16(w->out, v) ? 1 : axml_write_failed(w);
}

static int axml_u32(AxmlWriter *w, uint32_t v)
{
    return byte_io_write_u32(w->out, v) ? 1 : axml_write_failed(w);
}

static int axml_bytes(AxmlWriter *w, const void *data, size_t len)
{
    return byte_io_write_all(w->out, data, len) ? 1 : axml_write_failed(w);
}

static int axml_chunk_header(AxmlWriter *w, uint16_t type, uint16_t header_size, uint32_t size)
{
    return axml_u16(w, type) && axml_u16(w, header_size) && axml_u32(w, size);
}

static int axml_ref(AxmlWriter *w, const char *s, uint32_t id)
{
    if (!s)
        return axml_u32(w, AXML_NO_INDEX);
    int64_t index = axml_pool_find(w, s, SDL_strlen(s), id);
    if (index < 0) {
        publish_log_error("Missing string '%s' from stringpool in Android XML output. Bug?", s);
        return 0;
    }
    return axml_u32(w, (uint32_t)index);
}

/* ---- string pool chunk ---- */

/* The first characters of a string for a message, not cut inside a UTF-8
 * sequence. */
static char *axml_string_start(const char *s)
{
    size_t len = SDL_strlen(s);
    if (len > 40) {
        len = 40;
        while (len > 0 && ((unsigned char)s[len] & 0xC0) == 0x80)
            len--;
    }
    char *start = (char *)SDL_malloc(len + 1);
    if (start) {
        SDL_memcpy(start, s, len);
        start[len] = '\0';
    }
    return start;
}

/* Android's packager writes a string of 32768 units or more with its
 * length in two units, which every reader of the format takes. */
static int axml_make_utf16(AxmlWriter *w, AxmlPoolEntry *e)
{
    size_t bytes = SDL_strlen(e->utf8);
    SDL_free(e->utf16);
    e->utf16 = (uint16_t *)SDL_malloc(2 * bytes + 6);
    if (!e->utf16) {
        report_out_of_memory();
        return 0;
    }
    PHYSFS_utf8ToUtf16(e->utf8, e->utf16 + 2, 2 * bytes + 2);
    size_t units = 0;
    while (e->utf16[2 + units])
        units++;
    if (units > AXML_LONG_UNITS) {
        char *start = axml_string_start(e->utf8);
        publish_log_error("String '%s...' is too long for Android XML output: %lu UTF-16 units, "
                          "at most %lu fit",
                          start ? start : "", (unsigned long)units,
                          (unsigned long)AXML_LONG_UNITS);
        SDL_free(start);
        return 0;
    }
    size_t header = 2;
    if (units <= AXML_SHORT_UNITS) {
        header = 1;
        SDL_memmove(e->utf16 + 1, e->utf16 + 2, 2 * units + 2);
        e->utf16[0] = (uint16_t)units;
    } else {
        e->utf16[0] = (uint16_t)(0x8000u | (units >> 16));
        e->utf16[1] = (uint16_t)(units & 0xFFFFu);
    }
    e->utf16_count = (uint32_t)(header + units + 1);
    uint16_t *shrunk = (uint16_t *)SDL_realloc(e->utf16, 2 * (size_t)e->utf16_count);
    if (shrunk)
        e->utf16 = shrunk;
    (void)w;
    return 1;
}

static int axml_write_string_pool(AxmlWriter *w)
{
    uint32_t strings_bytes = 0;
    for (uint32_t i = 0; i < w->pool_count; i++)
        strings_bytes += 2u * w->pool[i].utf16_count;
    uint32_t strings_start = 28 + 4 * w->pool_count;
    uint32_t padding = (strings_start + strings_bytes) % 4 ? 2 : 0;
    if (!axml_chunk_header(w, AXML_RES_STRING_POOL, 28, strings_start + strings_bytes + padding) ||
        !axml_u32(w, w->pool_count) || !axml_u32(w, 0) || !axml_u32(w, 0) ||
        !axml_u32(w, strings_start) || !axml_u32(w, 0))
        return 0;
    uint32_t offset = 0;
    for (uint32_t i = 0; i < w->pool_count; i++) {
        if (!axml_u32(w, offset))
            return 0;
        offset += 2u * w->pool[i].utf16_count;
    }
    for (uint32_t i = 0; i < w->pool_count; i++) {
        const uint16_t *u = w->pool[i].utf16;
        for (uint32_t k = 0; k < w->pool[i].utf16_count; k++)
            if (!axml_u16(w, u[k]))
                return 0;
    }
    return padding ? axml_u16(w, 0) : 1;
}

static int axml_write_resource_map(AxmlWriter *w)
{
    uint32_t m = 0;
    while (m < w->pool_count && w->pool[m].resource_id)
        m++;
    if (m == 0)
        return 1;
    if (!axml_chunk_header(w, AXML_RES_XML_RESOURCE_MAP, 8, 8 + 4 * m))
        return 0;
    for (uint32_t i = 0; i < m; i++)
        if (!axml_u32(w, w->pool[i].resource_id))
            return 0;
    return 1;
}

/* String pool, resource map, then the document's content. */
static int axml_write_document(AxmlWriter *writer, XmlTreeNode *document)
{
    for (uint32_t i = 0; i < writer->pool_count; i++)
        if (!axml_make_utf16(writer, &writer->pool[i]))
            return 0;
    if (!axml_write_string_pool(writer) || !axml_write_resource_map(writer))
        return 0;
    return axml_write_node(writer, document->first_child);
}

/* ---- attributes ---- */

typedef struct AxmlAttribute {
    XmlTreeNode *node;
    uint32_t id;
    uint32_t order; /* document order among the written attributes */
} AxmlAttribute;

/* Android finds an element's framework attributes by walking the records
 * in ascending resource id; in any other order some are silently missed. */
static bool axml_attribute_before(const AxmlAttribute &a, const AxmlAttribute &b)
{
    if ((a.id == 0) != (b.id == 0))
        return a.id != 0;
    if (a.id != b.id)
        return a.id < b.id;
    return a.order < b.order;
}

/* The attributes to write in their written order; *list NULL when none.
 * 0 on out of memory (reported). */
static int axml_gather_attributes(XmlTreeNode *first, AxmlAttribute **list, size_t *count)
{
    size_t n = 0;
    for (XmlTreeNode *a = first; a; a = a->next_sibling) {
        AxmlName name = axml_split(a->name);
        n += !axml_is_declaration(&name);
    }
    *list = NULL;
    *count = n;
    if (n == 0)
        return 1;
    *list = (AxmlAttribute *)SDL_malloc(n * sizeof **list);
    if (!*list) {
        report_out_of_memory();
        return 0;
    }
    size_t i = n; /* the list runs in reverse document order */
    for (XmlTreeNode *a = first; a; a = a->next_sibling) {
        AxmlName name = axml_split(a->name);
        if (axml_is_declaration(&name))
            continue;
        i--;
        (*list)[i].node = a;
        (*list)[i].id = axml_attribute_id(a, &name);
        (*list)[i].order = (uint32_t)i;
    }
    std::sort(*list, *list + n, axml_attribute_before);
    return 1;
}

static int axml_write_attribute(AxmlWriter *writer, XmlTreeNode *attribute)
{
    AxmlName n = axml_split(attribute->name);
    if (axml_is_declaration(&n))
        return 1;
    AttributeTyping typing;
    char *text;
    int ok;
    axml_type_attribute(attribute, &n, &typing, &text, &ok);
    uint32_t data = typing.data;
    /* A string is its own raw value; a typed value keeps none. */
    ok = ok && axml_ref(writer, axml_namespace_uri(attribute), 0) &&
         axml_ref(writer, n.local, axml_attribute_id(attribute, &n));
    if (ok && text) {
        ok = axml_ref(writer, text, 0);
        data = (uint32_t)axml_pool_find(writer, text, SDL_strlen(text), 0);
    } else if (ok) {
        ok = axml_u32(writer, AXML_NO_INDEX);
    }
    SDL_free(text);
    unsigned char size_and_type[4] = {8, 0, 0, typing.type};
    return ok && axml_bytes(writer, size_and_type, 4) && axml_u32(writer, data);
}

static int axml_write_attribute_list(AxmlWriter *w, const AxmlAttribute *list, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (!axml_write_attribute(w, list[i].node))
            return 0;
    return 1;
}

/* An attribute list, given by its first node: the records in ascending
 * order of their names' resource ids, those without an id following in
 * document order, which is the order Android's readers rely on. Namespace
 * declarations are not written. */
static int axml_write_attributes(AxmlWriter *writer, XmlTreeNode *first_attribute)
{
    AxmlAttribute *list;
    size_t count;
    if (!axml_gather_attributes(first_attribute, &list, &count))
        return 0;
    int ok = axml_write_attribute_list(writer, list, count);
    SDL_free(list);
    return ok;
}

/* ---- elements ---- */

static int axml_write_namespace(AxmlWriter *w, uint16_t type, uint32_t line, const XmlTreeNode *decl)
{
    return axml_chunk_header(w, type, 16, 24) && axml_u32(w, line) && axml_u32(w, AXML_NO_INDEX) &&
           axml_ref(w, decl->name + 6, 0) && axml_ref(w, decl->text, 0);
}

/* The declarations that the element owns are the head of its chain,
 * newest first. Their starts go in document order and their ends in the
 * reverse, so the chunks nest as Android's packager writes them. */
static int axml_write_namespace_starts(AxmlWriter *w, const XmlTreeNode *element,
                                       const XmlTreeNode *decl)
{
    if (!decl || decl->parent != element)
        return 1;
    return axml_write_namespace_starts(w, element, decl->ns_scope) &&
           axml_write_namespace(w, AXML_RES_XML_START_NAMESPACE, decl->line, decl);
}

static int axml_write_namespace_ends(AxmlWriter *w, const XmlTreeNode *element)
{
    for (const XmlTreeNode *x = element->ns_scope; x && x->parent == element; x = x->ns_scope)
        if (!axml_write_namespace(w, AXML_RES_XML_END_NAMESPACE, element->end_line, x))
            return 0;
    return 1;
}

/* 1-based position of the attribute named exactly word, 0 when none. */
static uint16_t axml_special_index(const AxmlAttribute *list, size_t count, const char *word)
{
    for (size_t i = 0; i < count; i++)
        if (SDL_strcmp(list[i].node->name, word) == 0)
            return (uint16_t)(i + 1);
    return 0;
}

static int axml_write_start_element(AxmlWriter *w, XmlTreeNode *e, const AxmlName *n,
                                    const AxmlAttribute *list, size_t count)
{
    if (count > 0xFFFF) {
        publish_log_error("Element '%s' on line %u has %u attributes; Android XML output holds at most 65535",
                          e->text, (unsigned)e->line, (unsigned)count);
        return 0;
    }
    return axml_chunk_header(w, AXML_RES_XML_START_ELEMENT, 16, 36 + 20 * (uint32_t)count) &&
           axml_u32(w, e->line) && axml_u32(w, AXML_NO_INDEX) &&
           axml_ref(w, axml_namespace_uri(e), 0) && axml_ref(w, n->local, 0) &&
           axml_u16(w, 20) && axml_u16(w, 20) && axml_u16(w, (uint16_t)count) &&
           axml_u16(w, axml_special_index(list, count, "id")) &&
           axml_u16(w, axml_special_index(list, count, "class")) &&
           axml_u16(w, axml_special_index(list, count, "style")) &&
           axml_write_attribute_list(w, list, count);
}

/* One element: its namespace starts, its start chunk with the attributes,
 * its children, its end chunk, its namespace ends. */
static int axml_write_element(AxmlWriter *writer, XmlTreeNode *element)
{
    if (!axml_write_namespace_starts(writer, element, element->ns_scope))
        return 0;
    AxmlName n = axml_split(element->text);
    AxmlAttribute *list;
    size_t count;
    if (!axml_gather_attributes(element->first_attribute, &list, &count))
        return 0;
    int ok = axml_write_start_element(writer, element, &n, list, count);
    SDL_free(list);
    if (!ok || !axml_write_node(writer, element->first_child))
        return 0;
    if (!axml_chunk_header(writer, AXML_RES_XML_END_ELEMENT, 16, 24) ||
        !axml_u32(writer, element->end_line) || !axml_u32(writer, AXML_NO_INDEX) ||
        !axml_ref(writer, axml_namespace_uri(element), 0) ||
        !axml_ref(writer, n.local, 0))
        return 0;
    return axml_write_namespace_ends(writer, element);
}

/* ---- dispatch and file ---- */

static int axml_write_node(AxmlWriter *writer, XmlTreeNode *node)
{
    for (; node; node = node->next_sibling) {
        switch (node->type) {
        case XML_NODE_TEXT:
            break;
        case XML_NODE_DOCUMENT:
            if (!axml_write_document(writer, node))
                return 0;
            break;
        case XML_NODE_ELEMENT:
            if (!axml_write_element(writer, node))
                return 0;
            break;
        case XML_NODE_ATTRIBUTE:
            /* An attribute list is written whole, in its own order. */
            return axml_write_attributes(writer, node);
        default:
            publish_log_error("Internal error!");
            return 0;
        }
    }
    return 1;
}

int axml_write_file(AxmlWriter *writer, XmlTreeNode *document)
{
    if (!axml_u16(writer, AXML_RES_XML) || !axml_u16(writer, 8))
        return 0;
    uint64_t size_at = out_file_tell(writer->out);
    if (!axml_u32(writer, 0) || !axml_write_node(writer, document))
        return 0;
    uint64_t end = out_file_tell(writer->out);
    out_file_seek(writer->out, size_at);
    if (!axml_u32(writer, (uint32_t)end))
        return 0;
    out_file_seek(writer->out, end);
    return 1;
}
