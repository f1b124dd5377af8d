/* The debugger's output channel. Nothing listens on it here, so by default a
 * write goes nowhere; tests install a sink to see what was sent. */
#ifndef BRINDLECOT_PLATFORM_DEBUG_OUTPUT_H
#define BRINDLECOT_PLATFORM_DEBUG_OUTPUT_H

#include <stdint.h>

/* Receives one NUL-terminated UTF-16 text per write. */
typedef void (*DebugOutputSink)(const uint16_t *text, void *user);

void debug_output_write(const uint16_t *text);

/* NULL removes the sink. Not thread-safe: set it before logging starts. */
void debug_output_set_sink(DebugOutputSink sink, void *user);

#endif
