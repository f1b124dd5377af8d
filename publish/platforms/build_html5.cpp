#include "publish/platforms/build_html5.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "engine/text_escape.h"
#include "publish/archive/byte_io.h"
#include "publish/files/output_file.h"
#include "publish/images/image.h"
#include "publish/publish_log.h"
#include "publish/files/file_copy.h"
#include "publish/platforms/package.h"

#include <SDL.h>
#include <physfs.h>

#define HTML5_WEB_ROOT ".brindlecot/stubs/html5/stub"
#define HTML5_LOADER_BODY ".brindlecot/stubs/html5/brindlecot-html5-loader.js"
#define FAVICON_SIZE 512

static const char MANIFEST_OPEN[] = "{\n";
static const char MANIFEST_CLOSE[] = "\t\"\" : {}\n}\n";

/* State of one manifest walk. */
typedef struct ManifestJsonContext {
    const char *manifest_path; /* for messages */
    OutFile *out;              /* the open manifest */
} ManifestJsonContext;

char *html5_loader_header(const char *gameid, const char *gametitle, const char *devtitle,
                          const char *version, const char *icon)
{
    const char *values[5] = {gameid, gametitle, devtitle, version, icon};
    char *escaped[5] = {NULL, NULL, NULL, NULL, NULL};
    char *header = NULL;
    int ok = 1;
    for (int i = 0; i < 5; i++)
        if (!(escaped[i] = js_string_escape(values[i])))
            ok = 0;
    if (ok)
        header = alloc_printf("var GBrindlecotGameId = '%s';\n"
                              "var GBrindlecotGameTitle = '%s';\n"
                              "var GBrindlecotDevTitle = '%s';\n"
                              "var GBrindlecotGameVersion = '%s';\n"
                              "var GBrindlecotIcon = '/%s';\n\n",
                              escaped[0], escaped[1], escaped[2], escaped[3], escaped[4]);
    for (int i = 0; i < 5; i++)
        SDL_free(escaped[i]);
    return header;
}

/* The manifest's and the loader's files. */
static const OutputTexts html5_texts = {
    {"Failed to open ", " for write"},
    {"Write to ", " failed"},
    {"Closing out ", " failed"},
};

static int write_manifest_line(ManifestJsonContext *ctx, const TreeWalkEntry *e)
{
    const PHYSFS_Stat *st = e->st;
    char *key = json_string_escape(e->relative);
    char *line = key ? alloc_printf("\t\"%s\" : { \"filesize\" : %llu, \"filetime\" : %llu },\n",
                                    key, (unsigned long long)st->filesize,
                                    (unsigned long long)st->modtime)
                     : NULL;
    SDL_free(key);
    if (!line) {
        report_out_of_memory();
        return 0;
    }
    int ok = output_write(ctx->out, ctx->manifest_path, line, SDL_strlen(line), &html5_texts);
    SDL_free(line);
    return ok;
}

static int write_manifest_visit(void *context, const TreeWalkEntry *e)
{
    return e->is_directory || write_manifest_line((ManifestJsonContext *)context, e);
}

int write_manifest_json(const char *gamedata_dir, const char *manifest_path)
{
    OutFile *out = output_open(manifest_path, &html5_texts);
    if (!out)
        return 0;
    ManifestJsonContext ctx = {manifest_path, out};
    TreeWalkOptions walk = publish_walk_options(TREE_WALK_SKIP_EXCLUDED);
    size_t open_length = sizeof(MANIFEST_OPEN) - 1;
    size_t close_length = sizeof(MANIFEST_CLOSE) - 1;
    if (!output_write(out, manifest_path, MANIFEST_OPEN, open_length, &html5_texts) ||
        !tree_walk(gamedata_dir, &walk, write_manifest_visit, &ctx)) {
        output_abandon(out);
        return 0;
    }
    /* The empty last key keeps the object valid after the trailing comma of
     * the last file line. */
    if (!byte_io_write_all(out, MANIFEST_CLOSE, close_length)) {
        publish_log_error("Failed write to json manifest: %s", byte_io_error());
        output_abandon(out);
        return 0;
    }
    return output_close(out, manifest_path, &html5_texts);
}

