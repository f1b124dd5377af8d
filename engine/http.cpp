#include "engine/http.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "engine/log.h"

#define HTTP_LOG "HTTP"

HttpTransportSession *http_session = NULL;
ThreadStreamQueue *http_event_queue = NULL;

typedef struct HttpKindInfo {
    const char *verb;
    const char *content_type;
} HttpKindInfo;

static const HttpKindInfo http_kinds[] = {
    {"GET", "application/octet-stream"},
    {"POST", "application/x-www-form-urlencoded"},
    {"POST", "application/octet-stream"},
    {"PUT", "application/octet-stream"},
    {"HEAD", "application/octet-stream"},
};
#define HTTP_KIND_COUNT ((int)(sizeof http_kinds / sizeof http_kinds[0]))

static const char *text_or_empty(const char *text)
{
    return text ? text : "";
}

/* ---- the request handle, shared by both threads ---- */

static HttpTransportRequest *http_take_handle(HttpRequest *request)
{
    return (HttpTransportRequest *)SDL_AtomicSetPtr((void **)&request->request, NULL);
}

/* Whichever thread takes the handle out of the record closes it; the other
 * finds NULL. The transport then reports HANDLE_CLOSING. */
static void http_close_handle(HttpRequest *request)
{
    HttpTransportRequest *handle = http_take_handle(request);
    if (handle)
        http_transport_request_close(handle);
}

/* ---- escaping and the form body ---- */

/* key=value pairs joined by '&'; a NULL value ends the form after "key=". */
static char *http_form_text(const char *const *form)
{
    size_t capacity = 0;
    for (const char *const *p = form; p[0]; p += 2) {
        capacity += SDL_strlen(p[0]) + 1;
        if (!p[1])
            break;
        capacity += SDL_strlen(p[1]) + 1;
    }
    capacity = capacity * 3 + 1;
    char *text = (char *)SDL_malloc(capacity);
    if (!text)
        return NULL;
    text[0] = 0;
    size_t used = 0;
    for (const char *const *p = form; p[0]; p += 2) {
        char *key = url_escape(p[0]);
        char *value = p[1] ? url_escape(p[1]) : NULL;
        int n = SDL_snprintf(text + used, capacity - used, "%s%s=%s", used ? "&" : "",
                             text_or_empty(key), text_or_empty(value));
        SDL_free(key);
        SDL_free(value);
        if (n > 0)
            used += (size_t)n;
        if (!p[1])
            break;
    }
    return text;
}

/* ---- messages (worker thread) ---- */

static ThreadStreamBuffer *http_message_begin(HttpRequest *request, HttpEventType type)
{
    ThreadStreamBuffer *buffer = threadstream_buffer_get();
    if (buffer && threadstream_write_pointer(buffer, request) &&
        threadstream_write_u32(buffer, type))
        return buffer;
    threadstream_buffer_release(buffer);
    return NULL;
}

/* Pushes a message whose last write returned ok; 0 when it could not be
 * built (nothing is queued then). */
static int http_message_end(ThreadStreamBuffer *buffer, int ok)
{
    if (!buffer)
        return 0;
    if (!ok || !http_event_queue) {
        threadstream_buffer_release(buffer);
        return 0;
    }
    threadstream_queue_push(http_event_queue, buffer);
    return 1;
}

static int http_post_u32(HttpRequest *request, HttpEventType type, uint32_t value)
{
    ThreadStreamBuffer *b = http_message_begin(request, type);
    return http_message_end(b, threadstream_write_u32(b, value));
}

/* 64 bits as two u32 fields, low first. */
static int http_post_u64(HttpRequest *request, HttpEventType type, uint64_t value)
{
    ThreadStreamBuffer *b = http_message_begin(request, type);
    int ok = threadstream_write_u32(b, (uint32_t)value) &&
             threadstream_write_u32(b, (uint32_t)(value >> 32));
    return http_message_end(b, ok);
}

static int http_post_header(HttpRequest *request, const char *name, const char *value)
{
    ThreadStreamBuffer *b = http_message_begin(request, HTTP_EVENT_HEADER);
    int ok = threadstream_write_string(b, name) && threadstream_write_string(b, value);
    return http_message_end(b, ok);
}

static int http_post_data(HttpRequest *request, const void *bytes, uint32_t length)
{
    ThreadStreamBuffer *b = http_message_begin(request, HTTP_EVENT_DATA);
    return http_message_end(b, threadstream_write_bytes(b, bytes, length));
}

