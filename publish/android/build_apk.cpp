#include "publish/android/build_apk.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/android/activity_dex.h"
#include "publish/android/android_manifest.h"
#include "publish/android/binary_xml.h"
#include "publish/android/launcher_icons.h"
#include "publish/android/resource_table.h"
#include "publish/android/xml_tree.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"
#include "publish/files/staging.h"
#include "publish/archive/zip_writer.h"

#include <SDL.h>
#include <physfs.h>

/* The build's own paths, all SDL allocations. */
typedef struct ApkPaths {
    char *tree;   /* builds/<gameid>-<platform>-<version> */
    char *assets; /* <tree>/assets: the staged game */
    char *stub;   /* the platform's runtime tree, the root of the package */
} ApkPaths;

static const char *apk_value(const char *value)
{
    return value ? value : "";
}

static int apk_make_paths(ApkPaths *p, const char *platform)
{
    p->tree = alloc_printf("builds/%s-%s-%s", apk_value(game_metadata_gameid), platform,
                           apk_value(game_metadata_version));
    p->assets = p->tree ? alloc_printf("%s/assets", p->tree) : NULL;
    p->stub = alloc_printf(".brindlecot/stubs/%s/stub", platform);
    if (!p->assets || !p->stub) {
        report_out_of_memory();
        return 0;
    }
    return 1;
}

static void apk_free_paths(ApkPaths *p)
{
    SDL_free(p->tree);
    SDL_free(p->assets);
    SDL_free(p->stub);
}

/* A missing stub tree would enumerate as empty and give a package without
 * the runtime's classes. */
static int apk_stub_tree_exists(const char *stub)
{
    PHYSFS_Stat st;
    if (!PHYSFS_stat(stub, &st)) {
        publish_log_error("Failed to stat '%s': %s", stub, fs_error_text());
        return 0;
    }
    if (st.filetype != PHYSFS_FILETYPE_DIRECTORY) {
        publish_log_error("Android stub '%s' is not a directory", stub);
        return 0;
    }
    return 1;
}

/* A fresh build tree: the runtime tree at its root, the staged game under
 * assets. Nothing of an earlier build survives. */
static int apk_assemble_tree(const ApkPaths *p, const char *platform, const char *game_dir)
{
    if (!delete_tree(p->tree) || !apk_stub_tree_exists(p->stub))
        return 0;
    fs_mkdir(p->tree); /* a failure shows up as the first copy's */
    return PHYSFS_enumerate(p->stub, copy_tree_entry, p->tree) &&
           stage_game_tree(platform, game_dir, p->assets);
}

/* The binary XML writer logs its own write and seek failures. */
static const OutputTexts apk_manifest_texts = {
    {"Opening ", " for write failed"},
    {"Write in ", " failed"},
    {"Closing ", " failed"},
};

/* Writes the parsed manifest as binary XML; the file is closed in every
 * case. */
static int apk_write_binary_manifest(const char *path, XmlTreeNode *document)
{
    PHYSFS_File *out = output_open(path, &apk_manifest_texts);
    if (!out)
        return 0;
    AxmlWriter writer;
    SDL_zero(writer);
    writer.path = path;
    writer.out = out;
    axml_collect_strings(&writer, document);
    int ok = axml_write_file(&writer, document);
    axml_free_pool(&writer);
    if (ok)
        return output_close(out, path, &apk_manifest_texts);
    output_abandon(out);
    return 0;
}

static int apk_cook_manifest(const char *tree, const char *platform, const char *game_dir)
{
    char *text = load_android_manifest(platform, game_dir);
    if (!text)
        return 0;
    fs_mkdir(tree);
    char *path = alloc_printf("%s/AndroidManifest.xml", tree);
    if (!path) {
        report_out_of_memory();
        SDL_free(text);
        return 0;
    }
    publish_log_info("Cooking Android manifest to '%s'...", path);
    int ok = 0;
    XmlTreeNode *document = parse_xml_tree(text);
    if (document) {
        ok = apk_write_binary_manifest(path, document);
        free_xml_tree(document);
    }
    SDL_free(path);
    SDL_free(text);
    return ok;
}

int build_android_apk(const char *platform, const char *out_path, const char *game_dir)
{
    ApkPaths p;
    SDL_zero(p);
    int ok = apk_make_paths(&p, platform) && apk_assemble_tree(&p, platform, game_dir) &&
             write_android_icons(p.tree, game_dir) && write_activity_dex(p.tree) &&
             write_resources_arsc(p.tree) && apk_cook_manifest(p.tree, platform, game_dir) &&
             zip_directory_storing(out_path, p.tree, 1, "resources.arsc");
    if (!ok)
        PHYSFS_delete(out_path); /* a package of an earlier run must not pass for this one */
    apk_free_paths(&p);
    return ok;
}
