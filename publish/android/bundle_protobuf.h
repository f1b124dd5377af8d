/* The protobuf files of the Google Play app bundle: the manifest tree as an
 * XmlNode message, the fixed bundle configuration (BundleConfig) and the
 * fixed resource table (ResourceTable) of the generated app: one launcher
 * icon in five densities, three theme colours, the app name and the app
 * theme. nanopb does the encoding into an output stream that writes to a
 * PhysicsFS file. Main thread only.
 *
 * Every field callback writes the same bytes each time nanopb calls it (it
 * measures a nested message before it writes it), and none of them logs or
 * allocates. The manifest encoder first types every attribute and measures
 * every node once, in memory of its own, and then writes: its time grows
 * linearly with the manifest however deeply it nests. It logs nothing about
 * the values: the manifest check has done that once per build. */
#ifndef BRINDLECOT_BUNDLE_PROTOBUF_H
#define BRINDLECOT_BUNDLE_PROTOBUF_H

#include "engine/log.h"
#include "publish/android/xml_tree.h"

#include "bundle_config.pb.h"
#include "resources.pb.h"

#include <pb_encode.h>

#include <stddef.h>
#include <stdint.h>

/* The argument of encode_bytes_field. */
typedef struct PbBytes {
    const uint8_t *data;
    size_t size;
} PbBytes;

/* A theme colour: its resource name, its line in the value resources the
 * table names as source, and the colour as 0xAARRGGBB. */
typedef struct ThemeColorResource {
    const char *name;
    uint32_t line;
    uint32_t argb;
} ThemeColorResource;

#define THEME_COLOR_RESOURCE_COUNT 3
extern const ThemeColorResource theme_color_resources[THEME_COLOR_RESOURCE_COUNT];

/* Formats the path, opens it for writing and points the stream at the file
 * (no size limit). Returns the path (SDL allocation) or NULL after the
 * failure was logged. The caller frees the path and closes the file with
 * close_pb_file_stream. */
char *open_pb_file_stream(pb_ostream_t *stream, const char *fmt, ...) LOG_PRINTF(2, 3);

/* The stream callback: true when the file took all count bytes. */
bool write_pb_file_bytes(pb_ostream_t *stream, const pb_byte_t *buf, size_t count);

/* Closes the stream's file: 1, or 0 after "Closing '%s' failed: %s". */
int close_pb_file_stream(pb_ostream_t *stream, const char *path);

/* Encodes *node (an XmlTreeNode *) and each of its following siblings. A
 * node whose parent is the document becomes a whole XmlNode message; any
 * other is written as field (a repeated XmlNode field; NULL only at the
 * top). A failure at the top is logged ("Encoding protobuffer failed: %s");
 * false then. The tree is only read. */
bool encode_xml_node(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *node);

/* Field callbacks (nanopb's encode shape) of the resource table's
 * values: one ConfigValue per icon density; arg: a row of
 * theme_color_resources. */
bool encode_icon_config_values(pb_ostream_t *stream, const pb_field_iter_t *field,
                               void *const *arg);
bool encode_color_value(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg);

/* The bundle configuration record, ready for pb_encode. */
void fill_bundle_config(android_bundle_BundleConfig *config);

/* The resource table record, ready for pb_encode; source_pool (the chunk
 * of build_source_pool_chunk) and app_name (valid UTF-8: the converter
 * refuses anything else) must outlive the encoding. The package name is
 * read from the game metadata while it encodes. */
void fill_resource_table(aapt_pb_ResourceTable *table, const PbBytes *source_pool,
                         const char *app_name);

/* The source string pool chunk of the resource table: a binary string-pool
 * chunk (UTF-16) of the five icon paths and "res/resources.xml". Returns
 * an SDL allocation the caller frees, with its size in *size, or NULL when
 * memory ran out (nothing logged). */
uint8_t *build_source_pool_chunk(size_t *size);

#endif
