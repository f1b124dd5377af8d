/* Fetching one URL into a file of the write directory, blocking the main
 * thread until the transfer has ended. */
#ifndef BRINDLECOT_PUBLISH_DOWNLOAD_H
#define BRINDLECOT_PUBLISH_DOWNLOAD_H

#include "engine/http.h"

/* 1 when the server answered 200 and the whole body was stored at path.
 * On 0 the failure has been logged and no file is left at path. Main
 * thread only. */
int download_to_file(const char *url, const char *path);

#endif
