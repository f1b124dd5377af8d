#include "publish/android/bundle_protobuf.h"

#include "engine/build_revision.h"
#include "engine/game_metadata.h"
#include "publish/android/attribute_types.h"
#include "publish/archive/byte_io.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"

#include <SDL.h>
#include <physfs.h>

#include <stdarg.h>
#include <stdint.h>

#define TOOL_NAME "Brindlecot Publishing Tool (brindlecot-publish)"
#define BUNDLETOOL_VERSION "1.8.2"
#define PACKAGE_ID 0x7F
#define FILE_REFERENCE_SDK_VERSION 4
/* The framework's Theme.Holo.Light.DarkActionBar, parent of AppTheme. */
#define APP_THEME_PARENT 0x01030119u
#define APP_NAME_LINE 2
#define APP_THEME_LINE 12

/* A launcher icon of the resource table: its density in dots per inch and
 * its file inside the module (written by write_android_icons). */
typedef struct LauncherIconDensity {
    uint32_t density;
    const char *path;
} LauncherIconDensity;

#define LAUNCHER_ICON_DENSITY_COUNT 5

/* Path index of the value resources in the source string pool; 0..4 are
 * the icon files in launcher_icon_densities order. */
#define SOURCE_POOL_VALUES_INDEX 5

static const LauncherIconDensity launcher_icon_densities[LAUNCHER_ICON_DENSITY_COUNT] = {
    {160, "res/mipmap-mdpi-v4/ic_launcher.png"},
    {240, "res/mipmap-hdpi-v4/ic_launcher.png"},
    {320, "res/mipmap-xhdpi-v4/ic_launcher.png"},
    {480, "res/mipmap-xxhdpi-v4/ic_launcher.png"},
    {640, "res/mipmap-xxxhdpi-v4/ic_launcher.png"},
};

const ThemeColorResource theme_color_resources[THEME_COLOR_RESOURCE_COUNT] = {
    {"colorPrimary", 6, 0xFF3F51B5u},
    {"colorPrimaryDark", 7, 0xFF303F9Fu},
    {"colorAccent", 8, 0xFFFF4081u},
};

/* --- the file stream --------------------------------------------------------------- */

static const OutputTexts pb_file_texts = {
    {"Opening ", " for write failed"},
    {"Write to ", " failed"},
    {"Closing ", " failed"},
};

char *open_pb_file_stream(pb_ostream_t *stream, const char *fmt, ...)
{
    va_list args, again;
    va_start(args, fmt);
    /* Measuring consumes the list, so the formatting pass gets a copy. */
    va_copy(again, args);
    char *path = NULL;
    int length = SDL_vsnprintf(NULL, 0, fmt, args);
    if (length >= 0) {
        path = (char *)SDL_malloc((size_t)length + 1);
        if (path && SDL_vsnprintf(path, (size_t)length + 1, fmt, again) != length) {
            SDL_free(path);
            path = NULL;
        }
    }
    va_end(again);
    va_end(args);

    SDL_zerop(stream);
    if (!path) {
        report_out_of_memory();
        return NULL;
    }
    OutFile *file = output_open(path, &pb_file_texts);
    if (!file) {
        SDL_free(path);
        return NULL;
    }
    stream->callback = write_pb_file_bytes;
    stream->state = file;
    stream->max_size = SIZE_MAX;
    return path;
}

bool write_pb_file_bytes(pb_ostream_t *stream, const pb_byte_t *buf, size_t count)
{
    return byte_io_write_all((OutFile *)stream->state, buf, count) != 0;
}

int close_pb_file_stream(pb_ostream_t *stream, const char *path)
{
    return output_close((OutFile *)stream->state, path, &pb_file_texts);
}

/* nanopb's encode callback shape. */
/* arg: an element node; its own namespace declarations. */
static bool encode_xml_namespaces(pb_ostream_t *stream, const pb_field_iter_t *field,
                                  void *const *arg);
typedef bool (*PbEncodeCallback)(pb_ostream_t *stream, const pb_field_iter_t *field,
                                 void *const *arg);

