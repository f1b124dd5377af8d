/* Writes a manifest tree as Android's binary XML (AndroidManifest.xml of an
 * APK): a string pool, a resource map for the strings that stand for
 * framework attributes, and one chunk per namespace start and end and per
 * element start and end. Text content is not written.
 *
 * Use: zero an AxmlWriter, set path and out (a seekable PhysicsFS file open
 * for writing), call axml_collect_strings on the document node, then, when
 * that succeeded, axml_write_file, then axml_free_pool whatever happened. Between collection
 * and writing the tree must not change: every string is found again by its
 * text. The tree is only read. */
#ifndef BRINDLECOT_BINARY_XML_H
#define BRINDLECOT_BINARY_XML_H

#include <stdint.h>

#include "engine/out_file.h"

#include <physfs.h>

#include "publish/android/xml_tree.h"

/* The entries with a resource id are exactly the first ones of the pool,
 * the most recently added first. A text appears at most once without an id
 * and at most once with each id: an Android attribute's name and the same
 * text used elsewhere (a value, or an attribute of another namespace) are
 * separate entries, since Android reads a name's map entry as the
 * attribute's identity. */
typedef struct AxmlWriter {
    const char *path; /* for messages only */
    OutFile *out;
    struct AxmlPoolEntry *pool; /* the writer's own */
    uint32_t pool_count;
} AxmlWriter;

/* Adds every string that node, its attributes, descendants and following
 * siblings will reference. 0 on out of memory (reported): the pool is then
 * incomplete and must not be written, only freed. */
int axml_collect_strings(AxmlWriter *writer, XmlTreeNode *node);

/* The file: XML header, then the document node, then the header's size. */
int axml_write_file(AxmlWriter *writer, XmlTreeNode *document);

/* Frees the pool and zeroes its fields. */
void axml_free_pool(AxmlWriter *writer);

#endif
