/* What the fuzz targets over files share: the file system and log brought
 * up once, the input written to a file of the write directory, and the log
 * lines of each run thrown away (they would pile up in the queue). */
#ifndef BRINDLECOT_FUZZ_SUPPORT_H
#define BRINDLECOT_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond))                                                                       \
            __builtin_trap();                                                              \
    } while (0)

/* SDL (no subsystems), the log, PhysicsFS on SDL's allocator with a fresh
 * temporary directory as search path and write directory, and the game
 * metadata cvars at their defaults. Once per process; traps on failure. */
void fuzz_support_init(void);

/* Writes data to path (relative to the temporary directory); traps when
 * the write fails, since nothing after it would mean anything. */
void fuzz_write_file(const char *path, const uint8_t *data, size_t size);

/* Frees the lines queued by the run. */
void fuzz_discard_log(void);

#endif