/* --- plain fields -------------------------------------------------------------------- */

static bool encode_string_field(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    const char *text = (const char *)*arg;
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, (const pb_byte_t *)text, SDL_strlen(text));
}

static bool encode_bytes_field(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    const PbBytes *bytes = (const PbBytes *)*arg;
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, bytes->data, bytes->size);
}

static void set_string(pb_callback_t *callback, const char *text)
{
    callback->funcs.encode = encode_string_field;
    callback->arg = (void *)text;
}

static void set_source_position(bool *has, aapt_pb_SourcePosition *position,
                                const XmlTreeNode *node)
{
    *has = true;
    position->line_number = node->line;
    position->column_number = node->column;
}

/* --- the manifest -------------------------------------------------------------------- */

/* One attribute of an element, resolved and typed once before encoding. */
typedef struct PbXmlAttribute {
    const XmlTreeNode *node;
    const char *namespace_uri; /* NULL: none */
    const char *local_name;    /* points into node->name */
    AttributeTyping typing;
    uint32_t resource_id;      /* 0: none */
} PbXmlAttribute;

/* One element or text node, with what its XmlNode message needs. */
typedef struct PbXmlItem {
    const XmlTreeNode *node;
    struct PbXmlItem *first_child; /* document order */
    struct PbXmlItem *next_sibling;
    PbXmlAttribute *attributes;    /* document order, declarations left out */
    uint32_t attribute_count;
    const char *namespace_uri;     /* element: NULL when none */
    const char *local_name;        /* element: points into node->text */
    size_t size;                   /* bytes of its XmlNode message */
} PbXmlItem;

/* All items of one encoding, in one allocation each. */
typedef struct PbXmlPlan {
    PbXmlItem *items;
    uint32_t item_count;
    uint32_t items_used;
    PbXmlAttribute *attributes;
    uint32_t attribute_count;
    uint32_t attributes_used;
} PbXmlPlan;

static int is_namespace_attribute(const XmlTreeNode *attribute)
{
    XmlPrefix prefix = xml_tree_prefix(attribute, NULL);
    return prefix.len == 5 && SDL_strncasecmp(prefix.name, "xmlns", 5) == 0;
}

static bool unexpected_node(pb_ostream_t *stream)
{
    publish_log_error("Unexpected XML node type");
    PB_RETURN_ERROR(stream, "unexpected XML node type");
}

/* Counts the items and attributes below and including node and its
 * following siblings. */
static bool plan_count(pb_ostream_t *stream, const XmlTreeNode *node, PbXmlPlan *plan)
{
    for (; node; node = node->next_sibling) {
        if (node->type != XML_NODE_ELEMENT && node->type != XML_NODE_TEXT)
            return unexpected_node(stream);
        plan->item_count++;
        for (const XmlTreeNode *a = node->first_attribute; a; a = a->next_sibling)
            if (!is_namespace_attribute(a))
                plan->attribute_count++;
        if (!plan_count(stream, node->first_child, plan))
            return false;
    }
    return true;
}

/* The value stays the text as written: the bundle's converter reads a
 * string's escapes itself. */
static void plan_attribute(PbXmlAttribute *attribute, const XmlTreeNode *node)
{
    attribute->node = node;
    xml_tree_prefix(node, &attribute->local_name);
    attribute->namespace_uri = xml_tree_namespace_uri(node);
    type_attribute_value(attribute->namespace_uri, attribute->local_name, node->text,
                         &attribute->typing);
    attribute->resource_id =
        android_attribute_resource_id(attribute->namespace_uri, attribute->local_name);
}

/* The element's attributes in document order: its list runs newest first,
 * so the array is filled from its end. */
