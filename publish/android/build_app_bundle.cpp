#include "publish/android/build_app_bundle.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/android/activity_dex.h"
#include "publish/android/android_manifest.h"
#include "publish/android/bundle_protobuf.h"
#include "publish/android/launcher_icons.h"
#include "publish/android/xml_tree.h"
#include "publish/publish_log.h"
#include "publish/files/staging.h"
#include "publish/platforms/package.h"

#include <SDL.h>
#include <physfs.h>

typedef struct BundlePaths {
    char *tree;     /* builds/<gameid>-<platform>-<version> */
    char *base;     /* the base module */
    char *assets;   /* the staged game */
    char *manifest; /* directory of the protobuf manifest */
    char *dex;      /* brought by the stub tree */
    char *stub;     /* the installation's base module files */
} BundlePaths;

static void free_bundle_paths(BundlePaths *paths)
{
    SDL_free(paths->tree);
    SDL_free(paths->base);
    SDL_free(paths->assets);
    SDL_free(paths->manifest);
    SDL_free(paths->dex);
    SDL_free(paths->stub);
}

static int format_bundle_paths(BundlePaths *paths, const char *platform)
{
    SDL_zerop(paths);
    paths->tree = alloc_printf("builds/%s-%s-%s", game_metadata_gameid, platform,
                               game_metadata_version);
    paths->base = paths->tree ? alloc_printf("%s/base", paths->tree) : NULL;
    if (paths->base) {
        paths->assets = alloc_printf("%s/assets", paths->base);
        paths->manifest = alloc_printf("%s/manifest", paths->base);
        paths->dex = alloc_printf("%s/dex", paths->base);
    }
    paths->stub = alloc_printf(".brindlecot/stubs/%s/stub", platform);
    if (!paths->assets || !paths->manifest || !paths->dex || !paths->stub) {
        report_out_of_memory();
        return 0;
    }
    return 1;
}

/* The stub's runtime files first, so the generated icons and dex replace
 * any of the same name and the stub brings the dex directory. */
static int stage_base_module(const PlatformBuild *b, const BundlePaths *paths)
{
    if (!delete_tree(paths->tree))
        return 0;
    fs_mkdir(paths->base); /* a failure shows up as the copy's */
    if (!copy_tree(paths->stub, paths->base))
        return 0;
    return stage_game_tree(&b->native, b->game_dir, paths->assets) &&
           write_android_icons(paths->base, b->game_dir) && write_activity_dex(paths->dex);
}

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

static int write_manifest(const char *platform, const char *game_dir, const BundlePaths *paths)
{
    char *text = load_android_manifest(platform, game_dir);
    if (!text)
        return 0;
    XmlTreeNode *document = parse_xml_tree(text);
    SDL_free(text);
    if (!document)
        return 0;
    fs_mkdir(paths->manifest);
    pb_ostream_t stream;
    char *path = open_pb_file_stream(&stream, "%s/AndroidManifest.xml", paths->manifest);
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

static int write_bundle_config(const BundlePaths *paths)
{
    android_bundle_BundleConfig config;
    fill_bundle_config(&config);
    return write_pb_record(paths->tree, "BundleConfig.pb", android_bundle_BundleConfig_fields,
                           &config);
}

static int write_resource_table(const BundlePaths *paths)
{
    PbBytes pool;
    pool.data = build_source_pool_chunk(&pool.size);
    if (!pool.data) {
        report_out_of_memory();
        return 0;
    }
    aapt_pb_ResourceTable table;
    fill_resource_table(&table, &pool);
    int ok = write_pb_record(paths->base, "resources.pb", aapt_pb_ResourceTable_fields,
                             &table);
    SDL_free((void *)pool.data);
    return ok;
}

int build_app_bundle(const PlatformBuild *b)
{
    const char *platform = b->platform, *out_path = b->out_path, *game_dir = b->game_dir;
    ZipOptions options = package_zip_options(0, NULL);
    BundlePaths paths;
    /* The configuration comes before the resource table, so a failed
     * BundleConfig.pb leaves no resources.pb behind. */
    int ok = format_bundle_paths(&paths, platform) &&
             stage_base_module(b, &paths) &&
             write_manifest(platform, game_dir, &paths) && write_bundle_config(&paths) &&
             write_resource_table(&paths) && zip_directory(b->zip_run, out_path, paths.tree, &options);
    if (!ok)
        PHYSFS_delete(out_path);
    free_bundle_paths(&paths);
    return ok;
}
