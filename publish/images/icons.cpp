#include "publish/images/icons.h"

#include "publish/archive/byte_io.h"
#include "publish/files/output_file.h"
#include "publish/images/image.h"
#include "engine/helpers.h"
#include "publish/publish_log.h"

#include <SDL.h>
#include <physfs.h>

#include <stddef.h>
#include <stdint.h>

#define ICON_SIZE 512

typedef enum IconKind { ICON_WINDOWS, ICON_MACOS } IconKind;

static void put_be32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (24 - 8 * i));
}

/* The one-image .ico header: width and height 0 (256 or more), 32 bits per
 * pixel, the PNG right after the 22 header bytes. */
static size_t ico_header(uint8_t *h, uint32_t png_size)
{
    SDL_memset(h, 0, 22);
    le_put_u16(h + 2, 1);  /* resource type: icon */
    le_put_u16(h + 4, 1);  /* one image */
    le_put_u16(h + 10, 1); /* colour planes */
    le_put_u16(h + 12, 32);
    le_put_u32(h + 14, png_size);
    le_put_u32(h + 18, 22);
    return 22;
}

static size_t icns_header(uint8_t *h, uint32_t png_size)
{
    SDL_memcpy(h, "icns", 4);
    put_be32(h + 4, png_size + 16);
    SDL_memcpy(h + 8, "ic09", 4); /* the 512 x 512 PNG element */
    put_be32(h + 12, png_size + 8);
    return 16;
}

static const OutputTexts ico_texts = {
    {"Opening ", " for write failed"},
    {"Writing ico ", " failed"},
    {"Writing ico ", " failed"},
};

static const OutputTexts icns_texts = {
    {"Opening ", " for write failed"},
    {"Writing icns ", " failed"},
    {"Writing icns ", " failed"},
};

static uint8_t *make_icon_png(const char *image_path, size_t *png_size)
{
    int w, h;
    uint8_t *pixels = load_image_rgba(image_path, &w, &h);
    if (!pixels) {
        publish_log_error("Failed to load image '%s'", image_path);
        return NULL;
    }
    uint8_t *png = encode_png_scaled(pixels, w, h, ICON_SIZE, ICON_SIZE, png_size);
    SDL_free(pixels);
    if (!png)
        publish_log_error("Failed to convert image '%s' to PNG", image_path);
    return png;
}

static int write_icon_file(IconKind kind, const char *out_path, const uint8_t *png,
                           size_t png_size)
{
    const OutputTexts *texts = kind == ICON_WINDOWS ? &ico_texts : &icns_texts;
    /* Both formats record the length in 32 bits, the .icns with 16 more. */
    if (png_size > UINT32_MAX - 16) {
        output_log_failure(&texts->write_failed, out_path, "image too large");
        return 0;
    }
    uint8_t header[22];
    size_t header_size = kind == ICON_WINDOWS ? ico_header(header, (uint32_t)png_size)
                                              : icns_header(header, (uint32_t)png_size);
    OutFile *f = output_open_result(out_path, texts);
    if (!f)
        return 0;
    int ok = output_write(f, out_path, header, header_size, texts) &&
             output_write(f, out_path, png, png_size, texts);
    if (!ok)
        output_abandon(f);
    else
        ok = output_close(f, out_path, texts);
    return ok;
}

static int make_icon(IconKind kind, const char *out_path, const char *image_path)
{
    publish_log_info(kind == ICON_WINDOWS ? "Converting '%s' to Windows icon '%s'..."
                                          : "Converting '%s' to macOS icon '%s'...",
                     image_path, out_path);
    size_t png_size = 0;
    uint8_t *png = make_icon_png(image_path, &png_size);
    if (!png)
        return 0;
    int ok = write_icon_file(kind, out_path, png, png_size);
    SDL_free(png);
    return ok;
}

int make_windows_icon(const char *ico_path, const char *image_path)
{
    return make_icon(ICON_WINDOWS, ico_path, image_path);
}

int make_macos_icon(const char *icns_path, const char *image_path)
{
    return make_icon(ICON_MACOS, icns_path, image_path);
}
