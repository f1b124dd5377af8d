#include "engine/log_settings.h"

#include "engine/cvar.h"
#include "engine/game_metadata_storage.h"
#include "engine/helpers.h"
#include "engine/log.h"
#include "platform/console.h"

#include <SDL.h>

#include <errno.h>
#include <string.h>

/* Read once, by log_configure; the cvar module owns the strings. */
static char *log_filename = NULL;
static char *log_level = NULL;
static char *log_filter_subsystems = NULL;

static int register_log_cvars(const char *default_filename)
{
    int deployment = game_metadata_deployment != 0;
    int colour = console_stdout_is_char_device();
    LogOutputSwitches *out = log_output_switches();
    return cvar_register_string("log.filename", "filename to write log data to",
                                &log_filename, default_filename) &&
           cvar_register_string("log.level",
                                "One of [spam, debug, info, warn, error, unfiltered, "
                                "nothing]. Filter out everything less than.",
                                &log_level, deployment ? "info" : "debug") &&
           cvar_register_string("log.filter_subsystems",
                                "Comma-separated list of subsystems to ignore logging for",
                                &log_filter_subsystems, "") &&
           cvar_register_bool("log.stdout", "True if we should write logs to stdout",
                              &out->to_stdout, !deployment) &&
           cvar_register_bool("log.timing",
                              "True if we should include the timing in the log output",
                              &out->timing, 1) &&
           cvar_register_bool("log.level_char",
                              "True if we should include the logging level character "
                              "in the log output",
                              &out->level_char, 1) &&
           cvar_register_bool("log.subsystem",
                              "True if we should include the subsystem name in the log "
                              "output",
                              &out->subsystem, 1) &&
           cvar_register_bool("log.stdout_color",
                              "True if we should colorize logs sent to stdout",
                              &out->stdout_color, colour);
}

static void configure_threshold(void)
{
    LogLevel threshold;
    if (log_level_by_name(log_level, &threshold)) {
        log_set_threshold(threshold);
        return;
    }
    int deployment = game_metadata_deployment != 0;
    log_error("Engine", "Cvar log.level value '%s' is unknown. Defaulting to '%s'.",
              log_level, deployment ? "info" : "debug");
    log_set_threshold(deployment ? LOG_LEVEL_INFO : LOG_LEVEL_DEBUG);
}

static int configure_filters(void)
{
    if (!log_filter_subsystems || !*log_filter_subsystems)
        return 1;
    char *work = SDL_strdup(log_filter_subsystems);
    if (!work) {
        SDL_OutOfMemory();
        return 0;
    }
    char *save = NULL;
    int ok = 1;
    for (char *piece = SDL_strtokr(work, ",", &save); piece && ok;
         piece = SDL_strtokr(NULL, ",", &save)) {
        while (*piece == ' ')
            piece++;
        if (!*piece)
            continue;
        char *end = piece + SDL_strlen(piece);
        while (end > piece && end[-1] == ' ')
            *--end = '\0';
        ok = log_add_filter(piece);
    }
    SDL_free(work);
    return ok;
}

static int configure_file(void)
{
    if (!log_filename || !*log_filename)
        return 1;
    char *path = SDL_strchr(log_filename, '/') ? alloc_printf("%s", log_filename)
                                                : alloc_printf("logs/%s", log_filename);
    if (!path) {
        SDL_OutOfMemory();
        return 0;
    }
    if (!log_open_file(path)) {
        log_error("Engine", "Failed to open logfile '%s' (%s)", path, strerror(errno));
        log_error("Engine",
                  "Continuing on without log file, hoping this log info is going "
                  "elsewhere, too.");
    }
    SDL_free(path);
    return 1;
}

int log_configure(void)
{
    char *default_filename = alloc_printf("%s.log", game_metadata_gameid);
    if (!default_filename) {
        SDL_OutOfMemory();
        return 0;
    }
    int registered = register_log_cvars(default_filename);
    SDL_free(default_filename);
    if (!registered)
        return 0;
    cvar_lock("log.filename");
    cvar_lock("log.level");
    cvar_lock("log.filter_subsystems");

    configure_threshold();
    if (!configure_filters() || !configure_file())
        return 0;
    log_finish_configuration();
    return 1;
}
