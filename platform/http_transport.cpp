/* The transport on libcurl's multi interface. One worker thread per session
 * runs every transfer; the owner's threads only queue work for it (send,
 * close) under the session lock and wake it. Notifications are made on the
 * worker with no lock held, so a callback may close handles. */
#include "platform/http_transport.h"

#include <curl/curl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#define TRANSPORT_BLOCK 8192u
#define TRANSPORT_POLL_MS 1000
/* 60 s to connect. A transfer that moves less than 1 KiB/s for 60 s is
 * given up: a server that trickles bytes must not hold it for ever. */
#define TRANSPORT_CONNECT_TIMEOUT_S 60L
#define TRANSPORT_LOW_SPEED_BYTES 1024u
#define TRANSPORT_LOW_SPEED_SECONDS 60u
#define TRANSPORT_MAX_REDIRECTS 10L

static uint32_t transport_low_speed_bytes = TRANSPORT_LOW_SPEED_BYTES;
static uint32_t transport_low_speed_seconds = TRANSPORT_LOW_SPEED_SECONDS;

struct HttpTransportSession {
    CURLM *multi;
    pthread_t thread;
    pthread_mutex_t lock; /* guards the lists below, stopping, and closed */
    HttpTransportCallback callback;
    char *user_agent;
    HttpTransportRequest *submitted; /* sent, not yet picked up; FIFO */
    HttpTransportRequest *submitted_tail;
    HttpTransportRequest *closing;   /* closed by the owner, to be freed */
    HttpTransportRequest *active;    /* every sent request not yet freed */
    int stopping;
};

struct HttpTransportConnection {
    HttpTransportSession *session;
    char *host;
    uint16_t port;
};

struct HttpTransportRequest {
    HttpTransportSession *session;
    CURL *easy;
    char *url;
    char *verb;
    struct curl_slist *headers;
    char *user;
    char *password;
    void *context;
    int sent;   /* owner side, before submission */
    int closed; /* session lock */

    /* Worker side from here on. */
    int in_multi;
    int headers_reported;
    int in_headers_callback;
    char *head; /* the newest response head, lines NUL-terminated */
    uint32_t head_length;
    uint32_t head_capacity;
    const uint8_t *optional;
    uint64_t optional_length;
    uint64_t optional_pos;
    uint64_t total_length;
    const uint8_t *chunk; /* the upload chunk being taken, or NULL */
    uint32_t chunk_length;
    uint32_t chunk_pos;
    int upload_done;
    char error_text[CURL_ERROR_SIZE];
    /* Why our own callback failed the transfer; libcurl's text for that
     * ("Failed writing header") would hide it. */
    char failure_text[CURL_ERROR_SIZE];

    HttpTransportRequest *next_submitted;
    HttpTransportRequest *next_closing;
    HttpTransportRequest *next_active;
    HttpTransportRequest *prev_active;
};

static thread_local uint32_t transport_error;

static int transport_fail(uint32_t error)
{
    transport_error = error;
    return 0;
}

uint32_t http_transport_last_error(void)
{
    return transport_error;
}

void http_transport_set_low_speed_limit(uint32_t bytes_per_second, uint32_t seconds)
{
    transport_low_speed_bytes = bytes_per_second ? bytes_per_second : TRANSPORT_LOW_SPEED_BYTES;
    transport_low_speed_seconds = seconds ? seconds : TRANSPORT_LOW_SPEED_SECONDS;
}

static char *transport_strdup(const char *text)
{
    size_t length = strlen(text);
    char *copy = (char *)malloc(length + 1);
    if (copy)
        memcpy(copy, text, length + 1);
    return copy;
}

/* ---- URL splitting ---- */

/* Copies a part of the URL into a buffer of capacity bytes; a missing part
 * becomes "". */
static int transport_url_part(CURLU *url, CURLUPart part, unsigned flags, char *out,
                              size_t capacity, int *present)
{
    char *value = NULL;
    CURLUcode rc = curl_url_get(url, part, &value, flags);
    if (present)
        *present = rc == CURLUE_OK;
    if (rc != CURLUE_OK) {
        out[0] = 0;
        return 1;
    }
    size_t length = strlen(value);
    int fits = length < capacity;
    if (fits)
        memcpy(out, value, length + 1);
    curl_free(value);
    return fits;
}

