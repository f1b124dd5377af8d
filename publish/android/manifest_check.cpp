#include "publish/android/manifest_check.h"

#include "publish/android/attribute_types.h"
#include "publish/publish_log.h"

#include <SDL.h>

typedef struct ManifestCheck {
    ManifestLocate locate;
    void *user;
    int refused;
} ManifestCheck;

static ManifestPlace check_place(const ManifestCheck *c, const XmlTreeNode *node)
{
    return c->locate(c->user, node);
}

/* Prefixes are names of their own: "xmlns" declares, and is no prefix. */
static int check_prefix_bound(ManifestCheck *c, const XmlTreeNode *node, const char *qname)
{
    XmlPrefix prefix = xml_tree_prefix(node, NULL);
    if (prefix.len == 0 || xml_tree_is_declaration(node) || xml_tree_namespace_uri(node))
        return 1;
    ManifestPlace at = check_place(c, node);
    publish_log_error("In '%s', line %u: the prefix '%.*s' of '%s' is bound to no namespace; "
                      "Android's packager refuses it (declare it with xmlns:%.*s=\"...\")",
                      at.path, at.line, (int)prefix.len, prefix.name, qname, (int)prefix.len,
                      prefix.name);
    c->refused = 1;
    return 0;
}

static int check_same_name(const XmlTreeNode *a, const XmlTreeNode *b)
{
    if (SDL_strcmp(a->name, b->name) == 0)
        return 1;
    const char *uri_a = xml_tree_namespace_uri(a), *uri_b = xml_tree_namespace_uri(b);
    if (!uri_a || !uri_b || xml_tree_is_declaration(a) || xml_tree_is_declaration(b) ||
        SDL_strcmp(uri_a, uri_b) != 0)
        return 0;
    const char *local_a, *local_b;
    xml_tree_prefix(a, &local_a);
    xml_tree_prefix(b, &local_b);
    return SDL_strcmp(local_a, local_b) == 0;
}

/* Two attributes of one element with one name, or with one namespace and
 * local name under two prefixes. The later one in the text is named. */
static void check_duplicates(ManifestCheck *c, const XmlTreeNode *element)
{
    for (const XmlTreeNode *a = element->first_attribute; a; a = a->next_sibling) {
        for (const XmlTreeNode *b = a->next_sibling; b; b = b->next_sibling) {
            if (!check_same_name(a, b))
                continue;
            ManifestPlace at = check_place(c, a);
            publish_log_error("In '%s', line %u: attribute '%s' is given twice in one element, "
                              "which XML forbids; Android's packager refuses it",
                              at.path, at.line, a->name);
            c->refused = 1;
            break;
        }
    }
}

static void check_refuse_value(ManifestCheck *c, const XmlTreeNode *attribute,
                               const AttributeTyping *typing)
{
    ManifestPlace at = check_place(c, attribute);
    char *formats = attribute_formats_text(typing->formats, typing->row);
    const char *v = attribute->text;
    while (attribute_is_blank(*v))
        v++;
    const char *hint = (*v == '@' || *v == '?') ? "; a reference is written "
                                                  "@[package:]type/name or ?[package:][attr/]name"
                                                : "";
    publish_log_error("In '%s', line %u: the value '%s' of attribute '%s' fits none of the "
                      "formats it takes (%s), so Android's packager refuses it%s",
                      at.path, at.line, attribute->text, attribute->name,
                      formats ? formats : "?", hint);
    SDL_free(formats);
    c->refused = 1;
}

/* A version code is read once more on its own, and there no blank may
 * follow the number. */
static int check_version_code(ManifestCheck *c, const XmlTreeNode *attribute, const char *uri,
                              const char *local)
{
    const XmlTreeNode *element = attribute->parent;
    size_t len = SDL_strlen(attribute->text);
    if (!uri || SDL_strcmp(uri, ANDROID_NAMESPACE_URI) != 0 ||
        SDL_strcmp(local, "versionCode") != 0 || !element->parent ||
        element->parent->type != XML_NODE_DOCUMENT || len == 0 ||
        !attribute_is_blank(attribute->text[len - 1]))
        return 1;
    ManifestPlace at = check_place(c, attribute);
    publish_log_error("In '%s', line %u: the value '%s' of attribute '%s' has a blank after the "
                      "number, which Android's packager refuses in the version code",
                      at.path, at.line, attribute->text, attribute->name);
    c->refused = 1;
    return 0;
}