static void plan_attributes(PbXmlItem *item, PbXmlPlan *plan)
{
    uint32_t count = 0;
    for (const XmlTreeNode *a = item->node->first_attribute; a; a = a->next_sibling)
        if (!is_namespace_attribute(a))
            count++;
    item->attributes = plan->attributes + plan->attributes_used;
    item->attribute_count = count;
    plan->attributes_used += count;
    for (const XmlTreeNode *a = item->node->first_attribute; a; a = a->next_sibling)
        if (!is_namespace_attribute(a))
            plan_attribute(&item->attributes[--count], a);
}

static void fill_xml_node_record(const PbXmlItem *item, aapt_pb_XmlNode *record);

/* Builds the items of node and its following siblings, children first, and
 * measures each one's XmlNode message. Returns the first item. */
static PbXmlItem *plan_items(pb_ostream_t *stream, const XmlTreeNode *node, PbXmlPlan *plan)
{
    PbXmlItem *first = NULL, *previous = NULL;
    for (; node; node = node->next_sibling) {
        PbXmlItem *item = &plan->items[plan->items_used++];
        SDL_zerop(item);
        item->node = node;
        if (node->type == XML_NODE_ELEMENT) {
            xml_tree_prefix(node, &item->local_name);
            item->namespace_uri = xml_tree_namespace_uri(node);
            plan_attributes(item, plan);
            if (node->first_child) {
                item->first_child = plan_items(stream, node->first_child, plan);
                if (!item->first_child)
                    return NULL;
            }
        }
        aapt_pb_XmlNode record;
        fill_xml_node_record(item, &record);
        if (!pb_get_encoded_size(&item->size, aapt_pb_XmlNode_fields, &record)) {
            PB_SET_ERROR(stream, "measuring an XML node failed");
            return NULL;
        }
        if (previous)
            previous->next_sibling = item;
        else
            first = item;
        previous = item;
    }
    return first;
}

static bool encode_xml_attributes(pb_ostream_t *stream, const pb_field_iter_t *field,
                                  void *const *arg);
static bool encode_xml_children(pb_ostream_t *stream, const pb_field_iter_t *field,
                                void *const *arg);

static void fill_xml_node_record(const PbXmlItem *item, aapt_pb_XmlNode *record)
{
    const XmlTreeNode *node = item->node;
    SDL_zerop(record);
    set_source_position(&record->has_source, &record->source, node);
    if (node->type == XML_NODE_TEXT) {
        record->which_node = aapt_pb_XmlNode_text_tag;
        set_string(&record->node.text, node->text);
        return;
    }
    record->which_node = aapt_pb_XmlNode_element_tag;
    aapt_pb_XmlElement *element = &record->node.element;
    if (node->ns_scope && node->ns_scope->parent == node) {
        element->namespace_declaration.funcs.encode = encode_xml_namespaces;
        element->namespace_declaration.arg = (void *)node;
    }
    if (item->namespace_uri)
        set_string(&element->namespace_uri, item->namespace_uri);
    set_string(&element->name, item->local_name);
    if (item->attribute_count) {
        element->attribute.funcs.encode = encode_xml_attributes;
        element->attribute.arg = (void *)item;
    }
    if (item->first_child) {
        element->child.funcs.encode = encode_xml_children;
        element->child.arg = item->first_child;
    }
}

/* Writes one measured item as a length-delimited value. A measuring stream
 * only counts, so the item's known size stands in for its bytes there:
 * that keeps every node measured once however deep it lies. */
static bool encode_xml_item_value(pb_ostream_t *stream, const PbXmlItem *item)
{
    if (!pb_encode_varint(stream, item->size))
        return false;
    if (!stream->callback)
        return pb_write(stream, NULL, item->size);
    aapt_pb_XmlNode record;
    fill_xml_node_record(item, &record);
    size_t before = stream->bytes_written;
    if (!pb_encode(stream, aapt_pb_XmlNode_fields, &record))
        return false;
    if (stream->bytes_written - before != item->size)
        PB_RETURN_ERROR(stream, "submsg size changed");
    return true;
}

