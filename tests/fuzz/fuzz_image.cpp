/* libFuzzer target for the image loader: any file a game may name as its
 * icon. A decoded image must stay within the size bounds, and its whole
 * pixel buffer must be there (every byte is read, so the sanitizers see a
 * short one); small images also go through the PNG encoder. */
#include "fuzz_support.h"

#include "publish/images/image.h"

#include <SDL.h>

/* Where the pixel checksum goes, so the compiler keeps the reads. */
static volatile uint32_t fuzz_image_sink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_support_init();
    fuzz_write_file("icon.png", data, size);
    int w = -1, h = -1;
    uint8_t *pixels = load_image_rgba("icon.png", &w, &h);
    if (!pixels) {
        FUZZ_CHECK(w == -1 && h == -1);
    } else {
        FUZZ_CHECK(w > 0 && h > 0 && (uint64_t)w <= IMAGE_MAX_SIDE &&
                   (uint64_t)h <= IMAGE_MAX_SIDE &&
                   (uint64_t)w * (uint64_t)h <= IMAGE_MAX_PIXELS);
        uint32_t sum = 0;
        size_t bytes = (size_t)w * (size_t)h * 4;
        for (size_t i = 0; i < bytes; i++)
            sum = sum * 31 + pixels[i];
        if ((uint64_t)w * (uint64_t)h <= 64 * 64) {
            size_t png_size = 0;
            uint8_t *png = encode_png_scaled(pixels, w, h, 16, 16, &png_size);
            FUZZ_CHECK(png != NULL && png_size > 0);
            SDL_free(png);
        }
        SDL_free(pixels);
        fuzz_image_sink = sum;
    }
    fuzz_discard_log();
    return 0;
}
