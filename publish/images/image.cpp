#include "publish/images/image.h"

#include <SDL.h>
#include <physfs.h>

#include <limits.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

#include <jpeglib.h>
#include <lodepng.h>

#include "publish/publish_log.h"

/* stb_image is compiled here, once, on SDL's allocator, so the pixels it
 * returns are SDL allocations like every other buffer that crosses modules.
 * All input comes through the PhysicsFS callbacks below, never stdio. */
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
/* Its JPEG decoder writes out of bounds on crafted Huffman tables, so it
 * is left out; JPEG goes to libjpeg-turbo and PNG to LodePNG below. */
#define STBI_NO_JPEG
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

/* Checked on the dimensions a header declares, before any pixel memory is
 * taken: a few bytes of GIF header can otherwise ask for gigabytes. */
static int image_size_allowed(const char *path, uint64_t w, uint64_t h)
{
    if (w == 0 || h == 0) {
        publish_log_error("Image '%s' is %llu x %llu pixels: an icon needs at least one",
                          path, (unsigned long long)w, (unsigned long long)h);
        return 0;
    }
    if (w <= IMAGE_MAX_SIDE && h <= IMAGE_MAX_SIDE && w * h <= IMAGE_MAX_PIXELS)
        return 1;
    publish_log_error("Image '%s' is %llu x %llu pixels, more than %u on a side or %u in all",
                      path, (unsigned long long)w, (unsigned long long)h,
                      (unsigned)IMAGE_MAX_SIDE, (unsigned)IMAGE_MAX_PIXELS);
    return 0;
}

/* The whole file as an SDL buffer; PNG and JPEG are decoded from memory. */
static uint8_t *image_read_file(PHYSFS_File *f, size_t *size)
{
    PHYSFS_sint64 len = PHYSFS_fileLength(f);
    if (len <= 0 || (uint64_t)len > SIZE_MAX || PHYSFS_seek(f, 0) == 0)
        return NULL;
    uint8_t *data = (uint8_t *)SDL_malloc((size_t)len);
    if (!data)
        return NULL;
    if (PHYSFS_readBytes(f, data, (PHYSFS_uint64)len) != len) {
        SDL_free(data);
        return NULL;
    }
    *size = (size_t)len;
    return data;
}

/* LodePNG allocates with libc and gives 16-bit samples their high byte
 * when converting to 8-bit RGBA; the caller gets an SDL buffer. */
static uint8_t *image_decode_png(const char *path, const uint8_t *data, size_t size, int *w,
                                 int *h)
{
    unsigned width = 0, height = 0;
    LodePNGState state;
    lodepng_state_init(&state);
    unsigned error = lodepng_inspect(&width, &height, &state, data, size);
    lodepng_state_cleanup(&state);
    if (!error && !image_size_allowed(path, width, height))
        return NULL;
    unsigned char *decoded = NULL;
    if (!error)
        error = lodepng_decode32(&decoded, &width, &height, data, size);
    if (error)
        publish_log_error("Image '%s' is not a PNG that can be read: %s", path,
                          lodepng_error_text(error));
    uint8_t *pixels = NULL;
    if (!error && decoded) {
        size_t bytes = (size_t)width * height * 4;
        pixels = (uint8_t *)SDL_malloc(bytes);
        if (pixels)
            SDL_memcpy(pixels, decoded, bytes);
    }
    free(decoded);
    if (pixels) {
        *w = (int)width;
        *h = (int)height;
    }
    return pixels;
}

/* libjpeg reports a fatal error by calling error_exit, which must not
 * return: it jumps back into image_decode_jpeg. Warnings about corrupt
 * data are not printed; the caller says in its own words what failed. */
struct ImageJpegError {
    struct jpeg_error_mgr mgr;
    jmp_buf jump;
};

static void image_jpeg_error_exit(j_common_ptr cinfo)
{
    longjmp(((ImageJpegError *)cinfo->err)->jump, 1);
}

