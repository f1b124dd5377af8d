/* Start-up and serve loop of brindlecot-httpd: serves one directory tree
 * over HTTP/1.0 to a browser on this machine, for testing. */
#ifndef BRINDLECOT_HTTPD_HTTPD_MAIN_H
#define BRINDLECOT_HTTPD_HTTPD_MAIN_H

#include <stdint.h>

#define HTTPD_DEFAULT_PORT 8080
/* The server takes a signed 16-bit port. */
#define HTTPD_MAX_PORT 32767
#define HTTPD_POLL_INTERVAL_MS 100

typedef struct HttpdOptions {
    const char *game_directory; /* points into argv; NULL when not given */
    int32_t port;               /* HTTPD_DEFAULT_PORT when not given */
} HttpdOptions;

/* Reads "<game_directory> [port]" with "--set NAME VALUE" pairs anywhere
 * (each passed to cvar_set). 1 when the line is usable; 0 when the usage
 * line is due: no game directory, a third positional argument, or a port
 * outside 0..HTTPD_MAX_PORT. */
int httpd_parse_command_line(int argc, char **argv, HttpdOptions *out);

/* The program: 1 after a start-up failure (its reasons on standard error);
 * a command-line error ends the process with exit code 1; after a
 * successful start it never returns. */
int httpd_main(int argc, char **argv);

#endif
