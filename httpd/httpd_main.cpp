#include "httpd/httpd_main.h"

#include "engine/cvar.h"
#include "engine/fs_alloc.h"
#include "engine/helpers.h"
#include "engine/log.h"
#include "engine/log_settings.h"
#include "httpd/http_server.h"
#include "httpd/httpd_request.h"
#include "platform/console.h"

#include <SDL.h>
#include <physfs.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#define HTTPD_LOG "httpd"

/* Given before the log registers its settings, so "--set" can still
 * replace each of them. */
static const char *const httpd_log_defaults[][2] = {
    {"log.filename", "logs/brindlecot-httpd.txt"},
    {"log.level", "info"},
    {"log.subsystem", "false"},
    {"log.timing", "false"},
    {"log.level_char", "false"},
};

int httpd_parse_command_line(int argc, char **argv, HttpdOptions *out)
{
    out->game_directory = NULL;
    out->port = -1;
    int error = 0;
    int positional = 0;
    for (int i = 1; i < argc; i++) {
        if (SDL_strcmp(argv[i], "--set") == 0) {
            if (i + 2 >= argc)
                break; /* an unfinished pair is ignored, and so is the rest */
            cvar_set(argv[i + 1], argv[i + 2]);
            i += 2;
            continue;
        }
        positional++;
        if (positional == 1) {
            out->game_directory = argv[i];
        } else if (positional == 2) {
            /* A leading number, 0 when there is none. Read as a long, so
             * a huge number can't wrap into the accepted range. */
            long value = SDL_strtol(argv[i], NULL, 10);
            if (value < 0 || value > HTTPD_MAX_PORT)
                error = 1;
            else
                out->port = (int32_t)value;
        } else {
            error = 1;
        }
    }
    if (out->port < 0)
        out->port = HTTPD_DEFAULT_PORT;
    return !error && out->game_directory;
}

/* The log is not configured yet, so what it queued (the reasons the
 * server could not listen, above all) would be lost with the process. */
static void httpd_write_queue_to_stderr(void)
{
    LogLine *first = log_take_queue();
    for (LogLine *line = first; line; line = line->next)
        if (line->level == LOG_LEVEL_WARN || line->level == LOG_LEVEL_ERROR)
            fprintf(stderr, "%s\n", line->text);
    log_free_lines(first);
}

static int httpd_startup_failed(int log_ready, const char *fmt, ...) LOG_PRINTF(2, 3);

static int httpd_startup_failed(int log_ready, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    if (log_ready)
        httpd_write_queue_to_stderr();
    fprintf(stderr, "Failed to start HTTP server, giving up.\n");
    return 1;
}

static void httpd_notice(int port)
{
    static const char *const stars =
        "***********************************************************************";
    log_warn(HTTPD_LOG, "%s", "");
    log_warn(HTTPD_LOG, "%s", "");
    log_warn(HTTPD_LOG, "%s", stars);
    log_warn(HTTPD_LOG, "%s", "* Please note that this http server is only for simple local testing. *");
    log_warn(HTTPD_LOG, "%s", "* You should use a real server like Apache or nginx for the public!   *");
    log_warn(HTTPD_LOG, "%s", stars);
    log_warn(HTTPD_LOG, "%s", "");
    log_warn(HTTPD_LOG, "%s", "");
    log_info(HTTPD_LOG, "Now accepting connections on port %d.", port);
    char port_part[32] = "";
    if (port != 80)
        SDL_snprintf(port_part, sizeof port_part, ":%d", port);
    log_info(HTTPD_LOG, "Try pointing your browser at http://localhost%s/", port_part);
    log_info(HTTPD_LOG, "%s", "");
}

/* Drains the log, sleeps, polls the server and answers every complete
 * request, for ever. */
static void httpd_serve_loop(void)
{
    for (;;) {
        log_drain();
        SDL_Delay(HTTPD_POLL_INTERVAL_MS);
        HttpServerRequest *request = http_server_poll();
        while (request) {
            /* The handler frees the request. */
            HttpServerRequest *next = request->next;
            httpd_handle_request(request);
            request = next;
        }
    }
}

int httpd_main(int argc, char **argv)
{
    console_ignore_closed_output();
    setbuf(stdout, NULL);
    setbuf(stderr, NULL);
    SDL_SetHint("SDL_NO_SIGNAL_HANDLERS", "1");
    SDL_setenv("SDL_VIDEODRIVER", "dummy", 1);
    if (SDL_Init(0) == -1)
        return httpd_startup_failed(0, "SDL_Init(0) failed: %s\n", SDL_GetError());
    if (!log_init())
        return httpd_startup_failed(0, "Failed to initialize logging: %s\n", SDL_GetError());
    for (size_t i = 0; i < SDL_arraysize(httpd_log_defaults); i++)
        cvar_set(httpd_log_defaults[i][0], httpd_log_defaults[i][1]);

    HttpdOptions options;
    if (!httpd_parse_command_line(argc, argv, &options)) {
        fprintf(stderr, "USAGE: %s <game_directory> [port]\n", argv[0]);
        exit(1);
    }

    if (!fs_alloc_install())
        return httpd_startup_failed(1, "PHYSFS_setAllocator failed: %s\n", fs_error_text());
    if (!PHYSFS_init(argv[0]))
        return httpd_startup_failed(1, "PHYSFS_init failed: %s\n", fs_error_text());
    if (!PHYSFS_setWriteDir("."))
        return httpd_startup_failed(1, "PHYSFS_setWriteDir(\".\") failed: %s\n", fs_error_text());
    if (!PHYSFS_mount(options.game_directory, NULL, 0))
        return httpd_startup_failed(1, "Couldn't mount '%s' directory: %s\n",
                                    options.game_directory, fs_error_text());
    if (!http_server_init((int16_t)options.port))
        return httpd_startup_failed(1, "Couldn't initialize HTTP server: %s\n",
                                    http_server_error_text());
    fs_mkdir("logs");
    if (!log_configure())
        return httpd_startup_failed(1, "Logging startup failed: %s\n", SDL_GetError());

    /* With port 0 the system picked one; show that, not the 0. */
    int port = http_server_port();
    httpd_notice(port >= 0 ? port : options.port);
    httpd_serve_loop();
    return 0;
}
