/* Asynchronous HTTP transport: a session whose requests all run on one worker
 * thread of the session's own, which reports each request's progress to the
 * session's status callback, on that thread.
 *
 * A request goes: open, add headers and credentials, send (from here on the
 * worker owns the transfer), then these notifications, in this order:
 *   SENDREQUEST_COMPLETE  the request is on its way. The callback answers with
 *                         http_transport_request_write (an upload's first
 *                         chunk) or http_transport_request_receive_response.
 *   WRITE_COMPLETE        info: uint32_t, the bytes of the last chunk, now
 *                         taken by the connection; answer as above.
 *   HEADERS_AVAILABLE     the final response's head (redirects are followed,
 *                         their heads are never reported); query it with the
 *                         http_transport_query_* calls, during the callback.
 *   READ_COMPLETE         info: the next block of the body, info_length bytes
 *                         (1 to 8192); valid during the callback only. A
 *                         length of 0 is the end of the response.
 *   REQUEST_ERROR         info: HttpTransportAsyncResult; the transfer failed
 *                         (connection, TLS, short body, ...) and nothing more
 *                         but HANDLE_CLOSING follows.
 *   HANDLE_CLOSING        after the owner has closed the handle: always the
 *                         last notification of a request, exactly once.
 * The owner closes a request handle exactly once, from any thread; it must
 * not use the handle after that. A request that was never sent is freed by
 * its close at once and sends nothing.
 *
 * Requests use the system's certificates for HTTPS, follow redirects and
 * send user info given with http_transport_request_set_credentials as Basic
 * authentication. A response whose Content-Length does not fit a signed
 * 64-bit count fails, and so does a transfer slower than the low-speed
 * limit (1024 bytes a second over 60 s unless set otherwise); the error's
 * text says which. Failing calls return 0 or NULL and leave an error code for
 * http_transport_last_error on the calling thread. */
#ifndef BRINDLECOT_PLATFORM_HTTP_TRANSPORT_H
#define BRINDLECOT_PLATFORM_HTTP_TRANSPORT_H

#include <stdint.h>

typedef struct HttpTransportSession HttpTransportSession;
typedef struct HttpTransportConnection HttpTransportConnection;
typedef struct HttpTransportRequest HttpTransportRequest;

typedef uint32_t HttpTransportStatus;
enum {
    HTTP_TRANSPORT_STATUS_SENDREQUEST_COMPLETE = 1,
    HTTP_TRANSPORT_STATUS_WRITE_COMPLETE = 2,
    HTTP_TRANSPORT_STATUS_HEADERS_AVAILABLE = 3,
    HTTP_TRANSPORT_STATUS_READ_COMPLETE = 4,
    HTTP_TRANSPORT_STATUS_REQUEST_ERROR = 5,
    HTTP_TRANSPORT_STATUS_HANDLE_CLOSING = 6
};

/* Error codes of http_transport_last_error and of failed transfers. Codes
 * from HTTP_TRANSPORT_ERROR_TRANSFER on add the underlying library's code. */
enum {
    HTTP_TRANSPORT_ERROR_NONE = 0,
    HTTP_TRANSPORT_ERROR_INVALID_PARAMETER = 1,
    HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY = 2,
    HTTP_TRANSPORT_ERROR_INVALID_STATE = 3,
    HTTP_TRANSPORT_ERROR_INVALID_URL = 4,
    HTTP_TRANSPORT_ERROR_HEADER_NOT_FOUND = 5,
    HTTP_TRANSPORT_ERROR_SHUTTING_DOWN = 6,
    HTTP_TRANSPORT_ERROR_TRANSFER = 1000
};

/* Which stage of a transfer failed, in HttpTransportAsyncResult. */
enum {
    HTTP_TRANSPORT_API_SEND_REQUEST = 1,
    HTTP_TRANSPORT_API_RECEIVE_RESPONSE = 2,
    HTTP_TRANSPORT_API_WRITE_DATA = 3,
    HTTP_TRANSPORT_API_READ_DATA = 4
};

typedef struct HttpTransportAsyncResult {
    uint64_t api;          /* HTTP_TRANSPORT_API_* */
    uint32_t error;        /* HTTP_TRANSPORT_ERROR_TRANSFER + library code */
    const char *text;      /* a description, valid during the callback */
} HttpTransportAsyncResult;