static bool encode_xml_children(pb_ostream_t *stream, const pb_field_iter_t *field,
                                void *const *arg)
{
    for (const PbXmlItem *item = (const PbXmlItem *)*arg; item; item = item->next_sibling)
        if (!pb_encode_tag_for_field(stream, field) || !encode_xml_item_value(stream, item))
            return false;
    return true;
}

/* The declarations the element owns, from decl on, in document order: the
 * chain holds them newest first. */
static bool encode_owned_namespaces(pb_ostream_t *stream, const pb_field_iter_t *field,
                                    const XmlTreeNode *element, const XmlTreeNode *decl)
{
    if (!decl || decl->parent != element)
        return true;
    if (!encode_owned_namespaces(stream, field, element, decl->ns_scope))
        return false;
    aapt_pb_XmlNamespace record = aapt_pb_XmlNamespace_init_zero;
    set_string(&record.prefix, decl->name + 6);
    set_string(&record.uri, decl->text);
    set_source_position(&record.has_source, &record.source, decl);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_submessage(stream, aapt_pb_XmlNamespace_fields, &record);
}

static bool encode_xml_namespaces(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    const XmlTreeNode *element = (const XmlTreeNode *)*arg;
    return encode_owned_namespaces(stream, field, element, element->ns_scope);
}

/* arg: an AttributeTyping of a reference. */
static bool encode_reference_name(pb_ostream_t *stream, const pb_field_iter_t *field,
                                  void *const *arg)
{
    const AttributeTyping *t = (const AttributeTyping *)*arg;
    size_t package = t->ref_package ? SDL_strlen(t->ref_package) + 1 : 0;
    size_t type = SDL_strlen(t->ref_type);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_varint(stream, package + type + 1 + t->ref_entry_len) &&
           (!package || (pb_write(stream, (const pb_byte_t *)t->ref_package, package - 1) &&
                         pb_write(stream, (const pb_byte_t *)":", 1))) &&
           pb_write(stream, (const pb_byte_t *)t->ref_type, type) &&
           pb_write(stream, (const pb_byte_t *)"/", 1) &&
           pb_write(stream, (const pb_byte_t *)t->ref_entry, t->ref_entry_len);
}

/* The compiled item of a typed value; false when the value stays a string. */
static bool fill_compiled_item(const PbXmlAttribute *attribute, aapt_pb_Item *item)
{
    aapt_pb_Primitive *prim = &item->value.prim;
    item->which_value = aapt_pb_Item_prim_tag;
    switch (attribute->typing.type) {
    case TYPE_NULL:
        /* Data 1 is the empty value, as in the APK; null_value would read
         * back as undefined. */
        prim->which_oneof_value = aapt_pb_Primitive_empty_value_tag;
        return true;
    case TYPE_DIMENSION:
        prim->which_oneof_value = aapt_pb_Primitive_dimension_value_tag;
        prim->oneof_value.dimension_value = attribute->typing.data;
        return true;
    case TYPE_FRACTION:
        prim->which_oneof_value = aapt_pb_Primitive_fraction_value_tag;
        prim->oneof_value.fraction_value = attribute->typing.data;
        return true;
    case TYPE_REFERENCE:
    case TYPE_ATTRIBUTE:
        item->which_value = aapt_pb_Item_ref_tag;
        if (attribute->typing.type == TYPE_ATTRIBUTE)
            item->value.ref.type = aapt_pb_Reference_Type_ATTRIBUTE;
        item->value.ref.id = attribute->typing.data;
        /* The converter reads the name whole, package:type/entry; @null
         * names nothing. */
        if (attribute->typing.ref_type) {
            item->value.ref.name.funcs.encode = encode_reference_name;
            item->value.ref.name.arg = (void *)&attribute->typing;
        }
        return true;
    case TYPE_FLOAT:
        prim->which_oneof_value = aapt_pb_Primitive_float_value_tag;
        SDL_memcpy(&prim->oneof_value.float_value, &attribute->typing.data, sizeof(float));
        return true;
    case TYPE_INT_DEC:
        prim->which_oneof_value = aapt_pb_Primitive_int_decimal_value_tag;
        prim->oneof_value.int_decimal_value = (int32_t)attribute->typing.data;
        return true;
    case TYPE_INT_HEX:
        prim->which_oneof_value = aapt_pb_Primitive_int_hexadecimal_value_tag;
        prim->oneof_value.int_hexadecimal_value = attribute->typing.data;
        return true;
    case TYPE_INT_BOOLEAN:
        prim->which_oneof_value = aapt_pb_Primitive_boolean_value_tag;
        prim->oneof_value.boolean_value = attribute->typing.data != 0;
        return true;
    case TYPE_INT_COLOR_ARGB8:
        prim->which_oneof_value = aapt_pb_Primitive_color_argb8_value_tag;
        prim->oneof_value.color_argb8_value = attribute->typing.data;
        return true;
    case TYPE_INT_COLOR_RGB8:
        prim->which_oneof_value = aapt_pb_Primitive_color_rgb8_value_tag;
        prim->oneof_value.color_rgb8_value = attribute->typing.data;
        return true;
    case TYPE_INT_COLOR_ARGB4:
        prim->which_oneof_value = aapt_pb_Primitive_color_argb4_value_tag;
        prim->oneof_value.color_argb4_value = attribute->typing.data;
        return true;
    case TYPE_INT_COLOR_RGB4:
        prim->which_oneof_value = aapt_pb_Primitive_color_rgb4_value_tag;
        prim->oneof_value.color_rgb4_value = attribute->typing.data;
        return true;
    default:
        item->which_value = 0;
        return false;
    }
}

