#include "engine/log.h"

#include "engine/build_revision.h"
#include "engine/helpers.h"
#include "engine/out_file.h"
#include "engine/text_escape.h"
#include "platform/debug_output.h"

#include <SDL.h>
#include <physfs.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

static int log_initialized = 0;
static int log_configured = 0;
static SDL_mutex *log_mutex = NULL;
static LogLine *log_queue_head = NULL;
static LogLine *log_queue_tail = NULL;
static size_t log_queued_bytes = 0; /* text and subsystems on the queue */
/* Held while lines are written out, so that a drain started by a thread
 * that met a full queue never writes at the same time as the main loop's.
 * SDL's mutexes are recursive: a failed write may queue and drain again. */
static SDL_mutex *log_write_mutex = NULL;
static LogLevel log_threshold = LOG_LEVEL_DEBUG;
static char **log_filters = NULL;
static int log_filter_count = 0;
static OutFile *log_file = NULL;

/* Until configured, drains reach the debugger output only. */
static const LogOutputSwitches log_switches_unconfigured = {0, 1, 1, 1, 0};
static LogOutputSwitches log_switches = log_switches_unconfigured;

typedef struct LogLevelInfo {
    LogLevel level;
    const char *name;
    char character;
    int colour;
} LogLevelInfo;

static const LogLevelInfo log_levels[] = {
    {LOG_LEVEL_SPAM, "spam", '.', 90},
    {LOG_LEVEL_DEBUG, "debug", '?', 92},
    {LOG_LEVEL_INFO, "info", '-', 97},
    {LOG_LEVEL_WARN, "warn", '#', 93},
    {LOG_LEVEL_ERROR, "error", '!', 91},
    {LOG_LEVEL_UNFILTERED, "unfiltered", '*', 96},
    {LOG_LEVEL_NOTHING, "nothing", 0, 0},
};
#define LOG_LEVEL_COUNT ((int)SDL_arraysize(log_levels))

static const LogLevelInfo *level_info(LogLevel level)
{
    for (int i = 0; i < LOG_LEVEL_COUNT; i++)
        if (log_levels[i].level == level && log_levels[i].character)
            return &log_levels[i];
    return NULL;
}

static int subsystem_filtered(const char *subsystem)
{
    for (int i = 0; i < log_filter_count; i++)
        if (SDL_strcasecmp(log_filters[i], subsystem) == 0)
            return 1;
    return 0;
}

static int line_dropped(LogLevel level, const char *subsystem)
{
    return level < log_threshold || subsystem_filtered(subsystem);
}

void log_append(const char *subsystem, LogLevel level, const char *text)
{
    if (!log_initialized)
        return;
    if (!subsystem)
        subsystem = "???";
    if (!text)
        text = "(null)";
    if (log_configured && line_dropped(level, subsystem))
        return;
    size_t sub_len = SDL_strlen(subsystem) + 1;
    size_t text_len = SDL_strlen(text) + 1;
    LogLine *line = (LogLine *)SDL_malloc(sizeof(LogLine) + sub_len + text_len);
    if (!line)
        return;
    line->level = level;
    line->subsystem = (char *)(line + 1);
    line->text = line->subsystem + sub_len;
    SDL_memcpy(line->subsystem, subsystem, sub_len);
    SDL_memcpy(line->text, text, text_len);
    line->next = NULL;

    SDL_LockMutex(log_mutex);
    line->timestamp_ms = SDL_GetTicks64();
    if (log_queue_tail)
        log_queue_tail->next = line;
    else
        log_queue_head = line;
    log_queue_tail = line;
    log_queued_bytes += sub_len + text_len;
    int full = log_configured && log_queued_bytes > LOG_QUEUE_BOUND;
    SDL_UnlockMutex(log_mutex);
    /* A flood of lines between two drains must not grow without bound:
     * the thread that adds to a full queue writes it out itself. Before
     * the configuration there is nowhere to write them yet. */
    if (full)
        log_drain();
}

static void log_vappend(const char *subsystem, LogLevel level, const char *fmt, va_list ap)
{
    char *text = alloc_vprintf(fmt, ap);
    if (!text)
        return;
    log_append(subsystem, level, text);
    SDL_free(text);
}

