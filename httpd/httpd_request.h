/* Answers the requests of the HTTP server from the virtual file tree: a
 * regular file whole, with a content type chosen by its extension; a
 * directory asked for with its trailing slash with its index.html, else
 * (and always without the slash) with a generated listing; anything else
 * with a short plain-text error page. Every answer is one info line in
 * "httpd", for the response that was sent. Main thread only. */
#ifndef BRINDLECOT_HTTPD_HTTPD_REQUEST_H
#define BRINDLECOT_HTTPD_HTTPD_REQUEST_H

#include "engine/text_escape.h"
#include "httpd/http_server.h"

/* Answers one request and frees it (SDL_free). Drops it unanswered only
 * when the server can build no response at all, not even the short
 * out-of-memory page, and then logs that with the server's cause. */
void httpd_handle_request(HttpServerRequest *request);

/* The path with every %XX (two hex digits) turned into its byte; other
 * percent signs and "+" stay as they are; an encoded NUL ends the path.
 * New SDL allocation, NULL when memory runs out. */
char *url_decode(const char *raw);

/* The content type for a path by the text after its last ".", ignoring
 * case; "application/octet-stream" when there is none or it is unknown. */
const char *httpd_content_type(const char *path);

#endif
