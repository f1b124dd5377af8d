/* The publisher's messages: one line in the "Publish" log subsystem, written
 * out at once together with whatever else is queued, so a long publish shows
 * its progress as it goes. */
#ifndef BRINDLECOT_PUBLISH_LOG_H
#define BRINDLECOT_PUBLISH_LOG_H

#include "engine/log.h"

void publish_log_error(const char *fmt, ...) LOG_PRINTF(1, 2);
void publish_log_warn(const char *fmt, ...) LOG_PRINTF(1, 2);
void publish_log_info(const char *fmt, ...) LOG_PRINTF(1, 2);
void report_out_of_memory(void);

#endif
