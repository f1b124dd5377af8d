#include "publish/android/build_app_bundle.h"

#include "publish/android/build_apk.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/android/android_checks.h"
#include "publish/android/android_manifest.h"
#include "publish/android/bundle_protobuf.h"
#include "publish/android/xml_tree.h"
#include "publish/publish_log.h"
#include "publish/platforms/package.h"

#include <SDL.h>
#include <physfs.h>

/* Closes the stream's file and reports how much went into it. 1 when the
 * close succeeded. */
static int close_pb_file(pb_ostream_t *stream, const char *path)
{
    if (!close_pb_file_stream(stream, path))
        return 0;
    if (stream->bytes_written != 0)
        publish_log_info("Wrote %llu bytes to protobuffer %s",
                         (unsigned long long)stream->bytes_written, path);
    return 1;
}

/* The protobuf manifest in the directory dir. */
static int write_manifest(const PlatformBuild *b, const char *dir, void *unused)
{
    (void)unused;
    XmlTreeNode *document = parse_android_manifest(b->platform, b->game_dir);
    if (!document)
        return 0;
    fs_mkdir(dir);
    pb_ostream_t stream;
    char *path = open_pb_file_stream(&stream, "%s/AndroidManifest.xml", dir);
    if (!path) {
        free_xml_tree(document);
        return 0;
    }
    publish_log_info("Cooking Android manifest to '%s'...", path);
    void *first = document->first_child;
    int ok = encode_xml_node(&stream, NULL, &first);
    free_xml_tree(document);
    ok = close_pb_file(&stream, path) && ok;
    SDL_free(path);
    return ok;
}

/* Encodes one record into the file dir/name. */
static int write_pb_record(const char *dir, const char *name, const pb_msgdesc_t *fields,
                           const void *record)
{
    pb_ostream_t stream;
    char *path = open_pb_file_stream(&stream, "%s/%s", dir, name);
    if (!path)
        return 0;
    int ok = pb_encode(&stream, fields, record);
    if (!ok)
        publish_log_error("Encoding protobuffer %s failed: %s", path, PB_GET_ERROR((&stream)));
    ok = close_pb_file(&stream, path) && ok;
    SDL_free(path);
    return ok;
}

static int write_bundle_config(const PlatformBuild *b, const char *tree, void *unused)
{
    (void)b;
    (void)unused;
    android_bundle_BundleConfig config;
    fill_bundle_config(&config);
    return write_pb_record(tree, "BundleConfig.pb", android_bundle_BundleConfig_fields, &config);
}

/* The title as the bundle holds it: its strings must be UTF-8, so
 * malformed bytes become '?' as in the APK's resource table. NULL after the
 * out-of-memory line. */
static char *bundle_app_name(void)
{
    const char *title = game_metadata_gametitle ? game_metadata_gametitle : "";
    size_t first_bad = 0;
    char *name = utf8_mend_to_question_marks(title, &first_bad);
    if (!name)
        report_out_of_memory();
    else if (title[first_bad] != '\0')
        publish_log_warn("WARNING: The game title (metadata key gametitle) is not valid UTF-8; "
                         "its malformed bytes are written as '?'");
    return name;
}

/* resources.pb in the base module directory base. */
static int write_resource_table(const PlatformBuild *b, const char *base, void *unused)
{
    (void)b;
    (void)unused;
    char *app_name = bundle_app_name();
    PbBytes pool;
    pool.data = app_name ? build_source_pool_chunk(&pool.size) : NULL;
    if (!pool.data) {
        if (app_name)
            report_out_of_memory();
        SDL_free(app_name);
        return 0;
    }
    aapt_pb_ResourceTable table;
    fill_resource_table(&table, &pool, app_name);
    int ok = write_pb_record(base, "resources.pb", aapt_pb_ResourceTable_fields, &table);
    SDL_free((void *)pool.data);
    SDL_free(app_name);
    return ok;
}

int build_app_bundle(const PlatformBuild *b)
{
    char *tree = alloc_printf("builds/%s-%s-%s", game_metadata_gameid, b->platform,
                              game_metadata_version);
    char *stub = alloc_printf(".brindlecot/stubs/%s/stub", b->platform);
    int ok = 0;
    if (!tree || !stub) {
        report_out_of_memory();
        package_delete_earlier(b->out_path);
    } else if (!check_android_package_id() || !check_bundle_title()) {
        package_delete_earlier(b->out_path);
    } else {
        /* The stub's runtime files first, so the generated icons and dex
         * replace any of the same name and the stub brings the dex
         * directory. The configuration comes before the resource table, so
         * a failed BundleConfig.pb leaves no resources.pb behind. */
        const PackagePart parts[] = {
            {PACKAGE_PART_TREE, "base", stub, NULL, NULL, NULL},
            {PACKAGE_PART_MADE, "", NULL, NULL, apk_part_check_stub, (void *)"bundle"},
            {PACKAGE_PART_GAME, "base/assets", NULL, NULL, NULL, NULL},
            {PACKAGE_PART_MADE, "base", NULL, NULL, apk_part_icons, NULL},
            {PACKAGE_PART_MADE, "base/dex", NULL, NULL, apk_part_dex, NULL},
            {PACKAGE_PART_MADE, "base/manifest", NULL, NULL, write_manifest, NULL},
            {PACKAGE_PART_MADE, "", NULL, NULL, write_bundle_config, NULL},
            {PACKAGE_PART_MADE, "base", NULL, NULL, write_resource_table, NULL},
        };
        PackageSpec spec = {tree, parts, package_part_count(parts), package_zip_options(0, NULL),
                            NULL, NULL, NULL};
        ok = package_build(b, &spec);
    }
    SDL_free(tree);
    SDL_free(stub);
    return ok;
}
