/* The engine log: every module appends lines (subsystem, level, text) to one
 * in-memory queue from any thread; the owner of the main loop drains the
 * queue to the log file (CRLF), standard output (optionally coloured) and
 * the debugger output. engine/log_settings configures it from the eight
 * "log." cvars through the calls under "Configuration" below. */
#ifndef BRINDLECOT_ENGINE_LOG_H
#define BRINDLECOT_ENGINE_LOG_H

#include <stdint.h>

#include "engine/helpers.h"

typedef uint32_t LogLevel;
enum {
    LOG_LEVEL_SPAM = 0,
    LOG_LEVEL_DEBUG = 1,
    LOG_LEVEL_INFO = 2,
    LOG_LEVEL_WARN = 3,
    LOG_LEVEL_ERROR = 4,
    LOG_LEVEL_UNFILTERED = 0x7FFFFFFE,
    LOG_LEVEL_NOTHING = 0x7FFFFFFF
};

typedef struct LogLine {
    LogLevel level;
    /* SDL's 64-bit ticks: a 32-bit count would wrap after 49.7 days. */
    uint64_t timestamp_ms;
    char *subsystem; /* inside the same allocation */
    char *text;      /* inside the same allocation */
    struct LogLine *next;
} LogLine;

/* printf-style checks of the format arguments. */
#define LOG_PRINTF(a, b) HELPERS_PRINTF(a, b)

int log_init(void);
void log_shutdown(void);

void log_spam(const char *subsystem, const char *fmt, ...) LOG_PRINTF(2, 3);
void log_debug(const char *subsystem, const char *fmt, ...) LOG_PRINTF(2, 3);
void log_info(const char *subsystem, const char *fmt, ...) LOG_PRINTF(2, 3);
void log_warn(const char *subsystem, const char *fmt, ...) LOG_PRINTF(2, 3);
void log_error(const char *subsystem, const char *fmt, ...) LOG_PRINTF(2, 3);
void log_unfiltered(const char *subsystem, const char *fmt, ...) LOG_PRINTF(2, 3);


/* Once configured, a line that takes the queue past LOG_QUEUE_BOUND bytes
 * of text is followed by a drain on the appending thread: a flood keeps
 * memory flat and loses no line. Text is escaped (control characters and
 * invalid UTF-8 as \xHH) when it is written out. */
#define LOG_QUEUE_BOUND (1024u * 1024u)
void log_append(const char *subsystem, LogLevel level, const char *text);

LogLine *log_take_queue(void);
void log_write_lines(LogLine *first);
void log_free_lines(LogLine *first);
/* take, write, free: the one way every user writes the queue out. */
void log_drain(void);

/* Configuration. The writer reads these switches for every line, so the
 * "log." cvars that are bound to them take effect at the next drain. */
typedef struct LogOutputSwitches {
    int32_t to_stdout;
    int32_t timing;
    int32_t level_char;
    int32_t subsystem;
    int32_t stdout_color;
} LogOutputSwitches;
LogOutputSwitches *log_output_switches(void);
/* The level a "log.level" name stands for; 0 when the name is none. */
int log_level_by_name(const char *name, LogLevel *level);
void log_set_threshold(LogLevel threshold);
/* Adds a log subsystem to drop, unless one equal ignoring case is there. */
int log_add_filter(const char *subsystem);
/* Opens the log file at this path in the write directory, truncating it
 * (engine/out_file's OUT_FILE_REWRITE). 1, or 0 with errno telling why. */
int log_open_file(const char *path);
/* From here on appended lines are filtered; lines queued before get the
 * same filter now. */
void log_finish_configuration(void);

/* Inspection for tests. */
LogLevel log_get_threshold(void);
int log_filter_count_get(void);
const char *log_filter_get(int index);

#endif