static bool encode_xml_attributes(pb_ostream_t *stream, const pb_field_iter_t *field,
                                  void *const *arg)
{
    const PbXmlItem *item = (const PbXmlItem *)*arg;
    for (uint32_t i = 0; i < item->attribute_count; i++) {
        const PbXmlAttribute *attribute = &item->attributes[i];
        aapt_pb_XmlAttribute record = aapt_pb_XmlAttribute_init_zero;
        if (attribute->namespace_uri)
            set_string(&record.namespace_uri, attribute->namespace_uri);
        set_string(&record.name, attribute->local_name);
        set_string(&record.value, attribute->node->text);
        set_source_position(&record.has_source, &record.source, attribute->node);
        record.resource_id = attribute->resource_id;
        record.has_compiled_item = fill_compiled_item(attribute, &record.compiled_item);
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, aapt_pb_XmlAttribute_fields, &record))
            return false;
    }
    return true;
}

static void plan_free(PbXmlPlan *plan)
{
    SDL_free(plan->items);
    SDL_free(plan->attributes);
}

/* Types the attributes and measures the nodes of first and its following
 * siblings, then writes them. */
static bool encode_xml_nodes(pb_ostream_t *stream, const pb_field_iter_t *field,
                             const XmlTreeNode *first)
{
    PbXmlPlan plan;
    SDL_zero(plan);
    if (!plan_count(stream, first, &plan))
        return false;
    plan.items = (PbXmlItem *)SDL_malloc(plan.item_count * sizeof(PbXmlItem));
    plan.attributes = (PbXmlAttribute *)SDL_malloc(
        (plan.attribute_count ? plan.attribute_count : 1) * sizeof(PbXmlAttribute));
    if (!plan.items || !plan.attributes) {
        plan_free(&plan);
        report_out_of_memory();
        PB_RETURN_ERROR(stream, "out of memory");
    }
    const PbXmlItem *item = plan_items(stream, first, &plan);
    bool ok = item != NULL;
    for (; ok && item; item = item->next_sibling) {
        if (item->node->parent && item->node->parent->type == XML_NODE_DOCUMENT) {
            aapt_pb_XmlNode record;
            fill_xml_node_record(item, &record);
            ok = pb_encode(stream, aapt_pb_XmlNode_fields, &record);
        } else if (!field) {
            PB_SET_ERROR(stream, "no field for a nested XML node");
            ok = false;
        } else {
            ok = pb_encode_tag_for_field(stream, field) && encode_xml_item_value(stream, item);
        }
    }
    plan_free(&plan);
    return ok;
}

