#include "publish/platforms/build_html5.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "engine/text_escape.h"
#include "publish/archive/byte_io.h"
#include "publish/files/output_file.h"
#include "publish/images/image.h"
#include "publish/publish_log.h"
#include "publish/files/staging.h"
#include "publish/archive/zip_writer.h"

#include <SDL.h>
#include <physfs.h>

#define HTML5_WEB_ROOT ".brindlecot/stubs/html5/stub"
#define HTML5_LOADER_BODY ".brindlecot/stubs/html5/brindlecot-html5-loader.js"
#define FAVICON_SIZE 512

static const char MANIFEST_OPEN[] = "{\n";
static const char MANIFEST_CLOSE[] = "\t\"\" : {}\n}\n";

/* State of one manifest walk. */
typedef struct ManifestJsonContext {
    const char *root_dir;      /* the gamedata directory; paths are relative to it */
    const char *manifest_path; /* for messages */
    PHYSFS_File *out;          /* the open manifest */
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

static int write_manifest_line(ManifestJsonContext *ctx, const char *path,
                               const PHYSFS_Stat *st)
{
    size_t root_length = SDL_strlen(ctx->root_dir);
    char *key = json_string_escape(path + root_length + 1);
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

/* Walks subdirectories itself. */
static PHYSFS_EnumerateCallbackResult write_manifest_json_entry(void *data, const char *origdir,
                                                         const char *name)
{
    ManifestJsonContext *ctx = (ManifestJsonContext *)data;
    if (is_excluded_name(name))
        return PHYSFS_ENUM_OK;
    char *path = alloc_printf("%s/%s", origdir, name);
    if (!path) {
        report_out_of_memory();
        return PHYSFS_ENUM_ERROR;
    }
    PHYSFS_EnumerateCallbackResult result = PHYSFS_ENUM_OK;
    PHYSFS_Stat st;
    if (!PHYSFS_stat(path, &st)) {
        publish_log_error("stat of '%s' failed: %s", path, fs_error_text());
        result = PHYSFS_ENUM_ERROR;
    } else if (st.filetype == PHYSFS_FILETYPE_DIRECTORY) {
        if (!walk_directory(path, write_manifest_json_entry, ctx))
            result = PHYSFS_ENUM_ERROR;
    } else if (st.filetype == PHYSFS_FILETYPE_REGULAR) {
        if (!write_manifest_line(ctx, path, &st))
            result = PHYSFS_ENUM_ERROR;
    }
    SDL_free(path);
    return result;
}

int write_manifest_json(const char *gamedata_dir, const char *manifest_path)
{
    PHYSFS_File *out = output_open(manifest_path, &html5_texts);
    if (!out)
        return 0;
    ManifestJsonContext ctx = {gamedata_dir, manifest_path, out};
    size_t open_length = sizeof(MANIFEST_OPEN) - 1;
    size_t close_length = sizeof(MANIFEST_CLOSE) - 1;
    if (!output_write(out, manifest_path, MANIFEST_OPEN, open_length, &html5_texts) ||
        !walk_directory(gamedata_dir, write_manifest_json_entry, &ctx)) {
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

/* A missing web root would walk as an empty directory and give a site
 * without its index.html that still counts as built. */
static int copy_web_root(const char *site)
{
    PHYSFS_Stat st;
    if (!PHYSFS_stat(HTML5_WEB_ROOT, &st) || st.filetype != PHYSFS_FILETYPE_DIRECTORY) {
        publish_log_error("The HTML5 stub has no web root directory '%s'", HTML5_WEB_ROOT);
        return 0;
    }
    fs_mkdir(site);
    return walk_directory(HTML5_WEB_ROOT, copy_tree_entry, (void *)site);
}

static int write_loader_file(const char *path, const char *header)
{
    PHYSFS_File *out = output_open(path, &html5_texts);
    if (!out)
        return 0;
    if (!output_write(out, path, header, SDL_strlen(header), &html5_texts) ||
        !copy_stream(out, path, HTML5_LOADER_BODY)) {
        output_abandon(out);
        return 0;
    }
    return output_close(out, path, &html5_texts);
}

static int write_loader(const char *site)
{
    publish_log_info("Preparing JavaScript loader...");
    char *path = alloc_printf("%s/brindlecot-html5-loader.js", site);
    char *header = html5_loader_header(game_metadata_gameid, game_metadata_gametitle,
                                       game_metadata_devtitle, game_metadata_version,
                                       game_metadata_icon);
    int ok = 0;
    if (!path || !header)
        report_out_of_memory();
    else
        ok = write_loader_file(path, header);
    SDL_free(path);
    SDL_free(header);
    return ok;
}

static int write_manifest(const char *site, const char *gamedata)
{
    publish_log_info("Writing json manifest...");
    char *path = alloc_printf("%s/manifest.json", site);
    if (!path) {
        report_out_of_memory();
        return 0;
    }
    int ok = write_manifest_json(gamedata, path);
    SDL_free(path);
    return ok;
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

static int write_favicon(const char *site, const char *game_dir)
{
    char *image = alloc_printf("%s/%s", game_dir, game_metadata_icon);
    char *favicon = alloc_printf("%s/favicon.png", site);
    int ok = 0;
    if (!image || !favicon)
        report_out_of_memory();
    else
        ok = convert_favicon(image, favicon);
    SDL_free(image);
    SDL_free(favicon);
    return ok;
}

int build_html5_site(const char *platform, const char *out_path, const char *game_dir,
                     BuiltPlatform *builds)
{
    (void)platform;
    char *site = alloc_printf("builds/%s-html5-%s", game_metadata_gameid, game_metadata_version);
    char *gamedata = site ? alloc_printf("%s/gamedata", site) : NULL;
    if (!gamedata) {
        SDL_free(site);
        report_out_of_memory();
        return 0;
    }

    int ok = delete_tree(site) && copy_web_root(site) && write_loader(site) &&
             stage_game_tree("html5", game_dir, gamedata) && write_manifest(site, gamedata) &&
             write_favicon(site, game_dir) && zip_directory(out_path, site, 1);
    if (!ok)
        PHYSFS_delete(out_path);
    if (!built_platform_add(builds, "html5", site, 1))
        ok = 0;
    SDL_free(gamedata);
    SDL_free(site);
    return ok;
}
