#include "publish/android/xml_tree.h"

#include "engine/xml_reader.h"
#include "publish/publish_log.h"

#include <SDL.h>

/* The reader's user field is the current node: the document outside the
 * root element, else the innermost open element. */
static XmlTreeNode *xml_tree_current(XmlReader *reader)
{
    return (XmlTreeNode *)reader->user;
}

static char *xml_tree_copy(const char *bytes, int32_t length)
{
    char *copy = (char *)SDL_malloc((size_t)length + 1);
    if (copy == NULL)
        return NULL;
    SDL_memcpy(copy, bytes, (size_t)length);
    copy[length] = '\0';
    return copy;
}

static void xml_tree_free_node(XmlTreeNode *node)
{
    SDL_free(node->text);
    SDL_free(node->name);
    SDL_free(node);
}

static XmlTreeNode *xml_tree_new_node(XmlReader *reader, XmlNodeType type)
{
    XmlTreeNode *node = (XmlTreeNode *)SDL_calloc(1, sizeof *node);
    if (node == NULL) {
        report_out_of_memory();
        return NULL;
    }
    node->parent = xml_tree_current(reader);
    node->type = type;
    node->line = reader->line;
    node->column = reader->column;
    node->offset = reader->offset;
    if (reader->text != NULL) {
        node->text = xml_tree_copy(reader->text, reader->text_len);
        node->text_len = (uint32_t)reader->text_len;
    }
    if (reader->name != NULL) {
        node->name = xml_tree_copy(reader->name, reader->name_len);
        node->name_len = (uint32_t)reader->name_len;
    }
    if ((reader->text != NULL && node->text == NULL) ||
        (reader->name != NULL && node->name == NULL)) {
        xml_tree_free_node(node);
        report_out_of_memory();
        return NULL;
    }
    return node;
}

static void xml_tree_append_child(XmlTreeNode *parent, XmlTreeNode *child)
{
    if (parent->last_child != NULL)
        parent->last_child->next_sibling = child;
    else
        parent->first_child = child;
    parent->last_child = child;
}

static int xml_tree_on_begin(XmlReader *reader)
{
    XmlTreeNode *document = xml_tree_new_node(reader, XML_NODE_DOCUMENT);
    reader->user = document;
    return document != NULL;
}

static void xml_tree_on_end(XmlReader *reader)
{
    (void)reader;
}

static int xml_tree_on_element_start(XmlReader *reader)
{
    XmlTreeNode *element = xml_tree_new_node(reader, XML_NODE_ELEMENT);
    if (element == NULL)
        return 0;
    XmlTreeNode *parent = xml_tree_current(reader);
    xml_tree_append_child(parent, element);
    element->ns_scope = parent->ns_scope;
    reader->user = element;
    return 1;
}

static int xml_tree_on_text(XmlReader *reader)
{
    XmlTreeNode *text = xml_tree_new_node(reader, XML_NODE_TEXT);
    if (text == NULL)
        return 0;
    xml_tree_append_child(xml_tree_current(reader), text);
    return 1;
}

static int xml_tree_on_attribute(XmlReader *reader)
{
    XmlTreeNode *attribute = xml_tree_new_node(reader, XML_NODE_ATTRIBUTE);
    if (attribute == NULL)
        return 0;
    XmlTreeNode *element = xml_tree_current(reader);
    attribute->next_sibling = element->first_attribute;
    element->first_attribute = attribute;
    /* Taken before the attribute may join the chain: a declaration does not
     * see itself, and an ordinary attribute sees only the declarations that
     * came before it in its start tag. */
    attribute->ns_scope = element->ns_scope;
    if (attribute->name != NULL && SDL_strncmp(attribute->name, "xmlns:", 6) == 0)
        element->ns_scope = attribute;
    return 1;
}

static int xml_tree_on_element_end(XmlReader *reader)
{
    XmlTreeNode *element = xml_tree_current(reader);
    element->end_line = reader->line;
    reader->user = element->parent;
    return 1;
}