bool encode_xml_node(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *node)
{
    const XmlTreeNode *first = (const XmlTreeNode *)*node;
    if (!first)
        return true;
    if (encode_xml_nodes(stream, field, first))
        return true;
    if (!field)
        publish_log_error("Encoding protobuffer failed: %s", PB_GET_ERROR(stream));
    return false;
}

/* --- the bundle configuration -------------------------------------------------------- */

static bool encode_split_dimensions(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    android_bundle_SplitDimension record = android_bundle_SplitDimension_init_zero;
    record.value = android_bundle_SplitDimension_Value_ABI;
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_submessage(stream, android_bundle_SplitDimension_fields, &record);
}

void fill_bundle_config(android_bundle_BundleConfig *config)
{
    SDL_zerop(config);
    config->has_bundletool = true;
    set_string(&config->bundletool.version, BUNDLETOOL_VERSION);
    config->has_optimizations = true;
    android_bundle_Optimizations *o = &config->optimizations;
    o->has_splits_config = true;
    o->splits_config.split_dimension.funcs.encode = encode_split_dimensions;
    o->has_uncompress_native_libraries = true;
    o->uncompress_native_libraries.enabled = true;
    o->has_uncompress_dex_files = true;
    o->uncompress_dex_files.enabled = true;
    o->has_standalone_config = true;
    o->has_resource_optimizations = true;
    /* Present but disabled, which encodes as an empty message. */
    o->has_store_archive = true;
}

/* --- the resource table -------------------------------------------------------------- */

static bool encode_element(pb_ostream_t *stream, const pb_field_iter_t *field,
                           const pb_msgdesc_t *fields, const void *record)
{
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_submessage(stream, fields, record);
}

/* A value of the value resources file, at its line there. */
static void set_values_source(aapt_pb_Value *value, uint32_t line)
{
    value->has_source = true;
    value->source.path_idx = SOURCE_POOL_VALUES_INDEX;
    value->source.has_position = true;
    value->source.position.line_number = line;
}

bool encode_icon_config_values(pb_ostream_t *stream, const pb_field_iter_t *field,
                               void *const *arg)
{
    for (uint32_t i = 0; i < LAUNCHER_ICON_DENSITY_COUNT; i++) {
        aapt_pb_ConfigValue record = aapt_pb_ConfigValue_init_zero;
        record.has_config = true;
        record.config.density = launcher_icon_densities[i].density;
        record.config.sdk_version = FILE_REFERENCE_SDK_VERSION;
        record.has_value = true;
        record.value.has_source = true;
        record.value.source.path_idx = i;
        record.value.which_value = aapt_pb_Value_item_tag;
        aapt_pb_Item *item = &record.value.value.item;
        item->which_value = aapt_pb_Item_file_tag;
        set_string(&item->value.file.path, launcher_icon_densities[i].path);
        item->value.file.type = aapt_pb_FileReference_Type_PNG;
        if (!encode_element(stream, field, aapt_pb_ConfigValue_fields, &record))
            return false;
    }
    return true;
}

bool encode_color_value(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    const ThemeColorResource *color = (const ThemeColorResource *)*arg;
    aapt_pb_ConfigValue record = aapt_pb_ConfigValue_init_zero;
    record.has_config = true;
    record.has_value = true;
    set_values_source(&record.value, color->line);
    record.value.which_value = aapt_pb_Value_item_tag;
    aapt_pb_Item *item = &record.value.value.item;
    item->which_value = aapt_pb_Item_prim_tag;
    item->value.prim.which_oneof_value = aapt_pb_Primitive_color_argb8_value_tag;
    item->value.prim.oneof_value.color_argb8_value = color->argb;
    return encode_element(stream, field, aapt_pb_ConfigValue_fields, &record);
}

