#include "publish/android/build_apk.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/android/activity_dex.h"
#include "publish/android/android_checks.h"
#include "publish/android/android_manifest.h"
#include "publish/android/binary_xml.h"
#include "publish/android/launcher_icons.h"
#include "publish/android/resource_table.h"
#include "publish/android/xml_tree.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"
#include "publish/platforms/package.h"

#include <SDL.h>
#include <physfs.h>

/* The build's own paths, all SDL allocations. */
typedef struct ApkPaths {
    char *tree;   /* builds/<gameid>-<platform>-<version> */
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
    p->stub = alloc_printf(".brindlecot/stubs/%s/stub", platform);
    if (!p->tree || !p->stub) {
        report_out_of_memory();
        return 0;
    }
    return 1;
}

static void apk_free_paths(ApkPaths *p)
{
    SDL_free(p->tree);
    SDL_free(p->stub);
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
    OutFile *out = output_open(path, &apk_manifest_texts);
    if (!out)
        return 0;
    AxmlWriter writer;
    SDL_zero(writer);
    writer.path = path;
    writer.out = out;
    int ok = axml_collect_strings(&writer, document) && axml_write_file(&writer, document);
    axml_free_pool(&writer);
    if (ok)
        return output_close(out, path, &apk_manifest_texts);
    output_abandon(out);
    return 0;
}

static int apk_cook_manifest(const PlatformBuild *b, const char *tree, void *unused)
{
    (void)unused;
    XmlTreeNode *document = parse_android_manifest(b->platform, b->game_dir);
    if (!document)
        return 0;
    fs_mkdir(tree);
    char *path = alloc_printf("%s/AndroidManifest.xml", tree);
    int ok = 0;
    if (!path) {
        report_out_of_memory();
    } else {
        publish_log_info("Cooking Android manifest to '%s'...", path);
        ok = apk_write_binary_manifest(path, document);
    }
    free_xml_tree(document);
    SDL_free(path);
    return ok;
}

int apk_part_check_stub(const PlatformBuild *b, const char *dir, void *bundle)
{
    (void)dir;
    return check_android_stub(b->platform, bundle != NULL);
}

int apk_part_icons(const PlatformBuild *b, const char *dir, void *unused)
{
    (void)unused;
    return write_android_icons(dir, b->game_dir);
}

int apk_part_dex(const PlatformBuild *b, const char *dir, void *unused)
{
    (void)b;
    (void)unused;
    return write_activity_dex(dir);
}

static int apk_write_resources(const PlatformBuild *b, const char *tree, void *unused)
{
    (void)b;
    (void)unused;
    return write_resources_arsc(tree);
}

/* The runtime tree at the root of the package, the staged game under
 * assets, then what the build makes of the game. */
int build_android_apk(const PlatformBuild *b)
{
    ApkPaths p;
    SDL_zero(p);
    int ok = check_android_package_id() && apk_make_paths(&p, b->platform);
    if (ok) {
        const PackagePart parts[] = {
            {PACKAGE_PART_TREE, "", p.stub, NULL, NULL, NULL},
            {PACKAGE_PART_MADE, "", NULL, NULL, apk_part_check_stub, NULL},
            {PACKAGE_PART_GAME, "assets", NULL, NULL, NULL, NULL},
            {PACKAGE_PART_MADE, "", NULL, NULL, apk_part_icons, NULL},
            {PACKAGE_PART_MADE, "", NULL, NULL, apk_part_dex, NULL},
            {PACKAGE_PART_MADE, "", NULL, NULL, apk_write_resources, NULL},
            {PACKAGE_PART_MADE, "", NULL, NULL, apk_cook_manifest, NULL},
        };
        /* The resource table is mapped from the package, not inflated. */
        PackageSpec spec = {p.tree, parts, package_part_count(parts),
                            package_zip_options(1, "resources.arsc"), NULL, NULL, NULL};
        ok = package_build(b, &spec);
    } else {
        package_delete_earlier(b->out_path);
    }
    apk_free_paths(&p);
    return ok;
}
