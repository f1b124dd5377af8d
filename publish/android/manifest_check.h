/* What a manifest must be before either writer makes a package of it: every
 * prefix bound, no attribute twice in an element, and every attribute value
 * one that Android's own packager accepts for that attribute. Refusals are
 * error lines naming the file and line the text came from; what the build
 * keeps but the packager would not (an Android attribute API 26 does not
 * define, a reference to a resource the build does not know, an escape
 * whose backslash is dropped) is a warning. Each is logged once per build. */
#ifndef BRINDLECOT_MANIFEST_CHECK_H
#define BRINDLECOT_MANIFEST_CHECK_H

#include "publish/android/xml_tree.h"

/* Where a node's text came from: the file and the line there. */
typedef struct ManifestPlace {
    const char *path;
    unsigned line;
} ManifestPlace;

typedef ManifestPlace (*ManifestLocate)(void *user, const XmlTreeNode *node);

/* 1 when the document may be written; 0 after one error line per refused
 * name or value. */
int manifest_check_tree(const XmlTreeNode *document, ManifestLocate locate, void *user);

#endif