/* arg: the app's name, the title as the bundle holds it. */
static bool encode_app_name_value(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    aapt_pb_ConfigValue record = aapt_pb_ConfigValue_init_zero;
    record.has_config = true;
    record.has_value = true;
    set_values_source(&record.value, APP_NAME_LINE);
    record.value.which_value = aapt_pb_Value_item_tag;
    aapt_pb_Item *item = &record.value.value.item;
    item->which_value = aapt_pb_Item_str_tag;
    set_string(&item->value.str.value, (const char *)*arg);
    return encode_element(stream, field, aapt_pb_ConfigValue_fields, &record);
}

static bool encode_app_theme_value(pb_ostream_t *stream, const pb_field_iter_t *field,
                            void *const *arg)
{
    aapt_pb_ConfigValue record = aapt_pb_ConfigValue_init_zero;
    record.has_config = true;
    record.has_value = true;
    set_values_source(&record.value, APP_THEME_LINE);
    record.value.which_value = aapt_pb_Value_compound_value_tag;
    aapt_pb_CompoundValue *compound = &record.value.value.compound_value;
    compound->which_value = aapt_pb_CompoundValue_style_tag;
    compound->value.style.has_parent = true;
    compound->value.style.parent.id = APP_THEME_PARENT;
    return encode_element(stream, field, aapt_pb_ConfigValue_fields, &record);
}

/* An entry with its id, its name, a visibility that only names an empty
 * source, and the callback that writes its config values. */
static bool encode_entry(pb_ostream_t *stream, const pb_field_iter_t *field, uint32_t id,
                         const char *name, PbEncodeCallback values, const void *values_arg)
{
    aapt_pb_Entry record = aapt_pb_Entry_init_zero;
    record.has_entry_id = true;
    record.entry_id.id = id;
    set_string(&record.name, name);
    record.has_visibility = true;
    record.visibility.has_source = true;
    record.config_value.funcs.encode = values;
    record.config_value.arg = (void *)values_arg;
    return encode_element(stream, field, aapt_pb_Entry_fields, &record);
}

static bool encode_icon_entry(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    return encode_entry(stream, field, 0, "ic_launcher", encode_icon_config_values, NULL);
}

static bool encode_color_entries(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    for (uint32_t i = 0; i < THEME_COLOR_RESOURCE_COUNT; i++)
        if (!encode_entry(stream, field, i, theme_color_resources[i].name, encode_color_value,
                          &theme_color_resources[i]))
            return false;
    return true;
}

static bool encode_app_name_entry(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    return encode_entry(stream, field, 0, "app_name", encode_app_name_value, *arg);
}

static bool encode_app_theme_entry(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    return encode_entry(stream, field, 0, "AppTheme", encode_app_theme_value, NULL);
}

static bool encode_resource_types(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    /* Type ids 2..5 give the ids 0x7F02xxxx..0x7F05xxxx that the manifest's
     * references and resources.arsc use. */
    static const struct {
        uint32_t id;
        const char *name;
        PbEncodeCallback entries;
    } types[] = {
        {2, "mipmap", encode_icon_entry},
        {3, "color", encode_color_entries},
        {4, "string", encode_app_name_entry},
        {5, "style", encode_app_theme_entry},
    };
    for (size_t i = 0; i < SDL_arraysize(types); i++) {
        aapt_pb_Type record = aapt_pb_Type_init_zero;
        record.has_type_id = true;
        record.type_id.id = types[i].id;
        set_string(&record.name, types[i].name);
        record.entry.funcs.encode = types[i].entries;
        record.entry.arg = *arg; /* the app's name */
        if (!encode_element(stream, field, aapt_pb_Type_fields, &record))
            return false;
    }
    return true;
}

static bool encode_package(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    aapt_pb_Package record = aapt_pb_Package_init_zero;
    record.has_package_id = true;
    record.package_id.id = PACKAGE_ID;
    set_string(&record.package_name, game_metadata_packageid ? game_metadata_packageid : "");
    record.type.funcs.encode = encode_resource_types;
    record.type.arg = *arg; /* the app's name */
    return encode_element(stream, field, aapt_pb_Package_fields, &record);
}

