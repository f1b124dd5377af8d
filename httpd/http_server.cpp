#include "httpd/http_server.h"

#include "engine/build_revision.h"
#include "engine/log.h"

#include <SDL.h>

#include <string.h>

/* The response head, a literal at both of its calls so that the compiler
 * checks their arguments. The Server line names the build's whole
 * revision, read when the programs are built, like the log's short one. */
#define HTTP_SERVER_HEAD_FORMAT                                                   \
    "HTTP/1.0 %d %s\r\nServer: brindlecot-httpd/%s"                              \
    "\r\n%sContent-Length: %llu\r\nConnection: close\r\n"

#define HTTP_SERVER_LOG "HTTPServer"
#define HTTP_SERVER_DEFAULT_TYPE "Content-Type: text/html; charset=utf-8\r\n"

static NetSocket http_server_listen_socket = NET_INVALID_SOCKET;
static HttpServerConnection *http_server_connections = NULL;
static char socket_error_buffer[256];
/* Set while accept keeps failing (out of descriptors, say), so one streak
 * of failures is logged once and not at every poll. */
static int http_server_accept_failing = 0;

static const char *socket_error_text(void)
{
    return net_error_text(net_last_error(), socket_error_buffer, sizeof socket_error_buffer);
}

/* A signed difference, so the tick counter may wrap. */
static int http_server_deadline_passed(uint32_t deadline, uint32_t now)
{
    return (int32_t)(deadline - now) <= 0;
}

/* ---- listening ---------------------------------------------------------- */

/* One candidate through every step; the socket, or NET_INVALID_SOCKET once
 * the failing step has been logged. */
static NetSocket http_server_try_candidate(const NetAddress *a)
{
    NetSocket s = net_socket(a->family, a->socktype, a->protocol);
    if (s == NET_INVALID_SOCKET) {
        log_error(HTTP_SERVER_LOG, "socket() didn't create a listen socket! Will try other options! (%s)",
                  socket_error_text());
        return NET_INVALID_SOCKET;
    }
    const char *failed = NULL;
    if (!net_set_nonblocking(s))
        failed = "Failed to make the listen socket non-blocking!";
    else if (!net_set_reuse_address(s))
        failed = "Failed to setsockopt(SO_REUSEADDR) the listen socket!";
    else if (a->family == NET_FAMILY_IPV6 && !net_set_ipv6_only(s, 0))
        failed = "Failed to setsockopt(IPV6_V6ONLY, 0) the listen socket!";
    else if (!net_bind(s, a->addr, a->addr_len))
        failed = "Failed to bind() the listen socket!";
    else if (!net_listen(s, HTTP_SERVER_BACKLOG))
        failed = "Failed to listen() on the listen socket!";
    if (!failed)
        return s;
    log_error(HTTP_SERVER_LOG, "%s Will try other options! (%s)", failed, socket_error_text());
    net_close(s);
    return NET_INVALID_SOCKET;
}

static NetSocket http_server_try_list(const NetAddress *list)
{
    for (const NetAddress *a = list; a; a = a->next) {
        NetSocket s = http_server_try_candidate(a);
        if (s != NET_INVALID_SOCKET)
            return s;
    }
    return NET_INVALID_SOCKET;
}

int http_server_init(int16_t port)
{
    char port_text[16];
    SDL_snprintf(port_text, sizeof port_text, "%u", (unsigned)(uint16_t)port);
    socket_error_buffer[0] = '\0';

    /* IPv6 first (it takes IPv4 clients too); IPv4 alone when no IPv6
     * socket can be had, be it for want of an address or of a socket. */
    const char *lookup_error = NULL;
    NetAddress *list6 = net_passive_addresses(NET_FAMILY_IPV6, port_text, &lookup_error);
    NetSocket s = http_server_try_list(list6);
    net_free_addresses(list6);
    if (s == NET_INVALID_SOCKET) {
        NetAddress *list4 = net_passive_addresses(NET_FAMILY_IPV4, port_text, &lookup_error);
        if (!list6 && !list4) {
            SDL_snprintf(socket_error_buffer, sizeof socket_error_buffer, "%s", lookup_error);
            log_error(HTTP_SERVER_LOG, "getaddrinfo() failed to find where we should bind! (%s)",
                      lookup_error);
            return 0;
        }
        s = http_server_try_list(list4);
        net_free_addresses(list4);
    }
    if (s == NET_INVALID_SOCKET) {
        log_error(HTTP_SERVER_LOG, "Failed to create a listen socket on any reasonable interface.");
        http_server_listen_socket = NET_INVALID_SOCKET;
        return 0;
    }
    http_server_listen_socket = s;
    return 1;
}

