#include "publish/platforms/build_macos.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "engine/text_escape.h"
#include "publish/archive/byte_io.h"
#include "publish/files/output_file.h"
#include "publish/images/icons.h"
#include "publish/publish_log.h"
#include "publish/files/file_copy.h"
#include "publish/platforms/package.h"

#include <SDL.h>
#include <physfs.h>

#define MACOS_STUB ".brindlecot/stubs/macos"

/* Zip readers take the bundle's directory name as UTF-8, so invalid bytes
 * of a title are mended, as in the property list. */
char *macos_bundle_name(const char *title)
{
    char *name = utf8_mend(title);
    if (!name)
        return NULL;
    for (char *p = name; *p; p++) {
        unsigned char c = (unsigned char)*p;
        if (c < 0x20 || c == '/' || c == ':' || c == '\\')
            *p = '_';
    }
    return name;
}

static const char PLIST_TEMPLATE[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "\t<key>CFBundleDevelopmentRegion</key>\n"
    "\t<string>English</string>\n"
    "\t<key>CFBundleDisplayName</key>\n"
    "\t<string>%s</string>\n"
    "\t<key>CFBundleExecutable</key>\n"
    "\t<string>%s</string>\n"
    "\t<key>CFBundleIconFile</key>\n"
    "\t<string>%s.icns</string>\n"
    "\t<key>CFBundleIdentifier</key>\n"
    "\t<string>%s</string>\n"
    "\t<key>CFBundleInfoDictionaryVersion</key>\n"
    "\t<string>6.0</string>\n"
    "\t<key>CFBundleName</key>\n"
    "\t<string>%s</string>\n"
    "\t<key>CFBundlePackageType</key>\n"
    "\t<string>APPL</string>\n"
    "\t<key>CFBundleShortVersionString</key>\n"
    "\t<string>%s</string>\n"
    "\t<key>CFBundleSupportedPlatforms</key>\n"
    "\t<array>\n"
    "\t<string>MacOSX</string>\n"
    "\t</array>\n"
    "</dict>\n"
    "</plist>\n";

char *macos_info_plist(const char *title, const char *gameid, const char *packageid,
                       const char *version)
{
    char *t = xml_text_escape(title);
    char *g = xml_text_escape(gameid);
    char *p = xml_text_escape(packageid);
    char *v = xml_text_escape(version);
    char *text = NULL;
    if (t && g && p && v)
        text = alloc_printf(PLIST_TEMPLATE, t, g, g, p, g, v);
    SDL_free(t);
    SDL_free(g);
    SDL_free(p);
    SDL_free(v);
    return text;
}

static const OutputTexts plist_texts = {
    {"Couldn't open ", " for writing"},
    {"Couldn't write to ", ""},
    {"Couldn't write ", " to disk"},
};

/* The executable is patched in place: the rest of the file is kept. */
static const OutputTexts executable_texts = {
    {"Couldn't open ", " for modify"},
    {"Write to ", " failed"},
    {"Couldn't write ", " to disk"},
};

static int make_bundle_dir(const char *bundle, const char *sub)
{
    char *path = alloc_printf("%s/%s", bundle, sub);
    if (!path) {
        report_out_of_memory();
        return 0;
    }
    int ok = fs_mkdir(path);
    if (!ok)
        publish_log_error("Couldn't create directory '%s': %s", path, fs_error_text());
    SDL_free(path);
    return ok;
}

/* The stub keeps the executable's first four bytes complemented; flip them
 * back in the copy. Every step is checked, so a copy that still carries the
 * stored bytes never ships. */
static int restore_executable_header(const char *exe)
{
    unsigned char head[4];
    PHYSFS_File *in = PHYSFS_openRead(exe);
    if (!in) {
        publish_log_error("Couldn't open '%s' for read: %s", exe, fs_error_text());
        return 0;
    }
    if (!byte_io_read_all(in, head, sizeof(head))) {
        publish_log_error("Read from '%s' failed: %s", exe, byte_io_error());
        PHYSFS_close(in);
        return 0;
    }
    PHYSFS_close(in);
    for (size_t i = 0; i < sizeof(head); i++)
        head[i] = (unsigned char)~head[i];

    /* The staged copy is the publisher's own: anything else found at its
     * name (a link, a second name of another file) is refused, never
     * written through. */
    OutFile *out = output_open_existing(exe, &executable_texts);
    if (!out)
        return 0;
    if (!output_write(out, exe, head, sizeof(head), &executable_texts)) {
        output_abandon(out);
        return 0;
    }
    return output_close(out, exe, &executable_texts);
}

static int install_executable(const char *bundle)
{
    char *exe = alloc_printf("%s/Contents/MacOS/%s", bundle, game_metadata_gameid);
    if (!exe) {
        report_out_of_memory();
        return 0;
    }
    int ok = copy_file(exe, MACOS_STUB) && restore_executable_header(exe) &&
             make_executable(exe);
    SDL_free(exe);
    return ok;
}

static int install_icon(const char *bundle, const char *game_dir)
{
    char *icns = alloc_printf("%s/Contents/Resources/%s.icns", bundle, game_metadata_gameid);
    char *image = alloc_printf("%s/%s", game_dir, game_metadata_icon);
    int ok = 0;
    if (!icns || !image)
        report_out_of_memory();
    else
        ok = make_macos_icon(icns, image);
    SDL_free(icns);
    SDL_free(image);
    return ok;
}

static int install_plist(const char *bundle)
{
    char *text = macos_info_plist(game_metadata_gametitle, game_metadata_gameid,
                                  game_metadata_packageid, game_metadata_version);
    char *path = alloc_printf("%s/Contents/Info.plist", bundle);
    int ok = 0;
    if (!text || !path)
        report_out_of_memory();
    else
        ok = output_write_file(path, text, SDL_strlen(text), &plist_texts);
    SDL_free(text);
    SDL_free(path);
    return ok;
}

/* Everything of the bundle at path but the game: its directories, the
 * executable, the icon and the property list. */
static int make_bundle(const PlatformBuild *b, const char *bundle, void *unused)
{
    (void)unused;
    publish_log_info("Making macOS app bundle '%s'...", bundle);
    if (SDL_strlen(bundle) > MACOS_BUNDLE_PATH_MAX) {
        publish_log_error("App bundle name ('%s') is too long", bundle);
        return 0;
    }
    return make_bundle_dir(bundle, "Contents/Resources") &&
           make_bundle_dir(bundle, "Contents/MacOS") && install_executable(bundle) &&
           install_icon(bundle, b->game_dir) && install_plist(bundle);
}

static char *bundle_path_for(const char *root)
{
    char *name = macos_bundle_name(game_metadata_gametitle);
    if (!name)
        return NULL;
    char *bundle = alloc_printf("%s/%s.app", root, name);
    SDL_free(name);
    return bundle;
}

int build_macos_bundle(const PlatformBuild *b)
{
    char *root = alloc_printf("builds/%s-mac-%s", game_metadata_gameid, game_metadata_version);
    if (!root) {
        report_out_of_memory();
        return 0;
    }
    char *bundle = bundle_path_for(root);
    char *resources = bundle ? alloc_printf("%s/Contents/Resources", bundle) : NULL;
    if (!resources) {
        SDL_free(bundle);
        SDL_free(root);
        report_out_of_memory();
        return 0;
    }
    /* The archive's top level is the bundle directory. */
    size_t below_root = SDL_strlen(root) + 1;
    const PackagePart parts[] = {
        {PACKAGE_PART_MADE, bundle + below_root, NULL, NULL, make_bundle, NULL},
        {PACKAGE_PART_GAME, resources + below_root, NULL, NULL, NULL, NULL},
    };
    PackageSpec spec = {root, parts, package_part_count(parts), package_zip_options(1, NULL),
                        NULL, "macos", bundle};
    int ok = package_build(b, &spec);
    SDL_free(resources);
    SDL_free(bundle);
    SDL_free(root);
    return ok;
}
