/* Start-up, command line and exit of brindlecot-publish. */
#ifndef BRINDLECOT_PUBLISH_MAIN_H
#define BRINDLECOT_PUBLISH_MAIN_H

typedef int PublishOperation;
enum {
    PUBLISH_OP_USAGE = 0,
    PUBLISH_OP_PACKAGE = 1,
    PUBLISH_OP_PUBLISH = 2,
    PUBLISH_OP_MAKE_ICO = 3,
    PUBLISH_OP_MAKE_ICNS = 4,
    PUBLISH_OP_DOWNLOAD = 5
};

/* Runs the program; returns the process exit code (0 ok, 1 failure). */
int publish_main(int argc, char **argv);

/* The exit routine; publish_main runs it once on every return path. */
void publish_shutdown(void);

#endif
