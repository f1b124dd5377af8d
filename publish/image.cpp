#include "publish/image.h"

#include <SDL.h>
#include <physfs.h>

#include <limits.h>
#include <stdlib.h>

#include <lodepng.h>

/* stb_image is compiled here, once, on SDL's allocator, so the pixels it
 * returns are SDL allocations like every other buffer that crosses modules.
 * All input comes through the PhysicsFS callbacks below, never stdio. */
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#define STBI_MALLOC(size) SDL_malloc(size)
#define STBI_REALLOC(p, size) SDL_realloc((p), (size))
#define STBI_FREE(p) SDL_free(p)
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#endif
#include <stb/stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

/* A read error counts as the end of the file: stb_image treats a short
 * read as truncated data and fails the decode, whereas a negative count
 * would be taken as a length and run its cursor backwards. */
static int image_io_read(void *user, char *data, int size)
{
    if (size <= 0)
        return 0;
    PHYSFS_sint64 n = PHYSFS_readBytes((PHYSFS_File *)user, data, (PHYSFS_uint64)size);
    return n < 0 ? 0 : (int)n;
}

static void image_io_skip(void *user, int n)
{
    PHYSFS_File *f = (PHYSFS_File *)user;
    PHYSFS_sint64 pos = PHYSFS_tell(f);
    if (pos < 0 || pos + n < 0)
        return; /* the next read then fails the decode */
    PHYSFS_seek(f, (PHYSFS_uint64)(pos + n));
}

static int image_io_eof(void *user)
{
    return PHYSFS_eof((PHYSFS_File *)user);
}

static const stbi_io_callbacks image_io_callbacks = {
    image_io_read,
    image_io_skip,
    image_io_eof,
};

uint8_t *load_image_rgba(const char *path, int *width, int *height)
{
    PHYSFS_File *f = PHYSFS_openRead(path);
    if (!f)
        return NULL;
    int w = 0, h = 0, channels = 0;
    stbi_uc *pixels = stbi_load_from_callbacks(&image_io_callbacks, f, &w, &h, &channels, 4);
    PHYSFS_close(f);
    if (!pixels)
        return NULL;
    if (width)
        *width = w;
    if (height)
        *height = h;
    return pixels;
}

void free_image(uint8_t *pixels)
{
    SDL_free(pixels);
}

/* A fully transparent pixel has no colour worth keeping; clearing it gives
 * the same 0, 0, 0, 0 that blending onto the empty target would. */
static void clear_transparent_pixels(SDL_Surface *s)
{
    for (int y = 0; y < s->h; y++) {
        uint8_t *p = (uint8_t *)s->pixels + (size_t)y * s->pitch;
        for (int x = 0; x < s->w; x++, p += 4)
            if (p[3] == 0)
                p[0] = p[1] = p[2] = 0;
    }
}

/* LodePNG allocates with libc; the caller gets an SDL buffer. */
static uint8_t *encode_surface_png(const SDL_Surface *s, size_t *out_size)
{
    if (s->pitch != s->w * 4)
        return NULL; /* LodePNG wants rows without padding */
    LodePNGState state;
    lodepng_state_init(&state);
    unsigned char *png = NULL;
    size_t png_size = 0;
    unsigned error = lodepng_encode(&png, &png_size, (const unsigned char *)s->pixels,
                                    (unsigned)s->w, (unsigned)s->h, &state);
    lodepng_state_cleanup(&state);
    uint8_t *result = NULL;
    if (!error && png && png_size > 0) {
        result = (uint8_t *)SDL_malloc(png_size);
        if (result) {
            SDL_memcpy(result, png, png_size);
            *out_size = png_size;
        }
    }
    free(png);
    return result;
}

uint8_t *encode_png_scaled(const uint8_t *rgba, int width, int height,
                           uint32_t target_width, uint32_t target_height,
                           size_t *out_size)
{
    if (!rgba || !out_size || width <= 0 || height <= 0 || width > INT_MAX / 4 ||
        target_width > INT_MAX / 4 || target_height > INT_MAX)
        return NULL;
    /* The wrapper never writes to the pixels: it is only a blit source or
     * the encoder's input. */
    SDL_Surface *wrapper = SDL_CreateRGBSurfaceWithFormatFrom(
        (void *)rgba, width, height, 32, width * 4, SDL_PIXELFORMAT_ABGR8888);
    if (!wrapper)
        return NULL;

    SDL_Surface *encoded = wrapper;
    if (target_width && target_height &&
        (target_width != (uint32_t)width || target_height != (uint32_t)height)) {
        SDL_Surface *target = SDL_CreateRGBSurfaceWithFormat(
            0, (int)target_width, (int)target_height, 32, SDL_PIXELFORMAT_ABGR8888);
        if (!target) {
            SDL_FreeSurface(wrapper);
            return NULL;
        }
        /* A plain copy, not a blend onto the transparent target: the PNG
         * holds straight alpha, and blending would premultiply the colour
         * of every half-transparent pixel (darkening soft edges). */
        SDL_SetSurfaceBlendMode(wrapper, SDL_BLENDMODE_NONE);
        SDL_BlitScaled(wrapper, NULL, target, NULL);
        SDL_FreeSurface(wrapper);
        clear_transparent_pixels(target);
        encoded = target;
    }

    uint8_t *png = encode_surface_png(encoded, out_size);
    SDL_FreeSurface(encoded);
    return png;
}