/* Marks the request failed and closes its handle; the completion follows.
 * When not even the failure message can be built, the flag tells the pump,
 * which reads it after the completion message (pushed later, under the
 * queue's lock) and so always sees it. */
static void http_fail_request(HttpRequest *request)
{
    if (!http_post_u32(request, HTTP_EVENT_STATUS, 0xFFFFFFFFu))
        SDL_AtomicSet(&request->failed, 1);
    http_close_handle(request);
}

/* ---- status callback (worker thread) ---- */

static const char *http_status_name(HttpTransportStatus status, char *scratch, size_t size)
{
    switch (status) {
    case HTTP_TRANSPORT_STATUS_SENDREQUEST_COMPLETE:
        return "HTTP_TRANSPORT_STATUS_SENDREQUEST_COMPLETE";
    case HTTP_TRANSPORT_STATUS_WRITE_COMPLETE:
        return "HTTP_TRANSPORT_STATUS_WRITE_COMPLETE";
    case HTTP_TRANSPORT_STATUS_HEADERS_AVAILABLE:
        return "HTTP_TRANSPORT_STATUS_HEADERS_AVAILABLE";
    case HTTP_TRANSPORT_STATUS_READ_COMPLETE:
        return "HTTP_TRANSPORT_STATUS_READ_COMPLETE";
    case HTTP_TRANSPORT_STATUS_REQUEST_ERROR:
        return "HTTP_TRANSPORT_STATUS_REQUEST_ERROR";
    case HTTP_TRANSPORT_STATUS_HANDLE_CLOSING:
        return "HTTP_TRANSPORT_STATUS_HANDLE_CLOSING";
    default:
        SDL_snprintf(scratch, size, "[unknown %u]", (unsigned)status);
        return scratch;
    }
}