static bool encode_tool_fingerprint(pb_ostream_t *stream, const pb_field_iter_t *field, void *const *arg)
{
    aapt_pb_ToolFingerprint record = aapt_pb_ToolFingerprint_init_zero;
    set_string(&record.tool, TOOL_NAME);
    set_string(&record.version, build_revision());
    return encode_element(stream, field, aapt_pb_ToolFingerprint_fields, &record);
}

void fill_resource_table(aapt_pb_ResourceTable *table, const PbBytes *source_pool,
                         const char *app_name)
{
    SDL_zerop(table);
    table->has_source_pool = true;
    table->source_pool.data.funcs.encode = encode_bytes_field;
    table->source_pool.data.arg = (void *)source_pool;
    table->package.funcs.encode = encode_package;
    table->package.arg = (void *)app_name;
    table->tool_fingerprint.funcs.encode = encode_tool_fingerprint;
}

/* --- the source string pool ------------------------------------------------------- */

#define STRING_POOL_TYPE 0x0001
#define STRING_POOL_HEADER_SIZE 28
#define SOURCE_POOL_STRING_COUNT (LAUNCHER_ICON_DENSITY_COUNT + 1)
#define SOURCE_POOL_STRINGS_START (STRING_POOL_HEADER_SIZE + 4 * SOURCE_POOL_STRING_COUNT)

static const char *source_pool_string(uint32_t index)
{
    return index < LAUNCHER_ICON_DENSITY_COUNT ? launcher_icon_densities[index].path
                                               : "res/resources.xml";
}

/* Writes text at chunk + at as a length in UTF-16 units, the units and a 0
 * unit; returns the offset after it, or 0 when memory ran out. */
static size_t put_pool_string(uint8_t *chunk, size_t at, const char *text)
{
    uint32_t count;
    uint8_t *units = utf16le_from_utf8(text, &count);
    if (!units)
        return 0;
    le_put_u16(chunk + at, (uint16_t)count);
    SDL_memcpy(chunk + at + 2, units, 2 * ((size_t)count + 1)); /* with its zero unit */
    SDL_free(units);
    return at + 2 * ((size_t)count + 2);
}

uint8_t *build_source_pool_chunk(size_t *size)
{
    size_t text_length = 0;
    for (uint32_t i = 0; i < SOURCE_POOL_STRING_COUNT; i++)
        text_length += SDL_strlen(source_pool_string(i));
    /* Strings, their length and end units, the header, offsets and padding. */
    size_t capacity = 2 * text_length + 4 * SOURCE_POOL_STRING_COUNT + SOURCE_POOL_STRINGS_START + 4;
    uint8_t *chunk = (uint8_t *)SDL_calloc(1, capacity);
    if (!chunk)
        return NULL;
    le_put_u16(chunk, STRING_POOL_TYPE);
    le_put_u16(chunk + 2, STRING_POOL_HEADER_SIZE);
    le_put_u32(chunk + 8, SOURCE_POOL_STRING_COUNT);
    le_put_u32(chunk + 12, 0);                         /* styles */
    le_put_u32(chunk + 16, 0);                         /* UTF-16, unsorted */
    le_put_u32(chunk + 20, SOURCE_POOL_STRINGS_START);
    le_put_u32(chunk + 24, 0);                         /* no styles */
    size_t end = SOURCE_POOL_STRINGS_START;
    for (uint32_t i = 0; i < SOURCE_POOL_STRING_COUNT; i++) {
        le_put_u32(chunk + STRING_POOL_HEADER_SIZE + 4 * i,
                   (uint32_t)(end - SOURCE_POOL_STRINGS_START));
        end = put_pool_string(chunk, end, source_pool_string(i));
        if (!end) {
            SDL_free(chunk);
            return NULL;
        }
    }
    end = (end + 3) & ~(size_t)3; /* the calloc'd padding unit is already 0 */
    le_put_u32(chunk + 4, (uint32_t)end);
    *size = end;
    return chunk;
}
