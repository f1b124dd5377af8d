/* Fetching one URL into a file of the write directory, blocking the main
 * thread until the transfer has ended. */
#ifndef BRINDLECOT_PUBLISH_DOWNLOAD_H
#define BRINDLECOT_PUBLISH_DOWNLOAD_H

#include "engine/http.h"

/* 1 when the server answered 200 and the whole body was stored at path.
 * The body goes to a temporary name beside path and takes path's place
 * only then: on 0 the failure has been logged and a file that was at path
 * is as it was. Main thread only. */
int download_to_file(const char *url, const char *path);

#endif