int http_transport_crack_url(const char *url, HttpTransportUrl *parts)
{
    if (!url || !parts || !parts->scheme_name || !parts->host || !parts->user ||
        !parts->password || !parts->path || !parts->extra)
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
    CURLU *u = curl_url();
    if (!u)
        return transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);
    size_t capacity = strlen(url) + 1;
    int ok = curl_url_set(u, CURLUPART_URL, url, CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;

    ok = ok && transport_url_part(u, CURLUPART_SCHEME, 0, parts->scheme_name, capacity, NULL);
    ok = ok && transport_url_part(u, CURLUPART_HOST, 0, parts->host, capacity, NULL);
    ok = ok && transport_url_part(u, CURLUPART_USER, CURLU_URLDECODE, parts->user, capacity, NULL);
    ok = ok && transport_url_part(u, CURLUPART_PASSWORD, CURLU_URLDECODE, parts->password,
                                  capacity, &parts->has_password);
    ok = ok && transport_url_part(u, CURLUPART_PATH, 0, parts->path, capacity, NULL);

    /* extra = "?query#fragment", as written; each part only when present. */
    char *query = NULL, *fragment = NULL;
    if (ok) {
        curl_url_get(u, CURLUPART_QUERY, &query, 0);
        curl_url_get(u, CURLUPART_FRAGMENT, &fragment, 0);
        size_t need = (query ? strlen(query) + 1 : 0) + (fragment ? strlen(fragment) + 1 : 0);
        ok = need < capacity;
        if (ok) {
            parts->extra[0] = 0;
            if (query) {
                strcat(parts->extra, "?");
                strcat(parts->extra, query);
            }
            if (fragment) {
                strcat(parts->extra, "#");
                strcat(parts->extra, fragment);
            }
        }
    }
    curl_free(query);
    curl_free(fragment);

    char *port = NULL;
    parts->port = 0;
    if (ok && curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        parts->port = (uint16_t)strtoul(port, NULL, 10);
        curl_free(port);
    }
    curl_url_cleanup(u);
    if (!ok)
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_URL);

    if (strcasecmp(parts->scheme_name, "http") == 0)
        parts->scheme = HTTP_TRANSPORT_SCHEME_HTTP;
    else if (strcasecmp(parts->scheme_name, "https") == 0)
        parts->scheme = HTTP_TRANSPORT_SCHEME_HTTPS;
    else
        parts->scheme = HTTP_TRANSPORT_SCHEME_OTHER;
    return 1;
}

/* ---- notifications (worker thread) ---- */

static int transport_is_closed(HttpTransportRequest *r)
{
    pthread_mutex_lock(&r->session->lock);
    int closed = r->closed;
    pthread_mutex_unlock(&r->session->lock);
    return closed;
}

/* Every notification but HANDLE_CLOSING is suppressed once the owner has
 * closed the handle, so nothing follows a close but the closing itself. */
static void transport_notify(HttpTransportRequest *r, HttpTransportStatus status, void *info,
                             uint32_t info_length)
{
    if (transport_is_closed(r))
        return;
    r->session->callback(r, r->context, status, info, info_length);
}

static void transport_report_headers(HttpTransportRequest *r)
{
    r->headers_reported = 1;
    r->in_headers_callback = 1;
    transport_notify(r, HTTP_TRANSPORT_STATUS_HEADERS_AVAILABLE, NULL, 0);
    r->in_headers_callback = 0;
}

static void transport_report_error(HttpTransportRequest *r, CURLcode code)
{
    HttpTransportAsyncResult result;
    result.api = r->headers_reported ? HTTP_TRANSPORT_API_READ_DATA
                                     : HTTP_TRANSPORT_API_SEND_REQUEST;
    result.error = HTTP_TRANSPORT_ERROR_TRANSFER + (uint32_t)code;
    const char *text = r->failure_text[0] ? r->failure_text
                       : r->error_text[0] ? r->error_text
                                          : curl_easy_strerror(code);
    /* libcurl's text names the step ("Couldn't connect to server"); the
     * system's reason ("Connection refused") is often the useful part. */
    long os_error = 0;
    char words[CURL_ERROR_SIZE + 128];
    char reason[128];
    if (!r->failure_text[0] &&
        curl_easy_getinfo(r->easy, CURLINFO_OS_ERRNO, &os_error) == CURLE_OK && os_error) {
        snprintf(words, sizeof words, "%s (%s)", text,
                 strerror_r((int)os_error, reason, sizeof reason));
        text = words;
    }
    result.text = text;
    transport_notify(r, HTTP_TRANSPORT_STATUS_REQUEST_ERROR, &result, sizeof result);
}

