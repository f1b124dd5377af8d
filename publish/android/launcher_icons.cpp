#include "publish/android/launcher_icons.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/images/image.h"
#include "publish/publish_log.h"

#include <SDL.h>
#include <physfs.h>

#include <stddef.h>
#include <stdint.h>

typedef struct LauncherDensity {
    const char *name;
    uint32_t size;
} LauncherDensity;

static const LauncherDensity launcher_densities[] = {
    {"mdpi", 48}, {"hdpi", 72}, {"xhdpi", 96}, {"xxhdpi", 144}, {"xxxhdpi", 192},
};

/* One density: 1 written, 0 after its error line. */
static int write_launcher_icon(const char *build_root, const char *source,
                               const LauncherDensity *density)
{
    char *dir = alloc_printf("%s/res/mipmap-%s-v4", build_root, density->name);
    char *path = dir ? alloc_printf("%s/ic_launcher.png", dir) : NULL;
    if (!path) {
        report_out_of_memory();
        SDL_free(dir);
        return 0;
    }
    fs_mkdir(dir); /* a failure shows up as the write's */
    SDL_free(dir);
    publish_log_info("Converting '%s' to Android icon '%s'...", source, path);

    int ok = 0;
    int width = 0, height = 0;
    /* Decoded again for every density: the source is one small image. */
    uint8_t *pixels = load_image_rgba(source, &width, &height);
    size_t png_size = 0;
    uint8_t *png = pixels ? encode_png_scaled(pixels, width, height, density->size,
                                              density->size, &png_size)
                          : NULL;
    int loaded = pixels != NULL;
    SDL_free(pixels);
    if (!loaded)
        publish_log_error("Failed to load image '%s'", source);
    else if (!png)
        publish_log_error("Failed to convert image '%s' to PNG", source);
    else if (!write_file_ex(0, path, png, png_size))
        publish_log_error("Failed to write Android icon to disk!");
    else
        ok = 1;
    SDL_free(png);
    SDL_free(path);
    return ok;
}

int write_android_icons(const char *build_root, const char *game_dir)
{
    char *source = alloc_printf("%s/%s", game_dir, game_metadata_icon ? game_metadata_icon : "");
    if (!source) {
        report_out_of_memory();
        return 0;
    }
    int ok = 1;
    for (size_t i = 0; ok && i < SDL_arraysize(launcher_densities); i++)
        ok = write_launcher_icon(build_root, source, &launcher_densities[i]);
    SDL_free(source);
    return ok;
}