static void image_jpeg_output_message(j_common_ptr cinfo)
{
}

/* CMYK (and YCCK, which libjpeg turns into CMYK) files are stored inverted
 * by the programs that write them, so each channel times K gives RGB. */
static void image_cmyk_row_to_rgba(uint8_t *row, JDIMENSION width)
{
    for (JDIMENSION x = 0; x < width; x++) {
        uint8_t *p = row + (size_t)x * 4;
        unsigned k = p[3];
        p[0] = (uint8_t)((p[0] * k + 127) / 255);
        p[1] = (uint8_t)((p[1] * k + 127) / 255);
        p[2] = (uint8_t)((p[2] * k + 127) / 255);
        p[3] = 255;
    }
}

/* Everything that libjpeg may jump out of lives in this function's caller
 * or in the decompress record, so the longjmp leaves nothing behind but
 * the pixel buffer, which the record's owner frees. */
static int image_jpeg_run(struct jpeg_decompress_struct *cinfo, ImageJpegError *err,
                          const char *path, const uint8_t *data, size_t size, uint8_t **pixels)
{
    if (setjmp(err->jump))
        return 0;
    jpeg_mem_src(cinfo, data, (unsigned long)size);
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK)
        return 0;
    if (!image_size_allowed(path, cinfo->image_width, cinfo->image_height))
        return 0;
    int cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
    cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
    jpeg_start_decompress(cinfo);
    if (cinfo->output_components != 4)
        return 0;
    size_t row_bytes = (size_t)cinfo->output_width * 4;
    *pixels = (uint8_t *)SDL_malloc(row_bytes * cinfo->output_height);
    if (!*pixels)
        return 0;
    while (cinfo->output_scanline < cinfo->output_height) {
        uint8_t *row = *pixels + row_bytes * cinfo->output_scanline;
        JSAMPROW rows[1] = {row};
        if (jpeg_read_scanlines(cinfo, rows, 1) != 1)
            return 0;
        if (cmyk)
            image_cmyk_row_to_rgba(row, cinfo->output_width);
    }
    jpeg_finish_decompress(cinfo);
    return 1;
}

static uint8_t *image_decode_jpeg(const char *path, const uint8_t *data, size_t size, int *w,
                                  int *h)
{
    struct jpeg_decompress_struct cinfo;
    ImageJpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = image_jpeg_error_exit;
    err.mgr.output_message = image_jpeg_output_message;
    jpeg_create_decompress(&cinfo);
    uint8_t *pixels = NULL;
    int ok = image_jpeg_run(&cinfo, &err, path, data, size, &pixels);
    if (ok) {
        *w = (int)cinfo.output_width;
        *h = (int)cinfo.output_height;
    }
    jpeg_destroy_decompress(&cinfo);
    if (!ok) {
        publish_log_error("Image '%s' is not a JPEG that can be read", path);
        SDL_free(pixels);
        return NULL;
    }
    return pixels;
}

/* Two faults of stb_image's binary PNM (P5, P6) reader are kept from it
 * here: it reads the header's numbers into an int without a bound (a long
 * run of digits overflows it; ten digits are far past the size limit
 * anyway), and it converts 16-bit samples (a maximum over 255) as if they
 * were 8-bit, then reads twice the buffer it made. Such files are refused.
 * The header is looked for in the first 4 KiB. */