static int write_loader_file(const char *path, const char *header)
{
    OutFile *out = output_open(path, &html5_texts);
    if (!out)
        return 0;
    if (!output_write(out, path, header, SDL_strlen(header), &html5_texts) ||
        !copy_stream(out, path, HTML5_LOADER_BODY)) {
        output_abandon(out);
        return 0;
    }
    return output_close(out, path, &html5_texts);
}

static int write_loader(const PlatformBuild *b, const char *path, void *unused)
{
    (void)b;
    (void)unused;
    publish_log_info("Preparing JavaScript loader...");
    char *header = html5_loader_header(game_metadata_gameid, game_metadata_gametitle,
                                       game_metadata_devtitle, game_metadata_version,
                                       game_metadata_icon);
    if (!header) {
        report_out_of_memory();
        return 0;
    }
    int ok = write_loader_file(path, header);
    SDL_free(header);
    return ok;
}

/* user: the staged game's directory. */
static int write_manifest(const PlatformBuild *b, const char *path, void *gamedata)
{
    (void)b;
    publish_log_info("Writing json manifest...");
    return write_manifest_json((const char *)gamedata, path);
}

static int convert_favicon(const char *image, const char *favicon)
{
    publish_log_info("Converting '%s' to favicon '%s'...", image, favicon);
    int width = 0, height = 0;
    uint8_t *pixels = load_image_rgba(image, &width, &height);
    if (!pixels) {
        publish_log_error("Failed to load image '%s'", image);
        return 0;
    }
    size_t size = 0;
    uint8_t *png = encode_png_scaled(pixels, width, height, FAVICON_SIZE, FAVICON_SIZE, &size);
    SDL_free(pixels);
    if (!png) {
        publish_log_error("Failed to convert image '%s' to PNG", image);
        return 0;
    }
    int ok = write_file_ex(0, favicon, png, size);
    SDL_free(png);
    if (!ok)
        publish_log_error("Failed to write favicon to disk!");
    return ok;
}

static int write_favicon(const PlatformBuild *b, const char *favicon, void *unused)
{
    (void)unused;
    char *image = alloc_printf("%s/%s", b->game_dir, game_metadata_icon);
    if (!image) {
        report_out_of_memory();
        return 0;
    }
    int ok = convert_favicon(image, favicon);
    SDL_free(image);
    return ok;
}

int build_html5_site(const PlatformBuild *b)
{
    char *site = alloc_printf("builds/%s-html5-%s", game_metadata_gameid, game_metadata_version);
    char *gamedata = site ? alloc_printf("%s/gamedata", site) : NULL;
    if (!gamedata) {
        SDL_free(site);
        report_out_of_memory();
        return 0;
    }
    /* A missing web root would copy as an empty directory and give a site
     * without its index.html that still counts as built. */
    const PackagePart parts[] = {
        {PACKAGE_PART_TREE, "", HTML5_WEB_ROOT, "The HTML5 stub has no web root directory",
         NULL, NULL},
        {PACKAGE_PART_MADE, "brindlecot-html5-loader.js", NULL, NULL, write_loader, NULL},
        {PACKAGE_PART_GAME, "gamedata", NULL, NULL, NULL, NULL},
        {PACKAGE_PART_MADE, "manifest.json", NULL, NULL, write_manifest, gamedata},
        {PACKAGE_PART_MADE, "favicon.png", NULL, NULL, write_favicon, NULL},
    };
    PackageSpec spec = {site, parts, package_part_count(parts), package_zip_options(1, NULL),
                        NULL, "html5", NULL};
    int ok = package_build(b, &spec);
    SDL_free(gamedata);
    SDL_free(site);
    return ok;
}