/* ---- libcurl callbacks (worker thread, inside curl_multi_perform) ---- */

static int transport_head_append(HttpTransportRequest *r, const char *line, size_t length)
{
    if (length > UINT32_MAX / 2 || r->head_length > UINT32_MAX / 2)
        return 0;
    uint32_t need = r->head_length + (uint32_t)length + 2; /* NUL and the end line */
    if (need > r->head_capacity) {
        uint32_t capacity = r->head_capacity ? r->head_capacity : 1024;
        while (capacity < need)
            capacity *= 2;
        char *grown = (char *)realloc(r->head, capacity);
        if (!grown)
            return 0;
        r->head = grown;
        r->head_capacity = capacity;
    }
    memcpy(r->head + r->head_length, line, length);
    r->head_length += (uint32_t)length;
    r->head[r->head_length++] = 0;
    return 1;
}

/* A Content-Length must be a count that fits a signed 64-bit number.
 * libcurl takes a larger one as "no length given" and then accepts any
 * body the server closes after, so a cut-off transfer would pass as whole. */
static int transport_content_length_fits(HttpTransportRequest *r, const char *line, size_t length)
{
    static const char name[] = "content-length:";
    size_t name_length = sizeof name - 1;
    if (length < name_length || strncasecmp(line, name, name_length) != 0)
        return 1;
    size_t at = name_length, end = length;
    while (at < end && (line[at] == ' ' || line[at] == '\t'))
        at++;
    while (end > at && (line[end - 1] == ' ' || line[end - 1] == '\t'))
        end--;
    uint64_t value = 0;
    int fits = at < end;
    for (size_t i = at; fits && i < end; i++) {
        unsigned digit = (unsigned)(line[i] - '0');
        fits = digit <= 9 && value <= (uint64_t)(INT64_MAX - digit) / 10;
        value = value * 10 + digit;
    }
    if (!fits)
        snprintf(r->failure_text, sizeof r->failure_text,
                 "Content-Length '%.*s' is not a byte count the transfer can hold",
                 (int)(end - at > 64 ? 64 : end - at), line + at);
    return fits;
}

/* Keeps the head of the newest response only: a status line starts over,
 * so the heads of redirects and interim (1xx) answers are never reported. */
static size_t transport_on_header(char *buffer, size_t size, size_t count, void *user)
{
    HttpTransportRequest *r = (HttpTransportRequest *)user;
    size_t length = size * count;
    if (transport_is_closed(r))
        return 0;
    if (r->headers_reported)
        return length; /* trailers */
    size_t line = length;
    while (line > 0 && (buffer[line - 1] == '\n' || buffer[line - 1] == '\r'))
        line--;
    if (line >= 5 && memcmp(buffer, "HTTP/", 5) == 0)
        r->head_length = 0;
    if (!transport_content_length_fits(r, buffer, line))
        return 0;
    if (!transport_head_append(r, buffer, line))
        return 0;
    return length;
}

static size_t transport_on_body(char *buffer, size_t size, size_t count, void *user)
{
    HttpTransportRequest *r = (HttpTransportRequest *)user;
    size_t length = size * count;
    if (!r->headers_reported)
        transport_report_headers(r);
    for (size_t at = 0; at < length;) {
        if (transport_is_closed(r))
            return CURL_WRITEFUNC_ERROR;
        uint32_t block = (uint32_t)(length - at < TRANSPORT_BLOCK ? length - at : TRANSPORT_BLOCK);
        transport_notify(r, HTTP_TRANSPORT_STATUS_READ_COMPLETE, buffer + at, block);
        at += block;
    }
    return transport_is_closed(r) ? CURL_WRITEFUNC_ERROR : length;
}

/* Hands libcurl the optional bytes, then the owner's chunks; each chunk that
 * has been taken whole is reported with WRITE_COMPLETE, whose callback
 * gives the next one. */
