/* A small single-threaded HTTP/1.0 server on non-blocking sockets.
 *
 * It listens on one TCP port of every interface, reads each request whole
 * (head and body, up to HTTP_SERVER_MAX_REQUEST bytes), hands complete
 * requests to the caller, sends the response the caller builds and closes
 * the connection: one request per connection. It never blocks; the caller
 * polls it. It knows nothing of files or URLs. Lines go to the engine log
 * in "HTTPServer". Main thread only. */
#ifndef BRINDLECOT_HTTPD_HTTP_SERVER_H
#define BRINDLECOT_HTTPD_HTTP_SERVER_H

#include "platform/net.h"

#include <stdint.h>

#define HTTP_SERVER_MAX_REQUEST 524288u
#define HTTP_SERVER_READ_GROWTH 1024u
#define HTTP_SERVER_TIMEOUT_MS 60000u
/* Connections wait here while the server takes one per poll; a short queue
 * would make the system refuse or reset the rest of a browser's burst. */
#define HTTP_SERVER_BACKLOG 128
/* How long a closing connection waits for its client to hang up after the
 * whole response went out, so unread client bytes never turn the close
 * into a reset that would cost the client the end of the response. */
#define HTTP_SERVER_LINGER_MS 2000u

typedef uint32_t HttpServerConnectionState;
enum {
    HTTP_CONN_READING_HEAD = 0,
    HTTP_CONN_READING_BODY = 1,
    HTTP_CONN_AWAITING_RESPONSE = 2,
    HTTP_CONN_SENDING = 3,
    HTTP_CONN_CLOSING = 4,
    HTTP_CONN_CLOSED = 5
};

typedef struct HttpServerConnection {
    NetSocket socket;
    HttpServerConnectionState state;
    char *buffer;        /* the request while reading, the response while sending */
    uint64_t buffer_len; /* allocated bytes while reading; response length while sending */
    uint64_t buffer_pos; /* bytes received while reading; bytes sent while sending */
    uint32_t deadline;   /* SDL ticks by which the next progress must come */
    uint32_t header_lines;   /* head lines before the empty line, request line included */
    uint32_t expected_total; /* head length plus declared body length */
    uint32_t is_head;        /* 1: the method is HEAD (any case), no body goes out */
    uint32_t lingering;      /* 1: sending is shut down, waiting for the client to hang up */
    char peer_text[64];
    unsigned char peer_addr[NET_ADDRESS_MAX];
    struct HttpServerConnection *next;
} HttpServerConnection;

/* One complete request; a single SDL allocation that the caller frees with
 * SDL_free. method, path, headers and body point into the connection's
 * buffer and stay valid only until http_server_respond is called for it. */
typedef struct HttpServerRequest {
    const char *peer;
    char *method;
    char *path; /* raw, not percent-decoded */
    char **headers;
    uint32_t header_count;
    char *body; /* NULL only when a NUL byte in the head stopped the split */
    uint32_t body_len;
    HttpServerConnection *connection;
    struct HttpServerRequest *next;
} HttpServerRequest;

/* Creates the listening socket on every interface (IPv6 with IPv4 mapped,
 * else IPv4 alone); port 0 lets the system choose. 1/0; the reasons of a
 * failure are queued in the log. Called once. */
int http_server_init(int16_t port);

/* The port the listening socket is bound to, or -1 without one. */
int http_server_port(void);

/* The text of the last socket error the server met (empty when none). */
const char *http_server_error_text(void);

/* Accepts at most one connection, then gives every connection one step.
 * Returns the requests completed in this poll, oldest connection first,
 * or NULL. Never blocks. */
HttpServerRequest *http_server_poll(void);

/* Builds the whole response in the connection's buffer and switches it to
 * sending. Only acts on a connection awaiting its response. The server
 * writes its own Content-Length and Connection lines (given ones of those
 * names are left out) and a default Content-Type unless one is given.
 * body is not read for HEAD or when body_len is 0. Returns 1 when the
 * response was built; 0 when its buffer could not be made: the connection
 * then still awaits a response and the caller must give a smaller one. */
int http_server_respond(HttpServerConnection *connection, int status,
                        const char *const *headers, uint32_t header_count,
                        const void *body, uint64_t body_len);

/* Why the last http_server_respond that returned 0 failed, in words
 * ("out of memory allocating response buffer", "the connection awaits no
 * response"); empty after one that succeeded. */
const char *http_server_respond_failure(void);

/* Closes a connection that awaits its response without sending one, for
 * a caller that could not get any response built. */
void http_server_drop(HttpServerConnection *connection);

/* http_server_respond on the request's connection (which is dropped when
 * the response cannot be built), then SDL_free of the request. */
void http_server_respond_and_free(HttpServerRequest *request, int status,
                                  const char *const *headers, uint32_t header_count,
                                  const void *body, uint64_t body_len);

/* For tests: the open connections, newest first. */
HttpServerConnection *http_server_connections_get(void);

#endif