static void check_string(ManifestCheck *c, const XmlTreeNode *attribute)
{
    AttributeEscapes escapes;
    char *text = attribute_string_text(attribute->text, &escapes);
    if (!text) {
        report_out_of_memory();
        c->refused = 1;
        return;
    }
    SDL_free(text);
    ManifestPlace at = check_place(c, attribute);
    if (escapes.nul) {
        publish_log_error("In '%s', line %u: the value '%s' of attribute '%s' holds \\u0000, a "
                          "character no manifest string can hold",
                          at.path, at.line, attribute->text, attribute->name);
        c->refused = 1;
    }
    if (escapes.cut)
        publish_log_warn("WARNING: In '%s', line %u: the value '%s' of attribute '%s' holds \\u "
                         "without a hexadecimal digit; Android's packager drops the text from "
                         "there",
                         at.path, at.line, attribute->text, attribute->name);
    if (escapes.dropped[0])
        publish_log_warn("WARNING: In '%s', line %u: the value '%s' of attribute '%s' holds the "
                         "escape '\\%s', which Android's packager reads as '%s' (a backslash "
                         "itself is written '\\\\')",
                         at.path, at.line, attribute->text, attribute->name, escapes.dropped,
                         escapes.dropped);
}

/* A prefix may not be bound to the empty name (XML 1.0 cannot undeclare). */
static void check_declaration(ManifestCheck *c, const XmlTreeNode *declaration)
{
    if (declaration->text && declaration->text[0] != '\0')
        return;
    ManifestPlace at = check_place(c, declaration);
    publish_log_error("In '%s', line %u: the declaration '%s' binds its prefix to no namespace, "
                      "which XML forbids; Android's packager refuses it",
                      at.path, at.line, declaration->name);
    c->refused = 1;
}

static void check_attribute(ManifestCheck *c, const XmlTreeNode *attribute)
{
    if (xml_tree_is_declaration(attribute)) {
        check_declaration(c, attribute);
        return;
    }
    if (!check_prefix_bound(c, attribute, attribute->name))
        return;
    const char *uri = xml_tree_namespace_uri(attribute);
    const char *local;
    xml_tree_prefix(attribute, &local);
    if (!check_version_code(c, attribute, uri, local))
        return;
    AttributeTyping typing;
    int outcome = type_attribute_value(uri, local, attribute->text, &typing);
    if (outcome == ATTRIBUTE_REFUSED) {
        check_refuse_value(c, attribute, &typing);
        return;
    }
    if (typing.unknown_attribute) {
        ManifestPlace at = check_place(c, attribute);
        publish_log_warn("WARNING: Attribute '%s' on line %u (value '%s') is not an Android "
                         "attribute of API level 26; it is written as a string",
                         attribute->name, at.line, attribute->text);
    }
    if (typing.unknown_resource) {
        if (typing.ref_package)
            publish_log_warn("WARNING: Unknown resource name '%.*s' in XML file",
                             (int)typing.ref_entry_len, typing.ref_entry);
        else
            publish_log_warn("WARNING: Unknown resource name '%s' in XML file", attribute->text);
    }
    if (outcome == ATTRIBUTE_STRING)
        check_string(c, attribute);
}

/* In document order, so the lines read in the order of the text; the list
 * runs newest first. */
static void check_attributes(ManifestCheck *c, const XmlTreeNode *element)
{
    size_t count = 0;
    for (const XmlTreeNode *a = element->first_attribute; a; a = a->next_sibling)
        count++;
    if (count == 0)
        return;
    const XmlTreeNode **list = (const XmlTreeNode **)SDL_malloc(count * sizeof *list);
    if (!list) {
        report_out_of_memory();
        c->refused = 1;
        return;
    }
    size_t i = count;
    for (const XmlTreeNode *a = element->first_attribute; a; a = a->next_sibling)
        list[--i] = a;
    for (i = 0; i < count; i++)
        check_attribute(c, list[i]);
    SDL_free(list);
}

static void check_elements(ManifestCheck *c, const XmlTreeNode *node)
{
    for (; node; node = node->next_sibling) {
        if (node->type != XML_NODE_ELEMENT)
            continue;
        check_prefix_bound(c, node, node->text);
        check_attributes(c, node);
        check_duplicates(c, node);
        check_elements(c, node->first_child);
    }
}

int manifest_check_tree(const XmlTreeNode *document, ManifestLocate locate, void *user)
{
    ManifestCheck c = {locate, user, 0};
    check_elements(&c, document->first_child);
    return !c.refused;
}