static size_t transport_on_upload(char *buffer, size_t size, size_t count, void *user)
{
    HttpTransportRequest *r = (HttpTransportRequest *)user;
    size_t room = size * count;
    size_t copied = 0;
    while (copied < room) {
        if (transport_is_closed(r))
            return CURL_READFUNC_ABORT;
        if (r->optional_pos < r->optional_length) {
            uint64_t n = r->optional_length - r->optional_pos;
            if (n > room - copied)
                n = room - copied;
            memcpy(buffer + copied, r->optional + r->optional_pos, (size_t)n);
            r->optional_pos += n;
            copied += (size_t)n;
            continue;
        }
        if (r->chunk) {
            uint32_t n = r->chunk_length - r->chunk_pos;
            if (n > room - copied)
                n = (uint32_t)(room - copied);
            memcpy(buffer + copied, r->chunk + r->chunk_pos, n);
            r->chunk_pos += n;
            copied += n;
            if (r->chunk_pos == r->chunk_length) {
                uint32_t written = r->chunk_length;
                r->chunk = NULL;
                transport_notify(r, HTTP_TRANSPORT_STATUS_WRITE_COMPLETE, &written, sizeof written);
            }
            continue;
        }
        if (r->upload_done || copied)
            break;
        /* Nothing to give and nothing promised: the owner did not answer
         * the last notification with a chunk or the end of the body. */
        return CURL_READFUNC_ABORT;
    }
    return copied;
}

/* ---- worker ---- */

static void transport_free_request(HttpTransportRequest *r)
{
    if (r->easy)
        curl_easy_cleanup(r->easy);
    curl_slist_free_all(r->headers);
    free(r->url);
    free(r->verb);
    free(r->user);
    free(r->password);
    free(r->head);
    free(r);
}

static void transport_start(HttpTransportSession *s, HttpTransportRequest *r)
{
    transport_notify(r, HTTP_TRANSPORT_STATUS_SENDREQUEST_COMPLETE, NULL, 0);
    if (transport_is_closed(r))
        return;
    if (curl_multi_add_handle(s->multi, r->easy) != CURLM_OK) {
        strcpy(r->error_text, "the transfer could not be started");
        transport_report_error(r, CURLE_FAILED_INIT);
        return;
    }
    r->in_multi = 1;
}

static void transport_finish(HttpTransportSession *s, HttpTransportRequest *r, CURLcode result)
{
    curl_multi_remove_handle(s->multi, r->easy);
    r->in_multi = 0;
    if (result != CURLE_OK) {
        transport_report_error(r, result);
        return;
    }
    if (!r->headers_reported)
        transport_report_headers(r);
    transport_notify(r, HTTP_TRANSPORT_STATUS_READ_COMPLETE, NULL, 0);
}

/* The last notification of a request; the handle is gone afterwards. */
static void transport_release(HttpTransportSession *s, HttpTransportRequest *r)
{
    if (r->in_multi) {
        curl_multi_remove_handle(s->multi, r->easy);
        r->in_multi = 0;
    }
    s->callback(r, r->context, HTTP_TRANSPORT_STATUS_HANDLE_CLOSING, NULL, 0);
    pthread_mutex_lock(&s->lock);
    if (r->prev_active)
        r->prev_active->next_active = r->next_active;
    else
        s->active = r->next_active;
    if (r->next_active)
        r->next_active->prev_active = r->prev_active;
    pthread_mutex_unlock(&s->lock);
    transport_free_request(r);
}

static void transport_run_transfers(HttpTransportSession *s)
{
    int running = 0;
    curl_multi_perform(s->multi, &running);
    CURLMsg *message;
    int left;
    while ((message = curl_multi_info_read(s->multi, &left)) != NULL) {
        if (message->msg != CURLMSG_DONE)
            continue;
        HttpTransportRequest *r = NULL;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, (char **)&r);
        if (r)
            transport_finish(s, r, message->data.result);
    }
}