int http_server_port(void)
{
    if (http_server_listen_socket == NET_INVALID_SOCKET)
        return -1;
    return net_local_port(http_server_listen_socket);
}

const char *http_server_error_text(void)
{
    return socket_error_buffer;
}

/* Why the last http_server_respond returned 0, for its caller's line. */
static const char *http_server_respond_cause = "";
static const char http_server_out_of_memory_cause[] = "out of memory allocating response buffer";

const char *http_server_respond_failure(void)
{
    return http_server_respond_cause;
}

HttpServerConnection *http_server_connections_get(void)
{
    return http_server_connections;
}

/* ---- accepting ---------------------------------------------------------- */

static void http_server_peer_text(const void *addr, uint32_t addr_len, char *out, size_t size)
{
    if (!net_numeric_host(addr, addr_len, out, size)) {
        SDL_snprintf(out, size, "???");
        return;
    }
    /* IPv4 clients of the dual-stack socket show as plain dotted addresses. */
    if (SDL_strncasecmp(out, "::ffff:", 7) == 0)
        SDL_memmove(out, out + 7, SDL_strlen(out + 7) + 1);
}

static void http_server_accept(void)
{
    unsigned char addr[NET_ADDRESS_MAX];
    SDL_memset(addr, 0, sizeof addr);
    uint32_t addr_len = sizeof addr;
    NetSocket s = net_accept(http_server_listen_socket, addr, &addr_len);
    if (s == NET_INVALID_SOCKET) {
        int err = net_last_error();
        if (net_error_would_block(err))
            return;
        /* Out of descriptors or a connection aborted before we took it:
         * the listening socket is still good, so keep it and try again. */
        if (!http_server_accept_failing)
            log_error(HTTP_SERVER_LOG, "Error in accept()! Will keep trying on later polls. (%s)",
                      net_error_text(err, socket_error_buffer, sizeof socket_error_buffer));
        http_server_accept_failing = 1;
        return;
    }
    http_server_accept_failing = 0;
    if (addr_len > sizeof addr)
        addr_len = sizeof addr;

    char host[64];
    http_server_peer_text(addr, addr_len, host, sizeof host);
    log_debug(HTTP_SERVER_LOG, "New HTTP connection from %s!", host);

    if (!net_set_nonblocking(s)) {
        log_error(HTTP_SERVER_LOG, "failed to make socket for %s non-blocking: %s", host,
                  socket_error_text());
        net_close(s);
        return;
    }
    HttpServerConnection *conn = (HttpServerConnection *)SDL_calloc(1, sizeof *conn);
    if (!conn) {
        log_error(HTTP_SERVER_LOG, "out of memory setting up new connection for %s", host);
        net_close(s);
        return;
    }
    conn->socket = s;
    conn->state = HTTP_CONN_READING_HEAD;
    conn->deadline = SDL_GetTicks() + HTTP_SERVER_TIMEOUT_MS;
    SDL_memcpy(conn->peer_addr, addr, addr_len);
    SDL_snprintf(conn->peer_text, sizeof conn->peer_text, "%s", host);
    conn->next = http_server_connections;
    http_server_connections = conn;
}

/* ---- reading ------------------------------------------------------------ */

/* A read or send found no data or no room: drop the connection once its
 * deadline has passed. */
static void http_server_stall_check(HttpServerConnection *conn, uint32_t now)
{
    if (http_server_deadline_passed(conn->deadline, now)) {
        log_error(HTTP_SERVER_LOG, "%s appears to have stalled out, dropping.", conn->peer_text);
        conn->state = HTTP_CONN_CLOSING;
    }
}

