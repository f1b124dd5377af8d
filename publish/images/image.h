/* Image glue for every icon the publisher makes: decode an image file of
 * the virtual file system to 8-bit RGBA, and scale RGBA pixels to a square
 * (or any) size and encode them as a PNG in memory.
 *
 * Pixel buffers are 8-bit R, G, B, A, rows top-down with no padding (a row
 * is width * 4 bytes). Pixel and PNG buffers are SDL allocations that the
 * caller frees with SDL_free. The loader logs why an image that is there
 * cannot be used (not a regular file, empty, its size, the decoder's
 * reason); callers then report the NULL result in their own words. Main
 * thread only. */
#ifndef BRINDLECOT_PUBLISH_IMAGE_H
#define BRINDLECOT_PUBLISH_IMAGE_H

#include <stddef.h>
#include <stdint.h>

/* The largest image the loader decodes; its header is checked before any
 * pixel memory is taken (64 million pixels are 256 MB of RGBA). The fuzz
 * build sets lower ones, so that each run stays short. */
#ifndef IMAGE_MAX_SIDE
#define IMAGE_MAX_SIDE 16384u
#endif
#ifndef IMAGE_MAX_PIXELS
#define IMAGE_MAX_PIXELS 64000000u
#endif

/* PNG (LodePNG), JPEG (libjpeg-turbo) and the other formats stb_image reads
 * (GIF, BMP, PSD, TGA, HDR, PNM, ...), chosen by the file's content: 16-bit
 * samples reduced to their high byte, alpha 255 where the file has none.
 * An image over IMAGE_MAX_SIDE on a side or IMAGE_MAX_PIXELS in all is
 * refused with an error line ("Publish") giving its size. width and height
 * (either may be NULL) are written only on success. */
uint8_t *load_image_rgba(const char *path, int *width, int *height);

/* Encodes rgba (not changed, not freed) as a PNG of target_width x
 * target_height, scaled by nearest-pixel sampling with straight alpha kept.
 * A target of 0 in either dimension keeps the image's size; an image at its
 * own size is encoded byte for byte. *out_size gets the PNG's length. */
uint8_t *encode_png_scaled(const uint8_t *rgba, int width, int height,
                           uint32_t target_width, uint32_t target_height,
                           size_t *out_size);

void free_image(uint8_t *pixels);

#endif