static void *transport_worker(void *arg)
{
    HttpTransportSession *s = (HttpTransportSession *)arg;
    for (;;) {
        pthread_mutex_lock(&s->lock);
        HttpTransportRequest *submitted = s->submitted;
        HttpTransportRequest *closing = s->closing;
        s->submitted = s->submitted_tail = NULL;
        s->closing = NULL;
        int stopping = s->stopping;
        pthread_mutex_unlock(&s->lock);

        /* When stopping, requests not started yet are ended below with
         * the rest. */
        while (submitted) {
            HttpTransportRequest *next = submitted->next_submitted;
            if (!stopping)
                transport_start(s, submitted);
            submitted = next;
        }
        while (closing) {
            HttpTransportRequest *next = closing->next_closing;
            transport_release(s, closing);
            closing = next;
        }
        if (stopping)
            break;
        transport_run_transfers(s);
        curl_multi_poll(s->multi, NULL, 0, TRANSPORT_POLL_MS, NULL);
    }

    /* Whatever is still open ends here; its owner learns it from the
     * closing notification. */
    for (;;) {
        pthread_mutex_lock(&s->lock);
        HttpTransportRequest *r = s->active;
        if (r)
            r->closed = 1;
        pthread_mutex_unlock(&s->lock);
        if (!r)
            break;
        transport_release(s, r);
    }
    return NULL;
}

/* ---- session, connection, request (owner threads) ---- */

HttpTransportSession *http_transport_session_open(const char *user_agent,
                                                  HttpTransportCallback callback)
{
    if (!user_agent || !callback) {
        transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);
        return NULL;
    }
    HttpTransportSession *s = (HttpTransportSession *)calloc(1, sizeof *s);
    if (s) {
        s->callback = callback;
        s->user_agent = transport_strdup(user_agent);
        s->multi = curl_multi_init();
    }
    if (!s || !s->user_agent || !s->multi || pthread_mutex_init(&s->lock, NULL) != 0) {
        if (s) {
            if (s->multi)
                curl_multi_cleanup(s->multi);
            free(s->user_agent);
            free(s);
        }
        curl_global_cleanup();
        transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);
        return NULL;
    }
    if (pthread_create(&s->thread, NULL, transport_worker, s) != 0) {
        pthread_mutex_destroy(&s->lock);
        curl_multi_cleanup(s->multi);
        free(s->user_agent);
        free(s);
        curl_global_cleanup();
        transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);
        return NULL;
    }
    return s;
}

void http_transport_session_close(HttpTransportSession *session)
{
    if (!session)
        return;
    pthread_mutex_lock(&session->lock);
    session->stopping = 1;
    pthread_mutex_unlock(&session->lock);
    curl_multi_wakeup(session->multi);
    pthread_join(session->thread, NULL);
    pthread_mutex_destroy(&session->lock);
    curl_multi_cleanup(session->multi);
    free(session->user_agent);
    free(session);
    curl_global_cleanup();
}

HttpTransportConnection *http_transport_connect(HttpTransportSession *session, const char *host,
                                                uint16_t port)
{
    if (!session || !host || !host[0] || port == 0) {
        transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
        return NULL;
    }
    HttpTransportConnection *c = (HttpTransportConnection *)calloc(1, sizeof *c);
    if (c)
        c->host = transport_strdup(host);
    if (!c || !c->host) {
        free(c);
        transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);
        return NULL;
    }
    c->session = session;
    c->port = port;
    return c;
}

void http_transport_connection_close(HttpTransportConnection *connection)
{
    if (!connection)
        return;
    free(connection->host);
    free(connection);
}

/* A verb is a token; anything else could smuggle text into the request line. */
static int transport_is_token(const char *text)
{
    if (!text[0])
        return 0;
    for (const char *p = text; *p; p++)
        if (*p <= ' ' || *p >= 127 || strchr("()<>@,;:\\\"/[]?={}", *p))
            return 0;
    return 1;
}

HttpTransportRequest *http_transport_open_request(HttpTransportConnection *connection,
                                                  const char *verb, const char *target,
                                                  int secure)
{
    if (!connection || !verb || !target || target[0] != '/' || !transport_is_token(verb)) {
        transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
        return NULL;
    }
    HttpTransportRequest *r = (HttpTransportRequest *)calloc(1, sizeof *r);
    if (!r) {
        transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);
        return NULL;
    }
    r->session = connection->session;
    size_t length = strlen(connection->host) + strlen(target) + 16;
    r->url = (char *)malloc(length);
    r->verb = transport_strdup(verb);
    r->easy = curl_easy_init();
    /* No "Expect: 100-continue": servers that ignore it would stall every
     * upload by a second. */
    r->headers = curl_slist_append(NULL, "Expect:");
    if (!r->url || !r->verb || !r->easy || !r->headers) {
        transport_free_request(r);
        transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);
        return NULL;
    }
    snprintf(r->url, length, "%s://%s:%u%s", secure ? "https" : "http", connection->host,
             (unsigned)connection->port, target);
    return r;
}

