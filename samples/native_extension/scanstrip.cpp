// libscanstrip: registers one method that animates a 10x10 "scanner" texture.
//
// The library must stay free-standing: it is built with the compiler driver
// alone, without the C++ runtime, and may call nothing of libc (not even
// memset), so it keeps to plain loops over its own stack array.

#include "scanstrip.h"

#include <cstddef>

// The engine finds these slots by position; a field added or dropped above
// one of them would silently shift every later call.
static_assert(offsetof(KilnApi, define_module) == 2 * sizeof(void *), "slot 2");
static_assert(offsetof(KilnApi, define_module_under) == 4 * sizeof(void *), "slot 4");
static_assert(offsetof(KilnApi, define_module_function) == 7 * sizeof(void *), "slot 7");
static_assert(offsetof(KilnApi, update_texture) == 21 * sizeof(void *), "slot 21");
static_assert(sizeof(KilnState) == sizeof(void *) && sizeof(KilnValue) == sizeof(void *),
              "state and handles are machine words");

static const int32_t SCANNER_SIZE = 10;  // width and height
// Read as ARGB, or as little-endian R, G, B, A bytes: opaque black and green.
static const uint32_t SCANNER_BACKGROUND = 0xFF000000u;
static const uint32_t SCANNER_ROW = 0xFF00FF00u;

static KilnApi *kiln_api;  // the table of the latest registration
static int32_t pos;        // the row the next call paints
static uint8_t posinc;     // 0: the row moves down after painting, 1: up

KilnValue kiln_register_c_extensions_with_api(KilnState state, KilnApi *api)
{
    kiln_api = api;
    KilnValue ffi = kiln_api->define_module(state, "FFI");
    KilnValue cext = kiln_api->define_module_under(state, ffi, "CExt");
    return kiln_api->define_module_function(state, cext, "update_scanner_texture",
                                            update_scanner_texture, 0);
}

// Moves the row one step. The two ends turn differently on purpose: past row
// 9 the row restarts from 9 (row 9 is painted twice in a row), past row 0 it
// restarts from 1 (row 0 only once), so after the first call the rows repeat
// every 19 calls.
static void scanner_step(void)
{
    pos = posinc ? pos - 1 : pos + 1;
    if (pos >= SCANNER_SIZE && !posinc) {
        pos = SCANNER_SIZE - 1;
        posinc = 1;
    } else if (pos < 0 && posinc) {
        pos = 1;
        posinc = 0;
    }
}

int32_t update_scanner_texture(KilnState, KilnValue)
{
    // The engine only reaches the method through a registration; a stray
    // call before one has no table to hand the image to.
    if (!kiln_api)
        return 0;

    uint32_t pixels[SCANNER_SIZE * SCANNER_SIZE];
    for (int32_t i = 0; i < SCANNER_SIZE * SCANNER_SIZE; i++)
        pixels[i] = SCANNER_BACKGROUND;
    for (int32_t x = 0; x < SCANNER_SIZE; x++)
        pixels[pos * SCANNER_SIZE + x] = SCANNER_ROW;

    scanner_step();

    // The engine copies what it needs before returning; its verdict changes
    // nothing here.
    kiln_api->update_texture("scanner", SCANNER_SIZE, SCANNER_SIZE, pixels);
    return 0;
}