/* Lines below the threshold cost one comparison: no formatting at all. */
#define LOG_FRONT_END(fn, lvl)                                   \
    void fn(const char *subsystem, const char *fmt, ...)         \
    {                                                            \
        if (log_threshold > (LogLevel)(lvl))                     \
            return;                                              \
        va_list ap;                                              \
        va_start(ap, fmt);                                       \
        log_vappend(subsystem, (lvl), fmt, ap);                  \
        va_end(ap);                                              \
    }

LOG_FRONT_END(log_spam, LOG_LEVEL_SPAM)
LOG_FRONT_END(log_debug, LOG_LEVEL_DEBUG)
LOG_FRONT_END(log_info, LOG_LEVEL_INFO)
LOG_FRONT_END(log_warn, LOG_LEVEL_WARN)
LOG_FRONT_END(log_error, LOG_LEVEL_ERROR)
LOG_FRONT_END(log_unfiltered, LOG_LEVEL_UNFILTERED)

int log_init(void)
{
    log_configured = 0;
    log_filters = NULL;
    log_filter_count = 0;
    log_queue_head = NULL;
    log_queue_tail = NULL;
    log_threshold = LOG_LEVEL_DEBUG;
    log_switches = log_switches_unconfigured;
    log_queued_bytes = 0;
    log_mutex = SDL_CreateMutex();
    log_write_mutex = SDL_CreateMutex();
    if (!log_mutex || !log_write_mutex) {
        SDL_DestroyMutex(log_mutex);
        SDL_DestroyMutex(log_write_mutex);
        log_mutex = log_write_mutex = NULL;
        return 0;
    }
    log_initialized = 1;

    int year, month, day, hour, minute, second;
    time_local_parts(&year, &month, &day, &hour, &minute, &second);
    log_unfiltered("Engine", "Log started at %d/%d/%d %d:%d:%d", year, month, day, hour,
                   minute, second);
    log_unfiltered("Engine", "This copy of the engine is git hash %s, built on %s, at %s",
                   build_revision(), __DATE__, __TIME__);
    log_unfiltered("Engine", "Platform: %s", SDL_GetPlatform());
    log_unfiltered("Engine", "%s", "");
    log_unfiltered("Engine", "%s", "");
    return 1;
}

int log_add_filter(const char *piece)
{
    for (int i = 0; i < log_filter_count; i++)
        if (SDL_strcasecmp(log_filters[i], piece) == 0)
            return 1;
    char *copy = SDL_strdup(piece);
    char **grown = (char **)SDL_realloc(log_filters, sizeof(char *) * (log_filter_count + 1));
    if (!copy || !grown) {
        SDL_free(copy);
        if (grown)
            log_filters = grown;
        SDL_OutOfMemory();
        return 0;
    }
    log_filters = grown;
    log_filters[log_filter_count++] = copy;
    return 1;
}

int log_open_file(const char *path)
{
    /* Kept in place only where it is a file of its own: a second name of
     * someone else's file, a link or a pipe there is replaced, so the run
     * neither overwrites that file nor waits on the pipe. */
    log_file = out_file_open(path, OUT_FILE_REWRITE);
    return log_file != NULL;
}

/* Lines queued before the configuration was known get the same filter that
 * log_append applies from now on. */
void log_finish_configuration(void)
{
    SDL_LockMutex(log_mutex);
    log_configured = 1;
    LogLine *kept_tail = NULL;
    LogLine **link = &log_queue_head;
    while (*link) {
        LogLine *line = *link;
        if (line_dropped(line->level, line->subsystem)) {
            *link = line->next;
            SDL_free(line);
        } else {
            kept_tail = line;
            link = &line->next;
        }
    }
    log_queue_tail = kept_tail;
    SDL_UnlockMutex(log_mutex);
}

LogOutputSwitches *log_output_switches(void)
{
    return &log_switches;
}

void log_set_threshold(LogLevel threshold)
{
    log_threshold = threshold;
}

int log_level_by_name(const char *name, LogLevel *level)
{
    for (int i = 0; i < LOG_LEVEL_COUNT; i++) {
        if (SDL_strcmp(name, log_levels[i].name) == 0) {
            *level = log_levels[i].level;
            return 1;
        }
    }
    return 0;
}

LogLine *log_take_queue(void)
{
    if (!log_mutex)
        return NULL;
    SDL_LockMutex(log_mutex);
    LogLine *first = log_queue_head;
    log_queue_head = NULL;
    log_queue_tail = NULL;
    log_queued_bytes = 0;
    SDL_UnlockMutex(log_mutex);
    return first;
}

