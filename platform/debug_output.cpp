#include "platform/debug_output.h"

#include <stddef.h>

static DebugOutputSink debug_sink = NULL;
static void *debug_sink_user = NULL;

void debug_output_write(const uint16_t *text)
{
    if (debug_sink && text)
        debug_sink(text, debug_sink_user);
}

void debug_output_set_sink(DebugOutputSink sink, void *user)
{
    debug_sink = sink;
    debug_sink_user = user;
}
