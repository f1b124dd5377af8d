/* Writes a manifest tree as Android's binary XML (AndroidManifest.xml of an
 * APK): a string pool, a resource map for the strings that stand for
 * framework attributes, and one chunk per namespace start and end and per
 * element start and end. Text content is not written.
 *
 * Use: zero an AxmlWriter, set path and out (a seekable PhysicsFS file open
 * for writing), call axml_collect_strings on the document node, then
 * axml_write_file, then axml_free_pool whatever happened. Between collection
 * and writing the tree must not change: every string is found again by its
 * text. The tree is only read. */
#ifndef BRINDLECOT_BINARY_XML_H
#define BRINDLECOT_BINARY_XML_H

#include <stdint.h>

#include <physfs.h>

#include "publish/android/xml_tree.h"

typedef struct AxmlPoolEntry {
    char *utf8;          /* SDL_strdup copy */
    uint16_t *utf16;     /* length in units, the units, 0; made when written */
    uint32_t resource_id; /* framework attr id, 0 for none */
} AxmlPoolEntry;

/* The entries with a resource id are exactly the first ones of the pool,
 * the most recently added first. A text appears at most once without an id
 * and at most once with each id: an Android attribute's name and the same
 * text used elsewhere (a value, or an attribute of another namespace) are
 * separate entries, since Android reads a name's map entry as the
 * attribute's identity. */
typedef struct AxmlWriter {
    const char *path; /* for messages only */
    PHYSFS_File *out;
    AxmlPoolEntry *pool;
    uint32_t pool_count;
} AxmlWriter;

/* Adds every string that node, its attributes, descendants and following
 * siblings will reference. Out of memory is reported and collection goes on;
 * the lost string then fails the write as missing. */
void axml_collect_strings(AxmlWriter *writer, XmlTreeNode *node);

/* Adds a string without resource id unless it is there. NULL: nothing. */
void axml_add_string(AxmlWriter *writer, const char *string);

/* Adds an attribute name with its framework resource id (not 0) at the
 * front of the pool unless that pair is there. */
void axml_add_resource_name(AxmlWriter *writer, const char *string, uint32_t resource_id);

/* The file: XML header, then the document node, then the header's size. */
int axml_write_file(AxmlWriter *writer, XmlTreeNode *document);

/* Writes the node and its following siblings by type: text is skipped,
 * a document, element or attribute list goes to its writer. */
int axml_write_node(AxmlWriter *writer, XmlTreeNode *node);

/* String pool, resource map, then the document's content. */
int axml_write_document(AxmlWriter *writer, XmlTreeNode *document);

/* One element: its namespace starts, its start chunk with the attributes,
 * its children, its end chunk, its namespace ends (innermost first). */
int axml_write_element(AxmlWriter *writer, XmlTreeNode *element);

/* An attribute list, given by its first node: the records in ascending
 * order of their names' resource ids, those without an id following in
 * document order, which is the order Android's readers rely on. Namespace
 * declarations are not written. */
int axml_write_attributes(AxmlWriter *writer, XmlTreeNode *first_attribute);

/* One attribute record. */
int axml_write_attribute(AxmlWriter *writer, XmlTreeNode *attribute);

/* The pool index of a string without id (0xFFFFFFFF for NULL). */
int axml_write_string_ref(AxmlWriter *writer, const char *string);

/* Frees the pool and zeroes its fields. */
void axml_free_pool(AxmlWriter *writer);

#endif