/* handle: the request; context: the value given to send. */
typedef void (*HttpTransportCallback)(HttpTransportRequest *handle, void *context,
                                      HttpTransportStatus status, void *info,
                                      uint32_t info_length);

typedef uint32_t HttpTransportScheme;
enum {
    HTTP_TRANSPORT_SCHEME_OTHER = 0,
    HTTP_TRANSPORT_SCHEME_HTTP = 1,
    HTTP_TRANSPORT_SCHEME_HTTPS = 2
};

/* The parts of a URL. The caller gives each text part a buffer of
 * strlen(url) + 1 bytes; user name and password come percent-decoded, the
 * others as written. extra holds "?query#fragment" (either part may be
 * missing); path is at least "/". */
typedef struct HttpTransportUrl {
    HttpTransportScheme scheme;
    char *scheme_name;
    char *host; /* an IPv6 address keeps its brackets */
    uint16_t port;
    char *user; /* "" when the URL has none */
    char *password;
    int has_password;
    char *path;
    char *extra;
} HttpTransportUrl;

/* 1 when url is an absolute URL that fits the part buffers. */
int http_transport_crack_url(const char *url, HttpTransportUrl *parts);

/* Starts the worker thread. The user agent is copied. */
HttpTransportSession *http_transport_session_open(const char *user_agent,
                                                  HttpTransportCallback callback);
/* Closes every request still in flight (their HANDLE_CLOSING is delivered),
 * stops and joins the worker, frees the session. Every handle that was
 * opened but never sent must be closed before. NULL is ignored. */
void http_transport_session_close(HttpTransportSession *session);

HttpTransportConnection *http_transport_connect(HttpTransportSession *session,
                                                const char *host, uint16_t port);
void http_transport_connection_close(HttpTransportConnection *connection);

/* verb: "GET", "POST", "PUT", "HEAD" or any other token; target: the path
 * and query to ask for. secure: 1 for HTTPS. */
HttpTransportRequest *http_transport_open_request(HttpTransportConnection *connection,
                                                  const char *verb, const char *target,
                                                  int secure);
/* password may be NULL. */
int http_transport_request_set_credentials(HttpTransportRequest *request,
                                           const char *user, const char *password);
/* One "Name: value" line without line end (a trailing CR LF is dropped). It
 * replaces an earlier one of the same name, compared ignoring case. */
int http_transport_request_add_header(HttpTransportRequest *request, const char *line);
/* Hands the request to the worker. optional: body bytes sent with the
 * request, kept by the caller until HANDLE_CLOSING. total_length: the whole
 * body; when it is more than optional_length, the rest follows through
 * http_transport_request_write. context is passed to every notification. */
int http_transport_request_send(HttpTransportRequest *request, const void *optional,
                                uint64_t optional_length, uint64_t total_length,
                                void *context);
/* From the status callback only (after SENDREQUEST_COMPLETE or
 * WRITE_COMPLETE): the next upload chunk, kept by the caller until the
 * WRITE_COMPLETE that reports it. */
int http_transport_request_write(HttpTransportRequest *request, const void *data,
                                 uint32_t length);
/* From the status callback only: the body is complete; wait for the answer. */
int http_transport_request_receive_response(HttpTransportRequest *request);

/* During HEADERS_AVAILABLE only. */
int http_transport_query_status_code(HttpTransportRequest *request, uint32_t *code);
/* 0 with HTTP_TRANSPORT_ERROR_HEADER_NOT_FOUND when there was no
 * Content-Length. */
int http_transport_query_content_length(HttpTransportRequest *request, uint64_t *length);
/* The final response's head as NUL-terminated lines without their line
 * ends: the status line, each header line, then one empty line. *length
 * counts every byte including the last NUL. Owned by the transport. */
const char *http_transport_query_raw_headers(HttpTransportRequest *request, uint32_t *length);

/* Any thread. HANDLE_CLOSING follows on the worker for a sent request. */
void http_transport_request_close(HttpTransportRequest *request);

/* The low-speed limit of requests sent from now on, for every session;
 * 0 in either argument restores its default. Main thread, before sending. */
void http_transport_set_low_speed_limit(uint32_t bytes_per_second, uint32_t seconds);

/* The error code of the calling thread's last failed call. */
uint32_t http_transport_last_error(void);

#endif