int http_transport_request_set_credentials(HttpTransportRequest *request, const char *user,
                                           const char *password)
{
    if (!request || request->sent || !user)
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
    char *u = transport_strdup(user);
    char *p = transport_strdup(password ? password : "");
    if (!u || !p) {
        free(u);
        free(p);
        return transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);
    }
    free(request->user);
    free(request->password);
    request->user = u;
    request->password = p;
    return 1;
}

static int transport_same_header(const char *a, const char *b)
{
    const char *ca = strchr(a, ':');
    const char *cb = strchr(b, ':');
    size_t la = ca ? (size_t)(ca - a) : strlen(a);
    size_t lb = cb ? (size_t)(cb - b) : strlen(b);
    return la == lb && strncasecmp(a, b, la) == 0;
}

int http_transport_request_add_header(HttpTransportRequest *request, const char *line)
{
    if (!request || request->sent || !line)
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        length--;
    const char *colon = (const char *)memchr(line, ':', length);
    /* A header needs a name, and no line break inside it. */
    if (!colon || colon == line || memchr(line, '\r', length) || memchr(line, '\n', length))
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
    char *text = (char *)malloc(length + 1);
    if (!text)
        return transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);
    memcpy(text, line, length);
    text[length] = 0;

    struct curl_slist *rebuilt = NULL;
    int ok = 1;
    for (struct curl_slist *h = request->headers; h && ok; h = h->next) {
        if (transport_same_header(h->data, text))
            continue;
        struct curl_slist *grown = curl_slist_append(rebuilt, h->data);
        ok = grown != NULL;
        if (ok)
            rebuilt = grown;
    }
    if (ok) {
        struct curl_slist *grown = curl_slist_append(rebuilt, text);
        ok = grown != NULL;
        if (ok)
            rebuilt = grown;
    }
    free(text);
    if (!ok) {
        curl_slist_free_all(rebuilt);
        return transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);
    }
    curl_slist_free_all(request->headers);
    request->headers = rebuilt;
    return 1;
}

static int transport_set_method(HttpTransportRequest *r)
{
    CURL *e = r->easy;
    static const char empty_body[1] = {0};
    int whole_body_at_once = r->optional_length == r->total_length;
    if (strcmp(r->verb, "GET") == 0 && r->total_length == 0)
        return curl_easy_setopt(e, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    if (strcmp(r->verb, "HEAD") == 0 && r->total_length == 0)
        return curl_easy_setopt(e, CURLOPT_NOBODY, 1L) == CURLE_OK;
    if (strcmp(r->verb, "POST") == 0 && whole_body_at_once) {
        /* libcurl keeps the pointer: the owner keeps the bytes until the
         * handle closes, and a 307 can send them again. */
        return curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)r->total_length) ==
                   CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_POSTFIELDS,
                                r->optional ? (const char *)r->optional : empty_body) == CURLE_OK;
    }
    int ok = 1;
    if (strcmp(r->verb, "POST") == 0) {
        ok = curl_easy_setopt(e, CURLOPT_POST, 1L) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)r->total_length) ==
                 CURLE_OK;
    } else {
        int put = strcmp(r->verb, "PUT") == 0;
        if (!put)
            ok = curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r->verb) == CURLE_OK;
        if (put || r->total_length > 0)
            ok = ok && curl_easy_setopt(e, CURLOPT_UPLOAD, 1L) == CURLE_OK &&
                 curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, (curl_off_t)r->total_length) ==
                     CURLE_OK;
    }
    return ok && curl_easy_setopt(e, CURLOPT_READFUNCTION, transport_on_upload) == CURLE_OK &&
           curl_easy_setopt(e, CURLOPT_READDATA, r) == CURLE_OK;
}

static int transport_configure(HttpTransportRequest *r)
{
    CURL *e = r->easy;
    int ok = curl_easy_setopt(e, CURLOPT_URL, r->url) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_PRIVATE, (char *)r) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_USERAGENT, r->session->user_agent) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_MAXREDIRS, TRANSPORT_MAX_REDIRECTS) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, TRANSPORT_CONNECT_TIMEOUT_S) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, (long)transport_low_speed_bytes) ==
                 CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, (long)transport_low_speed_seconds) ==
                 CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r->error_text) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, transport_on_header) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_HEADERDATA, r) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, transport_on_body) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_WRITEDATA, r) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_HTTPHEADER, r->headers) == CURLE_OK;
    if (ok && r->user) {
        ok = curl_easy_setopt(e, CURLOPT_HTTPAUTH, (long)CURLAUTH_BASIC) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_USERNAME, r->user) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_PASSWORD, r->password) == CURLE_OK;
    }
    return ok && transport_set_method(r);
}

