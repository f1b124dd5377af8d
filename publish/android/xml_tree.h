/* An Android manifest's text as a tree of nodes with their source
 * positions and namespace scope chains. Knows nothing of Android: the
 * binary XML writer and the app-bundle records walk the tree, never relink
 * it, and the build that parsed it frees it. */
#ifndef BRINDLECOT_XML_TREE_H
#define BRINDLECOT_XML_TREE_H

#include <stddef.h>
#include <stdint.h>

typedef int32_t XmlNodeType;
#define XML_NODE_DOCUMENT 0
#define XML_NODE_ELEMENT 1
#define XML_NODE_ATTRIBUTE 2
#define XML_NODE_TEXT 3

typedef struct XmlTreeNode {
    struct XmlTreeNode *parent;       /* NULL for the document; an attribute's is its element */
    struct XmlTreeNode *first_child;  /* elements and text, document order */
    struct XmlTreeNode *last_child;
    struct XmlTreeNode *next_sibling; /* next child, or next attribute of the list */
    struct XmlTreeNode *first_attribute; /* newest first: reverse document order */
    /* Namespace scope chain, innermost first. An "xmlns:" attribute links
     * the scope it was declared into; an element's chain starts with its
     * own declarations (those whose parent is the element). */
    struct XmlTreeNode *ns_scope;
    XmlNodeType type;
    uint32_t line;
    uint32_t column;
    uint32_t offset;
    char *text;     /* element: qualified name; attribute: value; text: data */
    uint32_t text_len;
    char *name;     /* attribute: qualified name */
    uint32_t name_len;
    uint32_t end_line; /* elements: line of the end event */
} XmlTreeNode;

/* The document node of the parsed text, or NULL after the failure was
 * logged. The text stays the caller's. */
XmlTreeNode *parse_xml_tree(const char *text);

/* As parse_xml_tree; after a failure *failed_at holds the reader's byte
 * count where it stopped (the bad byte is the one before). */
XmlTreeNode *parse_xml_tree_at(const char *text, uint32_t *failed_at);

/* The namespace of the prefix "xml", bound without a declaration. */
#define XML_NAMESPACE_URI "http://www.w3.org/XML/1998/namespace"

/* The prefix of a qualified name, without its ':'; len 0 when the name
 * has none. */
typedef struct XmlPrefix {
    const char *name;
    size_t len;
} XmlPrefix;

/* The prefix of an element's name or of an attribute's (the part before the
 * first ':'), and the name after it. */
XmlPrefix xml_tree_prefix(const XmlTreeNode *node, const char **local_name);

/* The namespace URI that the node's prefix is bound to, as XML reads it:
 * through the declarations in scope, innermost first, compared exactly; an
 * attribute sees every declaration of its own start tag, wherever it
 * stands there; "xml" is bound to its own URI. NULL when the name has no
 * prefix or the prefix is bound to nothing. */
const char *xml_tree_namespace_uri(const XmlTreeNode *node);

/* 1 when the node is a namespace declaration ("xmlns:" and a prefix). */
int xml_tree_is_declaration(const XmlTreeNode *node);

/* Frees node, its following siblings and everything below them. NULL is
 * allowed. Iterates along sibling lists, so a long list does not grow the
 * stack. */
void free_xml_tree(XmlTreeNode *node);

#endif