void log_free_lines(LogLine *first)
{
    while (first) {
        LogLine *next = first->next;
        SDL_free(first);
        first = next;
    }
}

static char *format_line(const LogLine *line)
{
    char level_part[4] = "";
    char timing_part[32] = "";
    if (log_switches.level_char) {
        const LogLevelInfo *info = level_info(line->level);
        SDL_snprintf(level_part, sizeof level_part, "%c ", info ? info->character : '?');
    }
    if (log_switches.timing)
        SDL_snprintf(timing_part, sizeof timing_part, "%.6u ",
                     (unsigned)(line->timestamp_ms / 1000));
    /* File names and metadata values reach the text as they are: a newline
     * in one would split the entry, an escape sequence recolour the
     * terminal. */
    char *escaped = log_text_needs_escape(line->text) ? log_escape_text(line->text) : NULL;
    int sub = log_switches.subsystem;
    char *out = alloc_printf("%s%s%s%s%s%s", level_part, timing_part, sub ? "[" : "",
                             sub ? line->subsystem : "", sub ? "] " : "",
                             escaped ? escaped : line->text);
    SDL_free(escaped);
    return out;
}

static void write_to_file(const char *text)
{
    if (!log_file)
        return;
    if (out_file_write(log_file, text, SDL_strlen(text)) && out_file_write(log_file, "\r\n", 2))
        return;
    OutFile *old = log_file;
    log_file = NULL;
    log_error("Engine", "Failed to write log file! Giving up on further logging to this file. (%s)",
              strerror(errno));
    out_file_abandon(old);
}

static void write_to_stdout(LogLevel level, const char *text)
{
    if (!log_switches.to_stdout)
        return;
    const LogLevelInfo *info = level_info(level);
    if (log_switches.stdout_color && info)
        fprintf(stdout, "%c[%dm%s%c[m\n", 27, info->colour, text, 27);
    else
        puts(text);
    fflush(stdout);
}

static void write_to_debugger(const char *text)
{
    size_t len = SDL_strlen(text);
    size_t size = len * 2 + 2;
    PHYSFS_uint16 *wide = (PHYSFS_uint16 *)SDL_malloc(size);
    if (!wide)
        return;
    PHYSFS_utf8ToUtf16(text, wide, size);
    debug_output_write((const uint16_t *)wide);
    SDL_free(wide);
}

void log_write_lines(LogLine *first)
{
    for (LogLine *line = first; line; line = line->next) {
        char *text = format_line(line);
        if (!text)
            continue;
        write_to_file(text);
        write_to_stdout(line->level, text);
        write_to_debugger(text);
        SDL_free(text);
    }
}

void log_drain(void)
{
    if (!log_write_mutex)
        return;
    SDL_LockMutex(log_write_mutex);
    LogLine *lines = log_take_queue();
    if (lines) {
        log_write_lines(lines);
        log_free_lines(lines);
    }
    SDL_UnlockMutex(log_write_mutex);
}

void log_shutdown(void)
{
    if (!log_initialized)
        return;
    log_append("Engine", LOG_LEVEL_UNFILTERED, "Logging shutting down");
    /* A failing file write queues one more line while draining; keep going
     * until nothing is left, so that line is written (or freed) too. */
    SDL_LockMutex(log_write_mutex);
    for (;;) {
        LogLine *lines = log_take_queue();
        if (!lines)
            break;
        log_write_lines(lines);
        log_free_lines(lines);
    }
    SDL_UnlockMutex(log_write_mutex);
    if (log_file) {
        out_file_close(log_file);
        log_file = NULL;
    }
    for (int i = 0; i < log_filter_count; i++)
        SDL_free(log_filters[i]);
    SDL_free(log_filters);
    log_filters = NULL;
    log_filter_count = 0;
    SDL_DestroyMutex(log_mutex);
    log_mutex = NULL;
    SDL_DestroyMutex(log_write_mutex);
    log_write_mutex = NULL;
    log_initialized = 0;
    log_configured = 0;
    log_threshold = LOG_LEVEL_DEBUG;
}

LogLevel log_get_threshold(void)
{
    return log_threshold;
}

int log_filter_count_get(void)
{
    return log_filter_count;
}

const char *log_filter_get(int index)
{
    return index >= 0 && index < log_filter_count ? log_filters[index] : NULL;
}