int http_transport_request_send(HttpTransportRequest *request, const void *optional,
                                uint64_t optional_length, uint64_t total_length, void *context)
{
    if (!request || request->sent || optional_length > total_length ||
        (optional_length && !optional))
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
    request->optional = (const uint8_t *)optional;
    request->optional_length = optional_length;
    request->total_length = total_length;
    if (!transport_configure(request))
        return transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);

    HttpTransportSession *s = request->session;
    pthread_mutex_lock(&s->lock);
    if (s->stopping) {
        pthread_mutex_unlock(&s->lock);
        return transport_fail(HTTP_TRANSPORT_ERROR_SHUTTING_DOWN);
    }
    /* Bound to its context only now: a request that was never handed over
     * can never notify anyone. */
    request->context = context;
    request->sent = 1;
    if (s->submitted_tail)
        s->submitted_tail->next_submitted = request;
    else
        s->submitted = request;
    s->submitted_tail = request;
    request->next_active = s->active;
    if (s->active)
        s->active->prev_active = request;
    s->active = request;
    pthread_mutex_unlock(&s->lock);
    curl_multi_wakeup(s->multi);
    return 1;
}

int http_transport_request_write(HttpTransportRequest *request, const void *data,
                                 uint32_t length)
{
    if (!request || !request->sent || (length && !data))
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
    if (request->chunk || request->upload_done || transport_is_closed(request))
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_STATE);
    if (length == 0)
        return 1;
    request->chunk = (const uint8_t *)data;
    request->chunk_length = length;
    request->chunk_pos = 0;
    return 1;
}

int http_transport_request_receive_response(HttpTransportRequest *request)
{
    if (!request || !request->sent)
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
    if (transport_is_closed(request))
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_STATE);
    request->upload_done = 1;
    return 1;
}

int http_transport_query_status_code(HttpTransportRequest *request, uint32_t *code)
{
    if (!request || !code)
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
    long value = 0;
    if (!request->in_headers_callback ||
        curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &value) != CURLE_OK)
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_STATE);
    *code = (uint32_t)value;
    return 1;
}

int http_transport_query_content_length(HttpTransportRequest *request, uint64_t *length)
{
    if (!request || !length)
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
    curl_off_t value = -1;
    if (!request->in_headers_callback ||
        curl_easy_getinfo(request->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &value) != CURLE_OK)
        return transport_fail(HTTP_TRANSPORT_ERROR_INVALID_STATE);
    if (value < 0)
        return transport_fail(HTTP_TRANSPORT_ERROR_HEADER_NOT_FOUND);
    *length = (uint64_t)value;
    return 1;
}

const char *http_transport_query_raw_headers(HttpTransportRequest *request, uint32_t *length)
{
    if (!request || !length) {
        transport_fail(HTTP_TRANSPORT_ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (!request->in_headers_callback || !request->head) {
        transport_fail(HTTP_TRANSPORT_ERROR_INVALID_STATE);
        return NULL;
    }
    /* The head normally ends with its empty line already; make sure. */
    if (request->head_length == 0 || request->head[request->head_length - 1] != 0 ||
        (request->head_length >= 2 && request->head[request->head_length - 2] != 0)) {
        if (!transport_head_append(request, "", 0)) {
            transport_fail(HTTP_TRANSPORT_ERROR_OUT_OF_MEMORY);
            return NULL;
        }
    }
    *length = request->head_length;
    return request->head;
}

void http_transport_request_close(HttpTransportRequest *request)
{
    if (!request)
        return;
    if (!request->sent) {
        transport_free_request(request);
        return;
    }
    HttpTransportSession *s = request->session;
    pthread_mutex_lock(&s->lock);
    int already = request->closed;
    if (!already) {
        request->closed = 1;
        request->next_closing = s->closing;
        s->closing = request;
    }
    pthread_mutex_unlock(&s->lock);
    if (!already)
        curl_multi_wakeup(s->multi);
}