static int xml_tree_on_processing_instruction(XmlReader *reader)
{
    publish_log_error("XML Processing Instructions are currently unsupported (line %d)",
                      (int)reader->line);
    return 0;
}

XmlTreeNode *parse_xml_tree(const char *text)
{
    uint32_t failed_at = 0;
    return parse_xml_tree_at(text, &failed_at);
}

XmlTreeNode *parse_xml_tree_at(const char *text, uint32_t *failed_at)
{
    XmlReader reader;
    SDL_zero(reader);
    reader.on_begin = xml_tree_on_begin;
    reader.on_end = xml_tree_on_end;
    reader.on_element_start = xml_tree_on_element_start;
    reader.on_text = xml_tree_on_text;
    reader.on_attribute = xml_tree_on_attribute;
    reader.on_element_end = xml_tree_on_element_end;
    reader.on_processing_instruction = xml_tree_on_processing_instruction;
    reader.user = NULL;

    if (xml_parse(text, SDL_strlen(text), &reader))
        return xml_tree_current(&reader);

    *failed_at = reader.offset;
    publish_log_error("XML failed to parse! XML text:");
    publish_log_error("%s", text);
    publish_log_error("XML parse problem: %s on line #%d, column #%d", reader.error,
                      (int)reader.line, (int)reader.column);
    /* The parse may have stopped inside an element: climb to the document,
     * which is what owns everything made so far. */
    XmlTreeNode *document = xml_tree_current(&reader);
    while (document != NULL && document->parent != NULL)
        document = document->parent;
    free_xml_tree(document);
    return NULL;
}

void free_xml_tree(XmlTreeNode *node)
{
    /* Each node's attributes and children are spliced in front of the nodes
     * still to be freed, so one loop frees the whole tree with a constant
     * stack however long the sibling lists or deep the nesting. */
    while (node != NULL) {
        XmlTreeNode *rest = node->next_sibling;
        if (node->first_attribute != NULL) {
            XmlTreeNode *tail = node->first_attribute;
            while (tail->next_sibling != NULL)
                tail = tail->next_sibling;
            tail->next_sibling = rest;
            rest = node->first_attribute;
        }
        if (node->first_child != NULL) {
            node->last_child->next_sibling = rest;
            rest = node->first_child;
        }
        xml_tree_free_node(node);
        node = rest;
    }
}

XmlPrefix xml_tree_prefix(const XmlTreeNode *node, const char **local_name)
{
    const char *qname = node->type == XML_NODE_ATTRIBUTE ? node->name : node->text;
    XmlPrefix prefix = {qname, 0};
    const char *colon = qname ? SDL_strchr(qname, ':') : NULL;
    if (colon)
        prefix.len = (size_t)(colon - qname);
    if (local_name)
        *local_name = colon ? colon + 1 : qname;
    return prefix;
}

int xml_tree_is_declaration(const XmlTreeNode *node)
{
    return node->type == XML_NODE_ATTRIBUTE && node->name &&
           SDL_strncmp(node->name, "xmlns:", 6) == 0;
}

const char *xml_tree_namespace_uri(const XmlTreeNode *node)
{
    XmlPrefix prefix = xml_tree_prefix(node, NULL);
    if (prefix.len == 0)
        return NULL;
    /* An attribute's own chain stops at the declarations before it; its
     * element's holds the whole start tag. */
    const XmlTreeNode *scope = node->type == XML_NODE_ATTRIBUTE && node->parent
                                   ? node->parent->ns_scope
                                   : node->ns_scope;
    for (; scope; scope = scope->ns_scope) {
        const char *declared = scope->name + 6; /* after "xmlns:" */
        if (SDL_strncmp(declared, prefix.name, prefix.len) == 0 && declared[prefix.len] == '\0')
            return scope->text;
    }
    if (prefix.len == 3 && SDL_strncmp(prefix.name, "xml", 3) == 0)
        return XML_NAMESPACE_URI;
    return NULL;
}
