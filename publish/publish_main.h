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

/* Where a path given on the command line (relative to the current
 * directory, "./" and "../" allowed, or absolute) points inside the
 * installation whose absolute native path is install_dir: the
 * installation-relative form that the virtual file system takes, as an SDL
 * allocation ("" for the installation itself). NULL with *outside set to 1
 * when the path leaves the installation; NULL with *outside 0 when out of
 * memory. Purely lexical: nothing is looked up. */
char *publish_path_in_installation(const char *install_dir, const char *path, int *outside);

#endif
