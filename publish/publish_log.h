/* The publisher's messages: one line in the "Publish" log subsystem, written
 * out at once together with whatever else is queued, so a long publish shows
 * its progress as it goes. */
#ifndef BRINDLECOT_PUBLISH_LOG_H
#define BRINDLECOT_PUBLISH_LOG_H

#include "engine/log.h"
#include "engine/tree_walk.h"

void publish_log_error(const char *fmt, ...) LOG_PRINTF(1, 2);
void publish_log_warn(const char *fmt, ...) LOG_PRINTF(1, 2);
void publish_log_info(const char *fmt, ...) LOG_PRINTF(1, 2);
void report_out_of_memory(void);

/* One line of text at level, as the functions above write theirs. */
void publish_log_line(LogLevel level, const char *text);

/* The options of a publisher walk (TREE_WALK_ flags): its lines and its
 * memory failures reported as every other publisher message. */
TreeWalkOptions publish_walk_options(unsigned flags);

#endif