/* Length of a line's text without its LF and a CR before it. */
static uint64_t http_server_line_text_len(const char *line, const char *lf)
{
    uint64_t len = (uint64_t)(lf - line);
    if (len > 0 && line[len - 1] == '\r')
        len--;
    return len;
}

/* Finds the empty line that ends the head; 1 with the head's length (up to
 * and including that line's LF) and its count of non-empty lines. */
static int http_server_find_head_end(const char *buf, uint64_t received, uint32_t *head_len,
                                     uint32_t *lines)
{
    uint64_t pos = 0;
    uint32_t count = 0;
    for (;;) {
        const char *line = buf + pos;
        const char *lf = (const char *)memchr(line, '\n', received - pos);
        if (!lf)
            return 0;
        pos = (uint64_t)(lf - buf) + 1;
        if (http_server_line_text_len(line, lf) == 0) {
            *head_len = (uint32_t)pos;
            *lines = count;
            return 1;
        }
        count++;
    }
}

/* The value of a Content-Length line, read like "%llu" would but never past
 * the line's end: blanks, an optional sign, digits. 0 when no number is
 * there. A negative number, like a huge one, comes out as UINT64_MAX. */
static int http_server_parse_length(const char *p, const char *end, uint64_t *out)
{
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\v' || *p == '\f'))
        p++;
    int negative = 0;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        p++;
    }
    if (p >= end || *p < '0' || *p > '9')
        return 0;
    uint64_t value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; p++) {
        unsigned digit = (unsigned)(*p - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    *out = (negative && value != 0) ? UINT64_MAX : value;
    return 1;
}

/* The declared body length of a complete head: 1 with the length, 0 when
 * the connection must be dropped (already logged). */
static int http_server_body_length(HttpServerConnection *conn, uint32_t head_len,
                                   uint64_t *out)
{
    const char *buf = conn->buffer;
    uint64_t pos = 0;
    int seen = 0;
    *out = 0;
    while (pos < head_len) {
        const char *line = buf + pos;
        const char *lf = (const char *)memchr(line, '\n', head_len - pos);
        uint64_t len = http_server_line_text_len(line, lf);
        pos = (uint64_t)(lf - buf) + 1;
        if (len < 16 || SDL_strncasecmp(line, "Content-Length:", 15) != 0)
            continue;
        if (seen) {
            log_error(HTTP_SERVER_LOG, "%s sent more than one Content-Length header! Dropping.",
                      conn->peer_text);
            return 0;
        }
        seen = 1;
        if (!http_server_parse_length(line + 15, line + len, out)) {
            log_error(HTTP_SERVER_LOG, "%s sent a bogus Content-Length! Dropping.", conn->peer_text);
            return 0;
        }
    }
    return 1;
}

/* Cuts the head into NUL-terminated lines and hands the request out. */
static HttpServerRequest *http_server_make_request(HttpServerConnection *conn)
{
    conn->buffer[conn->buffer_pos] = '\0';
    conn->state = HTTP_CONN_AWAITING_RESPONSE;

    HttpServerRequest *req = (HttpServerRequest *)SDL_calloc(
        1, sizeof(HttpServerRequest) + (size_t)conn->header_lines * sizeof(char *));
    if (!req) {
        log_error(HTTP_SERVER_LOG, "Out of memory allocating a HttpServerRequest!");
        conn->state = HTTP_CONN_CLOSING;
        return NULL;
    }
    req->connection = conn;
    req->peer = conn->peer_text;
    req->headers = (char **)(req + 1);

    char *buf = conn->buffer;
    char *request_line = NULL;
    uint64_t pos = 0;
    for (;;) {
        char *line = buf + pos;
        char *lf = (char *)memchr(line, '\n', conn->buffer_pos - pos);
        /* A NUL inside the head ends the split; that line is not taken. */
        if (!lf || memchr(line, '\0', (size_t)(lf - line)))
            break;
        uint64_t len = http_server_line_text_len(line, lf);
        pos = (uint64_t)(lf - buf) + 1;
        line[len] = '\0';
        *lf = '\0';
        if (len == 0) {
            req->body = lf + 1;
            req->body_len = conn->expected_total - (uint32_t)pos;
            break;
        }
        if (!request_line)
            request_line = line;
        else if (req->header_count < conn->header_lines)
            req->headers[req->header_count++] = line;
    }

    char *space = request_line ? SDL_strchr(request_line, ' ') : NULL;
    if (!space) {
        log_error(HTTP_SERVER_LOG, "%s sent a bogus request line, dropping.", conn->peer_text);
        SDL_free(req);
        conn->state = HTTP_CONN_CLOSING;
        return NULL;
    }
    *space = '\0';
    req->method = request_line;
    req->path = space + 1;
    char *version = SDL_strchr(req->path, ' ');
    if (version)
        *version = '\0';
    conn->is_head = SDL_strcasecmp(req->method, "HEAD") == 0;
    return req;
}

/* After a read in READING_HEAD: look for the end of the head and check
 * what it declares. */
static HttpServerRequest *http_server_scan_head(HttpServerConnection *conn)
{
    uint32_t head_len = 0, lines = 0;
    if (!http_server_find_head_end(conn->buffer, conn->buffer_pos, &head_len, &lines))
        return NULL;
    conn->header_lines = lines;
    uint64_t body_len = 0;
    if (!http_server_body_length(conn, head_len, &body_len)) {
        conn->state = HTTP_CONN_CLOSING;
        return NULL;
    }
    if (body_len > HTTP_SERVER_MAX_REQUEST - head_len) {
        log_error(HTTP_SERVER_LOG, "%s wants to send too much data! Dropping.", conn->peer_text);
        conn->state = HTTP_CONN_CLOSING;
        return NULL;
    }
    conn->expected_total = head_len + (uint32_t)body_len;
    conn->state = HTTP_CONN_READING_BODY;
    if (conn->buffer_pos >= conn->expected_total)
        return http_server_make_request(conn);
    return NULL;
}

static HttpServerRequest *http_server_read_step(HttpServerConnection *conn, uint32_t now)
{
    /* The limit is on what the client sent, whatever room the buffer has. */
    if (conn->buffer_pos > HTTP_SERVER_MAX_REQUEST) {
        log_error(HTTP_SERVER_LOG, "%s is sending too much data, dropping.", conn->peer_text);
        conn->state = HTTP_CONN_CLOSING;
        return NULL;
    }
    uint64_t room = conn->buffer_len - conn->buffer_pos;
    if (room < HTTP_SERVER_READ_GROWTH) {
        char *grown = (char *)SDL_realloc(conn->buffer, (size_t)(conn->buffer_len + HTTP_SERVER_READ_GROWTH));
        if (!grown) {
            log_error(HTTP_SERVER_LOG, "%s out of memory on read, dropping.", conn->peer_text);
            conn->state = HTTP_CONN_CLOSING;
            return NULL;
        }
        conn->buffer = grown;
        conn->buffer_len += HTTP_SERVER_READ_GROWTH;
        room += HTTP_SERVER_READ_GROWTH;
    }
    /* One byte stays free for the NUL after the data; reading stops one
     * byte past the limit, which is enough to tell the client is over it. */
    uint64_t want = room - 1;
    if (want > HTTP_SERVER_MAX_REQUEST + 1 - conn->buffer_pos)
        want = HTTP_SERVER_MAX_REQUEST + 1 - conn->buffer_pos;
    int64_t n = net_recv(conn->socket, conn->buffer + conn->buffer_pos, (size_t)want);
    if (n > 0) {
        log_spam(HTTP_SERVER_LOG, "Read %d more bytes from %s.", (int)n, conn->peer_text);
        conn->deadline = now + HTTP_SERVER_TIMEOUT_MS;
        conn->buffer_pos += (uint64_t)n;
        if (conn->state == HTTP_CONN_READING_HEAD)
            return http_server_scan_head(conn);
        if (conn->buffer_pos >= conn->expected_total)
            return http_server_make_request(conn);
        return NULL;
    }
    if (n == 0) {
        log_error(HTTP_SERVER_LOG, "%s appears to have dropped us.", conn->peer_text);
        conn->state = HTTP_CONN_CLOSING;
        return NULL;
    }
    int err = net_last_error();
    if (net_error_would_block(err)) {
        http_server_stall_check(conn, now);
        return NULL;
    }
    log_error(HTTP_SERVER_LOG, "%s socket read error (%s), dropping.", conn->peer_text,
              net_error_text(err, socket_error_buffer, sizeof socket_error_buffer));
    conn->state = HTTP_CONN_CLOSING;
    return NULL;
}

/* ---- sending and closing ------------------------------------------------ */

static void http_server_send_step(HttpServerConnection *conn, uint32_t now)
{
    int64_t n = net_send(conn->socket, conn->buffer + conn->buffer_pos,
                         (size_t)(conn->buffer_len - conn->buffer_pos));
    if (n > 0) {
        log_spam(HTTP_SERVER_LOG, "Wrote %d more bytes to %s.", (int)n, conn->peer_text);
        conn->deadline = now + HTTP_SERVER_TIMEOUT_MS;
        conn->buffer_pos += (uint64_t)n;
        if (conn->buffer_pos == conn->buffer_len) {
            log_spam(HTTP_SERVER_LOG, "We've written the whole response to %s! Moving to close.",
                     conn->peer_text);
            /* Our end of the response goes out now; the close waits for the
             * client to hang up, so a reset can't overtake the last bytes. */
            net_shutdown_send(conn->socket);
            conn->lingering = 1;
            conn->deadline = now + HTTP_SERVER_LINGER_MS;
            conn->state = HTTP_CONN_CLOSING;
        }
        return;
    }
    if (n == 0)
        return;
    int err = net_last_error();
    if (net_error_would_block(err)) {
        http_server_stall_check(conn, now);
        return;
    }
    log_error(HTTP_SERVER_LOG, "%s socket write error (%s), dropping.", conn->peer_text,
              net_error_text(err, socket_error_buffer, sizeof socket_error_buffer));
    conn->state = HTTP_CONN_CLOSING;
}

/* 1 while an answered connection should wait for its client to hang up:
 * whatever the client still sends is read and thrown away. */
static int http_server_linger(HttpServerConnection *conn, uint32_t now)
{
    if (!conn->lingering || http_server_deadline_passed(conn->deadline, now))
        return 0;
    char scratch[4096];
    int64_t n = net_recv(conn->socket, scratch, sizeof scratch);
    if (n > 0)
        return 1;
    return n < 0 && net_error_would_block(net_last_error());
}

static void http_server_close_step(HttpServerConnection *conn, uint32_t now)
{
    if (http_server_linger(conn, now))
        return;
    if (net_close(conn->socket)) {
        log_spam(HTTP_SERVER_LOG, "Socket closed for %s.", conn->peer_text);
        conn->state = HTTP_CONN_CLOSED;
        return;
    }
    int err = net_last_error();
    if (net_error_would_block(err))
        return;
    log_error(HTTP_SERVER_LOG, "Error closing socket for %s: %s", conn->peer_text,
              net_error_text(err, socket_error_buffer, sizeof socket_error_buffer));
    conn->state = HTTP_CONN_CLOSED;
}

/* ---- polling ------------------------------------------------------------ */

HttpServerRequest *http_server_poll(void)
{
    if (http_server_listen_socket != NET_INVALID_SOCKET)
        http_server_accept();

    HttpServerRequest *requests = NULL;
    uint32_t now = SDL_GetTicks();
    HttpServerConnection **link = &http_server_connections;
    while (*link) {
        HttpServerConnection *conn = *link;
        HttpServerRequest *req = NULL;
        switch (conn->state) {
        case HTTP_CONN_READING_HEAD:
        case HTTP_CONN_READING_BODY:
            req = http_server_read_step(conn, now);
            break;
        case HTTP_CONN_AWAITING_RESPONSE:
            break;
        case HTTP_CONN_SENDING:
            http_server_send_step(conn, now);
            break;
        case HTTP_CONN_CLOSING:
            http_server_close_step(conn, now);
            break;
        case HTTP_CONN_CLOSED:
        default:
            log_spam(HTTP_SERVER_LOG, "%s cleaned up.", conn->peer_text);
            *link = conn->next;
            SDL_free(conn->buffer);
            SDL_free(conn);
            continue;
        }
        if (req) {
            /* The walk runs newest first, so pushing makes the list run
             * oldest connection first. */
            req->next = requests;
            requests = req;
        }
        link = &conn->next;
    }
    return requests;
}

/* ---- responding --------------------------------------------------------- */

static int http_server_header_is(const char *header, const char *name)
{
    return SDL_strncasecmp(header, name, SDL_strlen(name)) == 0;
}

/* The server writes these itself. */
static int http_server_header_skipped(const char *header)
{
    return http_server_header_is(header, "Content-Length:") ||
           http_server_header_is(header, "Connection:");
}

int http_server_respond(HttpServerConnection *conn, int status, const char *const *headers,
                        uint32_t header_count, const void *body, uint64_t body_len)
{
    if (!conn || conn->state != HTTP_CONN_AWAITING_RESPONSE) {
        http_server_respond_cause = "the connection awaits no response";
        return 0;
    }
    uint64_t body_bytes = conn->is_head ? 0 : body_len;

    int has_type = 0;
    uint64_t extra = 2; /* the empty line */
    for (uint32_t i = 0; i < header_count; i++) {
        if (http_server_header_skipped(headers[i]))
            continue;
        if (http_server_header_is(headers[i], "Content-Type:"))
            has_type = 1;
        extra += SDL_strlen(headers[i]) + 2;
    }
    const char *reason = status <= 399 ? "happy face" : "sad face";
    const char *type_line = has_type ? "" : HTTP_SERVER_DEFAULT_TYPE;
    int fixed = SDL_snprintf(NULL, 0, HTTP_SERVER_HEAD_FORMAT, status, reason,
                             build_revision_full(), type_line, (unsigned long long)body_len);

    /* The whole response and its NUL must fit a size_t; a body too large
     * for that can't be sent, exactly as if memory had run out. */
    uint64_t head = (uint64_t)(fixed < 0 ? 0 : fixed) + extra;
    uint64_t limit = (uint64_t)SIZE_MAX / 2;
    if (fixed < 0 || body_bytes > limit - head) {
        log_error(HTTP_SERVER_LOG, "Out of memory allocating response buffer!");
        http_server_respond_cause = http_server_out_of_memory_cause;
        return 0;
    }
    uint64_t total = head + body_bytes;
    if (total + 1 > conn->buffer_len) {
        char *grown = (char *)SDL_realloc(conn->buffer, (size_t)(total + 1));
        if (!grown) {
            log_error(HTTP_SERVER_LOG, "Out of memory allocating response buffer!");
            http_server_respond_cause = http_server_out_of_memory_cause;
            return 0;
        }
        conn->buffer = grown;
        conn->buffer_len = total + 1;
    }

    char *out = conn->buffer;
    uint64_t pos = (uint64_t)SDL_snprintf(out, (size_t)(total + 1), HTTP_SERVER_HEAD_FORMAT, status, reason,
                                          build_revision_full(), type_line,
                                          (unsigned long long)body_len);
    for (uint32_t i = 0; i < header_count; i++) {
        if (http_server_header_skipped(headers[i]))
            continue;
        size_t len = SDL_strlen(headers[i]);
        SDL_memcpy(out + pos, headers[i], len);
        pos += len;
        out[pos++] = '\r';
        out[pos++] = '\n';
    }
    out[pos++] = '\r';
    out[pos++] = '\n';
    if (body_bytes > 0)
        SDL_memcpy(out + pos, body, (size_t)body_bytes);

    http_server_respond_cause = "";
    conn->buffer_len = total;
    conn->buffer_pos = 0;
    conn->deadline = SDL_GetTicks() + HTTP_SERVER_TIMEOUT_MS;
    conn->state = HTTP_CONN_SENDING;
    return 1;
}

void http_server_drop(HttpServerConnection *conn)
{
    if (conn && conn->state == HTTP_CONN_AWAITING_RESPONSE)
        conn->state = HTTP_CONN_CLOSING;
}

void http_server_respond_and_free(HttpServerRequest *request, int status,
                                  const char *const *headers, uint32_t header_count,
                                  const void *body, uint64_t body_len)
{
    if (!request)
        return;
    HttpServerConnection *conn = request->connection;
    if (!http_server_respond(conn, status, headers, header_count, body, body_len))
        http_server_drop(conn);
    SDL_free(request);
}