static int image_pnm_is_pnm_space(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static int image_pnm_header_ok(PHYSFS_File *f)
{
    uint8_t head[4096];
    if (PHYSFS_seek(f, 0) == 0)
        return 0;
    PHYSFS_sint64 got = PHYSFS_readBytes(f, head, sizeof head);
    if (got < 2 || head[0] != 'P' || (head[1] != '5' && head[1] != '6'))
        return 1;
    size_t length = (size_t)got, at = 2;
    for (int number = 0; number < 3; number++) { /* width, height, maximum */
        for (;;) {
            while (at < length && image_pnm_is_pnm_space(head[at]))
                at++;
            if (at >= length || head[at] != '#')
                break;
            while (at < length && head[at] != '\n' && head[at] != '\r')
                at++;
        }
        size_t digits = 0;
        uint32_t value = 0;
        while (at < length && head[at] >= '0' && head[at] <= '9') {
            if (++digits >= 10)
                return 0;
            value = value * 10 + (uint32_t)(head[at] - '0');
            at++;
        }
        if (number == 2 && value > 255)
            return 0;
        if (at >= length)
            return 1; /* the file ends inside the header: stb_image fails it */
        if (digits == 0)
            return 1; /* not a number: stb_image fails it */
    }
    return 1;
}

/* GIF, BMP, PSD, TGA, HDR, PNM and the rest, read through the callbacks.
 * The header is read once for the size check, then the file again from its
 * start for the pixels. */
static uint8_t *image_decode_stb(const char *path, PHYSFS_File *f, int *w, int *h)
{
    int channels = 0;
    if (!image_pnm_header_ok(f)) {
        publish_log_error("Image '%s' is a PNM file with 16-bit samples or a header out of "
                          "bounds, which the publisher does not read",
                          path);
        return NULL;
    }
    uint8_t *pixels = NULL;
    if (PHYSFS_seek(f, 0) != 0 && stbi_info_from_callbacks(&image_io_callbacks, f, w, h, &channels)) {
        /* stb_image's BMP header reader gives a top-down image's height
         * as stored, negative; its decoder reads such files correctly. */
        if (*h < 0 && *h != INT_MIN)
            *h = -*h;
        if (!image_size_allowed(path, (uint64_t)(*w > 0 ? *w : 0), (uint64_t)(*h > 0 ? *h : 0)))
            return NULL;
        if (PHYSFS_seek(f, 0) != 0)
            pixels = stbi_load_from_callbacks(&image_io_callbacks, f, w, h, &channels, 4);
    }
    if (!pixels)
        publish_log_error("Image '%s' is not in a format that can be read (PNG, JPEG, GIF, BMP, "
                          "TGA, PSD, HDR, PNM): %s",
                          path, stbi_failure_reason() ? stbi_failure_reason() : "unknown");
    return pixels;
}

/* The decoder is chosen by the file's first bytes, never by its name, so
 * PNG and JPEG always reach their own decoders. */
static const uint8_t image_png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
static const uint8_t image_jpeg_signature[2] = {0xFF, 0xD8};

uint8_t *load_image_rgba(const char *path, int *width, int *height)
{
    /* Opening a pipe would wait for a writer for ever. */
    PHYSFS_Stat st;
    if (PHYSFS_stat(path, &st) && st.filetype != PHYSFS_FILETYPE_REGULAR) {
        publish_log_error("Image '%s' is not a regular file", path);
        return NULL;
    }
    PHYSFS_File *f = PHYSFS_openRead(path);
    if (!f)
        return NULL;
    uint8_t head[8] = {0};
    PHYSFS_sint64 head_len = PHYSFS_readBytes(f, head, sizeof head);
    int w = 0, h = 0;
    uint8_t *pixels = NULL;
    int is_png = head_len == 8 && SDL_memcmp(head, image_png_signature, 8) == 0;
    int is_jpeg = head_len >= 2 && SDL_memcmp(head, image_jpeg_signature, 2) == 0;
    if (is_png || is_jpeg) {
        size_t size = 0;
        uint8_t *data = image_read_file(f, &size);
        if (data) {
            pixels = is_png ? image_decode_png(path, data, size, &w, &h)
                            : image_decode_jpeg(path, data, size, &w, &h);
            SDL_free(data);
        }
    } else if (head_len > 0 && PHYSFS_seek(f, 0) != 0) {
        pixels = image_decode_stb(path, f, &w, &h);
    } else if (head_len == 0) {
        publish_log_error("Image '%s' is empty", path);
    }
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