static int http_is_space(char c)
{
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

/* Posts one HEADER per line of the head after the status line; returns 0
 * when a message could not be built (parsing stops there). */
static int http_post_headers(HttpRequest *request, char *head, uint32_t length)
{
    char *end = head + length;
    char *line = head + SDL_strlen(head) + 1; /* skip the status line */
    while (line < end && *line) {
        char *next = line + SDL_strlen(line) + 1;
        char *stop = line + SDL_strlen(line);
        while (stop > line && http_is_space(stop[-1]))
            *--stop = 0;
        while (http_is_space(*line))
            line++;
        char *value = SDL_strchr(line, ':');
        if (value) {
            *value++ = 0;
            while (http_is_space(*value))
                value++;
        }
        if (*line && !http_post_header(request, line, value))
            return 0;
        line = next;
    }
    return 1;
}

static void http_on_headers(HttpRequest *request, HttpTransportRequest *handle)
{
    int failed = 0;
    uint32_t code = 0;
    if (!http_transport_query_status_code(handle, &code)) {
        log_error(HTTP_LOG, "[%p] WinHttpQueryHeaders (status code) failed! %d", (void *)request,
                  (int)http_transport_last_error());
        failed = 1;
    } else if (!http_post_u32(request, HTTP_EVENT_STATUS, code)) {
        failed = 1;
    }

    uint64_t content_length = 0;
    if (http_transport_query_content_length(handle, &content_length) &&
        !http_post_u64(request, HTTP_EVENT_CONTENT_LENGTH, content_length))
        failed = 1;

    uint32_t length = 0;
    const char *raw = http_transport_query_raw_headers(handle, &length);
    if (!raw) {
        log_error(HTTP_LOG, "[%p] WinHttpQueryHeaders failed! %d", (void *)request,
                  (int)http_transport_last_error());
        failed = 1;
    } else {
        /* Parsed in a copy: the lines are cut up in place. */
        char *head = (char *)SDL_malloc((size_t)length + 1);
        if (!head) {
            failed = 1;
        } else {
            SDL_memcpy(head, raw, length);
            head[length] = 0;
            if (!http_post_headers(request, head, length))
                failed = 1;
            SDL_free(head);
        }
    }
    if (failed)
        http_fail_request(request);
}

/* After the request went out and after each chunk was taken: the next
 * chunk of the upload file, or, once it is all sent, the response. */
static void http_continue_upload(HttpRequest *request, HttpTransportRequest *handle, int failed)
{
    if (request->upload_file) {
        uint64_t n = request->upload_remaining;
        if (n > HTTP_IO_BUFFER_SIZE)
            n = HTTP_IO_BUFFER_SIZE;
        if (n > 0) {
            if (PHYSFS_readBytes(request->upload_file, request->io_buffer, n) < (PHYSFS_sint64)n) {
                log_error(HTTP_LOG, "[%p] file i/o error reading outgoing PUT data",
                          (void *)request);
                http_fail_request(request);
                return;
            }
            if (!http_transport_request_write(handle, request->io_buffer, (uint32_t)n)) {
                log_error(HTTP_LOG, "[%p] WinHttpWriteData() failed! %d!", (void *)request,
                          (int)http_transport_last_error());
                http_fail_request(request);
                return;
            }
            log_spam(HTTP_LOG, "[%p] Started writing %d more bytes of PUT request",
                     (void *)request, (int)n);
            request->upload_remaining -= n;
            if (failed)
                http_fail_request(request);
            return;
        }
        PHYSFS_close(request->upload_file);
        request->upload_file = NULL;
        log_info(HTTP_LOG, "[%p] Upload complete.", (void *)request);
    }
    if (!http_transport_request_receive_response(handle) || failed)
        http_fail_request(request);
}

static void http_on_closing(HttpRequest *request)
{
    log_debug(HTTP_LOG, "[%p] Handle is closed, cleaning up.", (void *)request);
    /* Whoever closes the handle takes it out of the record first; when it
     * is still there, the session ended the request (at shutdown), which
     * counts as a failure. Nobody may close it again either way. */
    if (http_take_handle(request))
        SDL_AtomicSet(&request->failed, 1);
    ThreadStreamBuffer *completion = request->completion;
    request->completion = NULL;
    /* The last touch of the record on this side: once the completion is
     * queued, the main thread may end the record's life. */
    if (http_event_queue)
        threadstream_queue_push(http_event_queue, completion);
    else
        threadstream_buffer_release(completion);
}

/* The transport's status callback (worker thread). */
static void http_status_callback(HttpTransportRequest *handle, void *context, HttpTransportStatus status,
                          void *info, uint32_t info_length)
{
    HttpRequest *request = (HttpRequest *)context;
    char scratch[64];
    log_spam(HTTP_LOG, "[%p] Status callback: %s", (void *)request,
             http_status_name(status, scratch, sizeof scratch));
    if (!request)
        return;
    switch (status) {
    case HTTP_TRANSPORT_STATUS_HANDLE_CLOSING:
        http_on_closing(request);
        break;
    case HTTP_TRANSPORT_STATUS_HEADERS_AVAILABLE:
        http_on_headers(request, handle);
        break;
    case HTTP_TRANSPORT_STATUS_READ_COMPLETE:
        log_spam(HTTP_LOG, "[%p] read of %d bytes complete", (void *)request, (int)info_length);
        if (info_length == 0)
            http_close_handle(request); /* the end of the response */
        else if (!http_post_data(request, info, info_length))
            http_fail_request(request);
        break;
    case HTTP_TRANSPORT_STATUS_WRITE_COMPLETE: {
        uint32_t written = info ? *(const uint32_t *)info : 0;
        log_spam(HTTP_LOG, "[%p] Completed write of %d more bytes of PUT request",
                 (void *)request, (int)written);
        int failed = !http_post_u32(request, HTTP_EVENT_UPLOAD_PROGRESS, written);
        http_continue_upload(request, handle, failed);
        break;
    }
    case HTTP_TRANSPORT_STATUS_SENDREQUEST_COMPLETE:
        http_continue_upload(request, handle, 0);
        break;
    case HTTP_TRANSPORT_STATUS_REQUEST_ERROR: {
        const HttpTransportAsyncResult *result = (const HttpTransportAsyncResult *)info;
        log_error(HTTP_LOG, "[%p] request error: result %u error %u", (void *)request,
                  result ? (unsigned)(uint32_t)result->api : 0u, result ? result->error : 0u);
        /* The numbers identify the failure; the words tell the user. */
        if (result && result->text && result->text[0])
            log_error(HTTP_LOG, "[%p] %s", (void *)request, result->text);
        http_fail_request(request);
        break;
    }
    default:
        break;
    }
}

/* ---- starting a request (main thread) ---- */

/* The queue lives for the whole process: made once, never per request. */
static int http_open_session(void)
{
    if (!http_event_queue) {
        http_event_queue = threadstream_queue_create();
        if (!http_event_queue) {
            log_error(HTTP_LOG, "threadstream queue creation failed.");
            return 0;
        }
    }
    if (http_session)
        return 1;
    char *agent = alloc_printf("Brindlecot-%s-%s/%s (%s)", text_or_empty(game_metadata_devid),
                               text_or_empty(game_metadata_gameid),
                               text_or_empty(game_metadata_version), SDL_GetPlatform());
    if (!agent) {
        log_error(HTTP_LOG, "Out of memory!");
        return 0;
    }
    log_debug(HTTP_LOG, "User agent: '%s'", agent);
    http_session = http_transport_session_open(agent, http_status_callback);
    SDL_free(agent);
    return http_session != NULL;
}

static void http_reset_record(HttpRequest *request, HttpRequestKind kind)
{
    request->done = 0;
    request->status = 0;
    request->bytes_uploaded = 0;
    request->body_size = 0;
    request->bytes_received = 0;
    request->content_length = 0;
    request->data = NULL;
    request->data_len = 0;
    request->header_name = NULL;
    request->header_name_len = 0;
    request->kind = kind;
    request->upload_file = NULL;
    request->connection = NULL;
    SDL_AtomicSetPtr((void **)&request->request, NULL);
    request->io_buffer = NULL;
    request->upload_remaining = 0;
    request->completion = NULL;
    SDL_AtomicSet(&request->failed, 0);
}

/* The connection, the body buffer and the upload file of a request. */
static void http_release_resources(HttpRequest *request)
{
    http_transport_connection_close(request->connection);
    request->connection = NULL;
    SDL_free(request->io_buffer);
    request->io_buffer = NULL;
    request->upload_remaining = 0;
    if (request->upload_file) {
        PHYSFS_close(request->upload_file);
        request->upload_file = NULL;
    }
}

/* Gives back everything the start took; no message will ever name it. */
static int http_start_failed(HttpRequest *request, char *scratch)
{
    HttpTransportRequest *handle = http_take_handle(request);
    if (handle)
        http_transport_request_close(handle);
    http_release_resources(request);
    threadstream_buffer_release(request->completion);
    request->completion = NULL;
    SDL_free(scratch);
    request->done = 1;
    request->status = -1;
    return 0;
}

/* Logs the caller's headers; returns the content type that will be sent by
 * default, or NULL when a caller's Content-Type header replaces it. */
static const char *http_content_type(HttpRequest *request, const char *const *headers,
                                     const char *default_type)
{
    const char *shown = default_type;
    int replaced = 0;
    for (const char *const *h = headers; h && *h; h++) {
        log_debug(HTTP_LOG, "[%p] Request header: '%s'", (void *)request, *h);
        if (SDL_strncasecmp(*h, "Content-Type:", 13) == 0) {
            replaced = 1;
            shown = *h + 13;
        }
    }
    log_debug(HTTP_LOG, "[%p] Request mimetype: '%s'", (void *)request, shown);
    return replaced ? NULL : default_type;
}

/* Allocations and the upload file; 1 when all are there. */
static int http_prepare(HttpRequest *request, const void *body, uint64_t body_length,
                        size_t url_length, char **scratch)
{
    if (body_length > SIZE_MAX)
        return 0;
    size_t io_size = body_length > HTTP_IO_BUFFER_SIZE ? (size_t)body_length
                                                       : HTTP_IO_BUFFER_SIZE;
    *scratch = (char *)SDL_malloc(6 * (url_length + 1));
    request->io_buffer = (uint8_t *)SDL_calloc(1, io_size);
    ThreadStreamBuffer *completion = threadstream_buffer_get();
    request->completion = completion;
    if (!*scratch || !request->io_buffer || !completion ||
        !threadstream_write_pointer(completion, request) ||
        !threadstream_write_u32(completion, HTTP_EVENT_COMPLETE))
        return 0;
    if (request->kind == HTTP_REQUEST_PUT_FILE) {
        if (!body)
            return 0;
        request->upload_file = PHYSFS_openRead((const char *)body);
        if (!request->upload_file)
            return 0;
        PHYSFS_sint64 length = PHYSFS_fileLength(request->upload_file);
        if (length < 0)
            return 0;
        request->upload_remaining = (uint64_t)length;
        request->body_size = (uint64_t)length;
    }
    return 1;
}

/* Splits the URL and opens connection and request; the target keeps the
 * query (a fragment is never sent). */
static int http_open_handle(HttpRequest *request, const char *url, char *scratch)
{
    size_t part = SDL_strlen(url) + 1;
    HttpTransportUrl parts;
    parts.scheme_name = scratch;
    parts.host = scratch + part;
    parts.user = scratch + 2 * part;
    parts.password = scratch + 3 * part;
    parts.path = scratch + 4 * part;
    parts.extra = scratch + 5 * part;
    if (SDL_strncasecmp(url, "http://", 7) != 0 && SDL_strncasecmp(url, "https://", 8) != 0) {
        log_error(HTTP_LOG, "[%p] URL '%s' does not begin with http:// or https://",
                  (void *)request, url);
        return 0;
    }
    if (!http_transport_crack_url(url, &parts)) {
        log_error(HTTP_LOG, "[%p] URL '%s' is not a valid URL", (void *)request, url);
        return 0;
    }
    if (parts.scheme != HTTP_TRANSPORT_SCHEME_HTTP && parts.scheme != HTTP_TRANSPORT_SCHEME_HTTPS)
        return 0;
    request->connection = http_transport_connect(http_session, parts.host, parts.port);
    if (!request->connection)
        return 0;
    char *fragment = SDL_strchr(parts.extra, '#');
    if (fragment)
        *fragment = 0;
    char *target = alloc_printf("%s%s", parts.path, parts.extra);
    if (!target)
        return 0;
    HttpTransportRequest *handle =
        http_transport_open_request(request->connection, http_kinds[request->kind].verb, target,
                                    parts.scheme == HTTP_TRANSPORT_SCHEME_HTTPS);
    SDL_free(target);
    if (!handle)
        return 0;
    SDL_AtomicSetPtr((void **)&request->request, handle);
    if (parts.user[0] &&
        !http_transport_request_set_credentials(handle, parts.user,
                                                parts.has_password ? parts.password : NULL))
        return 0;
    return 1;
}

static int http_add_headers(HttpTransportRequest *handle, const char *const *headers,
                            const char *content_type)
{
    for (const char *const *h = headers; h && *h; h++)
        if (!http_transport_request_add_header(handle, *h))
            return 0;
    if (!content_type)
        return 1;
    char *line = alloc_printf("Content-Type: %s", content_type);
    int ok = line && http_transport_request_add_header(handle, line);
    SDL_free(line);
    return ok;
}

/* Puts the body in place; *optional_length bytes of io_buffer go with the
 * request, *total_length is the whole body. */
static int http_set_body(HttpRequest *request, const void *body, uint64_t body_length,
                         uint64_t *optional_length, uint64_t *total_length)
{
    *optional_length = 0;
    *total_length = 0;
    switch (request->kind) {
    case HTTP_REQUEST_POST_FORM: {
        const char *const *form = (const char *const *)body;
        if (!form || !form[0])
            return 1;
        char *text = http_form_text(form);
        if (!text)
            return 0;
        request->body_size = SDL_strlen(text);
        if (request->body_size < HTTP_IO_BUFFER_SIZE) {
            SDL_memcpy(request->io_buffer, text, (size_t)request->body_size);
            SDL_free(text);
        } else {
            SDL_free(request->io_buffer);
            request->io_buffer = (uint8_t *)text;
        }
        *optional_length = *total_length = request->body_size;
        return 1;
    }
    case HTTP_REQUEST_POST_RAW:
        if (body_length && !body)
            return 0;
        request->body_size = body_length;
        if (body_length)
            SDL_memcpy(request->io_buffer, body, (size_t)body_length);
        *optional_length = *total_length = body_length;
        return 1;
    case HTTP_REQUEST_PUT_FILE:
        *total_length = request->body_size;
        return 1;
    default:
        return 1;
    }
}

int http_start_request(HttpRequestKind kind, const char *method_name, const char *url,
                       const char *const *headers, const void *body, uint64_t body_length,
                       HttpRequest *request)
{
    /* Checked before the start line, which prints both. */
    if (!request) {
        log_error(HTTP_LOG, "[%p] callback struct is NULL.", (void *)NULL);
        return 0;
    }
    if (!url) {
        log_error(HTTP_LOG, "[%p] Bogus URL requested.", (void *)request);
        return 0;
    }
    log_info(HTTP_LOG, "[%p] Starting HTTP %s for '%s'", (void *)request,
             text_or_empty(method_name), url);
    if (!http_open_session())
        return 0;

    http_reset_record(request, kind);
    char *scratch = NULL;
    if (kind < 0 || kind >= HTTP_KIND_COUNT)
        return http_start_failed(request, scratch);
    const char *content_type = http_content_type(request, headers, http_kinds[kind].content_type);

    uint64_t optional_length = 0, total_length = 0;
    if (!http_prepare(request, body, body_length, SDL_strlen(url), &scratch) ||
        !http_open_handle(request, url, scratch))
        return http_start_failed(request, scratch);
    SDL_free(scratch);
    scratch = NULL;
    HttpTransportRequest *handle = (HttpTransportRequest *)SDL_AtomicGetPtr((void **)&request->request);
    if (!http_add_headers(handle, headers, content_type) ||
        !http_set_body(request, body, body_length, &optional_length, &total_length) ||
        !http_transport_request_send(handle, optional_length ? request->io_buffer : NULL,
                                     optional_length, total_length, request))
        return http_start_failed(request, scratch);
    return 1;
}

int http_get(const char *url, const char *const *headers, HttpRequest *request)
{
    return http_start_request(HTTP_REQUEST_GET, "GET", url, headers, NULL, 0, request);
}

/* ---- pump (main thread) ---- */

static void http_abort(HttpRequest *request)
{
    log_error(HTTP_LOG, "[%p] Callback abort!", (void *)request);
    request->status = -1;
    http_close_handle(request);
}

static void http_complete(HttpRequest *request)
{
    request->done = 1;
    http_close_handle(request);
    http_release_resources(request);
    if (SDL_AtomicGet(&request->failed))
        request->status = -1;
    log_info(HTTP_LOG, "[%p] Response complete! (response code: %d)", (void *)request,
             (int)request->status);
    if (request->on_complete)
        request->on_complete(request);
}

static void http_deliver(ThreadStreamBuffer *message)
{
    HttpRequest *request = (HttpRequest *)threadstream_read_pointer(message);
    HttpEventType type = threadstream_read_u32(message);
    if (!request)
        return;
    switch (type) {
    case HTTP_EVENT_UPLOAD_PROGRESS:
        request->bytes_uploaded += threadstream_read_u32(message);
        break;
    case HTTP_EVENT_STATUS: {
        int32_t status = (int32_t)threadstream_read_u32(message);
        /* Failure is final: a status that was queued earlier must not turn
         * a failed transfer back into a success. */
        if (request->status != -1)
            request->status = status;
        break;
    }
    case HTTP_EVENT_CONTENT_LENGTH: {
        uint64_t low = threadstream_read_u32(message);
        uint64_t high = threadstream_read_u32(message);
        request->content_length = low | (high << 32);
        break;
    }
    case HTTP_EVENT_HEADER: {
        if (request->status == -1)
            break; /* see HTTP_EVENT_DATA */
        request->header_name = threadstream_read_string(message, &request->header_name_len);
        request->data = (const uint8_t *)threadstream_read_string(message, &request->data_len);
        log_debug(HTTP_LOG, "[%p] Response header: '%s: %s'", (void *)request,
                  text_or_empty(request->header_name), text_or_empty((const char *)request->data));
        if (request->on_header && !request->on_header(request))
            http_abort(request);
        break;
    }
    case HTTP_EVENT_DATA:
        /* Blocks queued before the request failed or was aborted are
         * dropped: a callback that failed (a full disk) must not be asked
         * again for every block still on its way. */
        if (request->status == -1)
            break;
        request->data = threadstream_read_bytes(message, &request->data_len);
        request->bytes_received += request->data_len;
        request->header_name = NULL;
        request->header_name_len = 0;
        log_spam(HTTP_LOG, "[%p] Response data, %d bytes more", (void *)request,
                 (int)request->data_len);
        if (request->on_data && !request->on_data(request))
            http_abort(request);
        break;
    case HTTP_EVENT_COMPLETE:
        http_complete(request);
        break;
    default:
        break;
    }
}

void http_pump(void)
{
    if (!http_event_queue)
        return;
    ThreadStreamBuffer *message;
    while ((message = threadstream_queue_pop(http_event_queue)) != NULL) {
        http_deliver(message);
        threadstream_buffer_release(message);
    }
}

void http_shutdown(void)
{
    /* The worker goes first: it may still be posting to the queue. Closing
     * the session ends what is still in flight, and the last pump delivers
     * those completions, so every started request completes and gives its
     * buffers back. */
    if (http_session) {
        http_transport_session_close(http_session);
        http_session = NULL;
        http_pump();
    }
    threadstream_queue_destroy(http_event_queue);
    http_event_queue = NULL;
}
