/*
 * libscanstrip: a sample native extension for the game engine.
 *
 * The engine loads the library, calls kiln_register_c_extensions_with_api()
 * with its state and its extension interface table, and from then on may call
 * the one method the library registers: FFI::CExt.update_scanner_texture. The
 * method hands the engine a 10x10 image, texture "scanner", with one green row
 * on black, and moves the row one step per call, bouncing between the top and
 * the bottom.
 *
 * This header is plain C so that the engine side (or a host that plays it)
 * can include it from C as well as C++.
 */
#ifndef SCANSTRIP_H
#define SCANSTRIP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The engine's state and its module handles are single machine words that
 * the library hands back to the engine without looking at them. */
typedef uintptr_t KilnState;
typedef uintptr_t KilnValue;

/* How the engine calls a registered method: its state and the receiver. */
typedef int32_t (*KilnMethod)(KilnState state, KilnValue self);

/* A slot of the table that this library never calls. */
typedef void (*KilnUnusedSlot)(void);

/*
 * The engine's extension interface table, as far as this library uses it:
 * one function pointer per slot, numbered from 0. Only slots 2, 4, 7 and 21
 * are called; the others hold their place so that those four sit at the
 * offsets the engine gives them.
 */
typedef struct KilnApi {
    KilnUnusedSlot unused_0;
    KilnUnusedSlot unused_1;
    /* slot 2: a top-level module of that name. */
    KilnValue (*define_module)(KilnState state, const char *name);
    KilnUnusedSlot unused_3;
    /* slot 4: a module of that name inside outer. */
    KilnValue (*define_module_under)(KilnState state, KilnValue outer, const char *name);
    KilnUnusedSlot unused_5;
    KilnUnusedSlot unused_6;
    /* slot 7: registers func as the module function name of module;
     * arg_spec describes the arguments it takes (0: none). */
    KilnValue (*define_module_function)(KilnState state, KilnValue module, const char *name,
                                        KilnMethod func, int32_t arg_spec);
    KilnUnusedSlot unused_8;
    KilnUnusedSlot unused_9;
    KilnUnusedSlot unused_10;
    KilnUnusedSlot unused_11;
    KilnUnusedSlot unused_12;
    KilnUnusedSlot unused_13;
    KilnUnusedSlot unused_14;
    KilnUnusedSlot unused_15;
    KilnUnusedSlot unused_16;
    KilnUnusedSlot unused_17;
    KilnUnusedSlot unused_18;
    KilnUnusedSlot unused_19;
    KilnUnusedSlot unused_20;
    /* slot 21: replaces the texture name with width x height 32-bit pixels,
     * row-major; pixels is valid only during the call. */
    int32_t (*update_texture)(const char *name, int32_t width, int32_t height,
                              const uint32_t *pixels);
} KilnApi;

#if defined(__GNUC__)
#define SCANSTRIP_EXPORT __attribute__((visibility("default")))
#else
#define SCANSTRIP_EXPORT
#endif

/* Registers FFI::CExt.update_scanner_texture with the engine through api and
 * returns what define_module_function returned. Registering again uses the
 * new table; the row position carries on. */
SCANSTRIP_EXPORT KilnValue kiln_register_c_extensions_with_api(KilnState state, KilnApi *api);

/* Paints the row, hands the image to the engine as "scanner" and moves the
 * row on. Returns 0; before any registration it returns 0 and does nothing. */
SCANSTRIP_EXPORT int32_t update_scanner_texture(KilnState state, KilnValue self);

#ifdef __cplusplus
}
#endif

#endif
