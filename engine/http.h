/* Asynchronous HTTP and HTTPS requests whose results arrive on the main
 * thread.
 *
 * The caller zeroes an HttpRequest, sets user and the callbacks, starts it
 * and keeps the record alive until it has completed. The transfer runs on
 * the transport's worker thread, which turns every result into a message
 * on the thread-stream queue; http_pump, called regularly on the main
 * thread, applies the messages to their records and calls the callbacks
 * there. Every request whose start returned 1 completes exactly once: done
 * is set and on_complete is called. A start that returned 0 delivers
 * nothing later. Logs to the "HTTP" subsystem. */
#ifndef BRINDLECOT_ENGINE_HTTP_H
#define BRINDLECOT_ENGINE_HTTP_H

#include <SDL.h>
#include <physfs.h>
#include <stdint.h>

#include "engine/text_escape.h"
#include "engine/threadstream.h"
#include "platform/http_transport.h"

typedef struct HttpRequest HttpRequest;

/* For on_header and on_data, 0 aborts the request: neither is called for
 * it again, and it completes with status -1. on_complete's result is
 * ignored. */
typedef int (*HttpRequestCallback)(HttpRequest *request);

typedef int32_t HttpRequestKind;
enum {
    HTTP_REQUEST_GET = 0,       /* no body */
    HTTP_REQUEST_POST_FORM = 1, /* body: NULL-terminated key/value array */
    HTTP_REQUEST_POST_RAW = 2,  /* body: bytes, length given separately */
    HTTP_REQUEST_PUT_FILE = 3,  /* body: PhysicsFS path of the file */
    HTTP_REQUEST_HEAD = 4       /* no body */
};

typedef uint32_t HttpEventType;
enum {
    HTTP_EVENT_UPLOAD_PROGRESS = 0,
    HTTP_EVENT_STATUS = 1,
    HTTP_EVENT_CONTENT_LENGTH = 2,
    HTTP_EVENT_HEADER = 3,
    HTTP_EVENT_DATA = 4,
    HTTP_EVENT_COMPLETE = 5
};

#define HTTP_IO_BUFFER_SIZE 8192u

struct HttpRequest {
    void *user; /* never touched by the client */
    HttpRequestCallback on_header; /* once per response header */
    HttpRequestCallback on_data;   /* once per block of response data */
    HttpRequestCallback on_complete;

    /* Everything below is reset by the start. */
    uint32_t done;          /* 1 once the request has ended */
    int32_t status;         /* HTTP status; -1 failed or aborted; 0 unknown */
    uint64_t bytes_uploaded; /* upload progress of a PUT so far */
    uint64_t body_size;     /* form text, raw body or upload file length */
    uint64_t bytes_received; /* sum of the data blocks delivered */
    uint64_t content_length; /* Content-Length when sent, else 0 */
    /* During on_header: the value (NULL when the line had no ':').
     * During on_data: the block (NUL-terminated after data_len bytes).
     * They point into a message and are stale after the callback. */
    const uint8_t *data;
    uint32_t data_len;
    const char *header_name; /* during on_header; NULL during on_data */
    uint32_t header_name_len;
    HttpRequestKind kind;

    /* The client's own; the caller must not touch these. */
    PHYSFS_File *upload_file;
    HttpTransportConnection *connection;
    /* Closed by whoever takes it out of the record (atomically), so it is
     * closed exactly once whichever thread ends the request. */
    HttpTransportRequest *request;
    uint8_t *io_buffer; /* body, then each upload chunk */
    uint64_t upload_remaining;
    /* The completion message, built by the start, so the worker can always
     * deliver it, even when it can allocate nothing more. */
    ThreadStreamBuffer *completion;
    /* Set by the worker when not even a failure message could be built;
     * the completion then reports -1. */
    SDL_atomic_t failed;
};

/* 1 when the request was handed to the transport. 0 for a NULL record or
 * URL, or when the queue or the session could not be made (the record is
 * then untouched); for every later failure done is 1 and status -1.
 * headers: NULL-terminated array of "Name: value" lines, or NULL. Main
 * thread only. */
int http_start_request(HttpRequestKind kind, const char *method_name, const char *url,
                       const char *const *headers, const void *body, uint64_t body_length,
                       HttpRequest *request);
int http_get(const char *url, const char *const *headers, HttpRequest *request);

/* Delivers every queued message, including those that arrive meanwhile, and
 * returns when the queue is empty. Never blocks. Main thread only. */
void http_pump(void);

/* Closes the session (ending what is in flight and joining the transport's
 * worker), delivers what is still queued (a request ended here completes
 * with status -1, so its record must still be alive), then destroys the
 * event queue. Safe without a session. */
void http_shutdown(void);

/* The client's session and message queue: NULL until the first start. */
extern HttpTransportSession *http_session;
extern ThreadStreamQueue *http_event_queue;

#endif
