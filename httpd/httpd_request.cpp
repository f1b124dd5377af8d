#include "httpd/httpd_request.h"

#include "engine/log.h"
#include "engine/text_escape.h"
#include "engine/tree_walk.h"
#include "httpd/strbuf.h"

#include <SDL.h>
#include <physfs.h>

#include <errno.h>
#include <stdio.h>

#define HTTPD_LOG "httpd"

typedef struct MimeType {
    const char *extension; /* without the dot */
    const char *content_type;
} MimeType;

static const MimeType mime_types[] = {
    {"html", "text/html; charset=utf-8"},
    {"txt", "text/plain; charset=utf-8"},
    {"rb", "text/plain; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"js", "application/javascript; charset=utf-8"},
    {"json", "application/json; charset=utf-8"},
    {"wasm", "application/wasm"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"bmp", "image/bmp"},
    {"wav", "audio/wav"},
    {"ogg", "audio/ogg"},
    {"mp3", "audio/mp3"},
    {"mp4", "video/mp4"},
};

static const char *const text_plain_headers[] = {"Content-Type: text/plain; charset=utf-8"};

/* ---- text helpers ------------------------------------------------------- */

static int httpd_hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char *url_decode(const char *raw)
{
    size_t len = SDL_strlen(raw);
    char *out = (char *)SDL_malloc(len + 1);
    if (!out)
        return NULL;
    size_t o = 0;
    for (size_t i = 0; i < len; i++) {
        /* The text is NUL-terminated and a NUL is no hex digit, so the
         * look-ahead stops at the end by itself. */
        int hi = raw[i] == '%' ? httpd_hex_value(raw[i + 1]) : -1;
        int lo = hi >= 0 ? httpd_hex_value(raw[i + 2]) : -1;
        if (lo < 0) {
            out[o++] = raw[i];
            continue;
        }
        out[o++] = (char)(hi * 16 + lo);
        i += 2;
    }
    out[o] = '\0'; /* an encoded NUL ends the text right there */
    return out;
}

const char *httpd_content_type(const char *path)
{
    const char *dot = SDL_strrchr(path, '.');
    if (dot) {
        for (size_t i = 0; i < SDL_arraysize(mime_types); i++)
            if (SDL_strcasecmp(dot + 1, mime_types[i].extension) == 0)
                return mime_types[i].content_type;
    }
    return "application/octet-stream";
}

/* ---- replies ------------------------------------------------------------ */

/* One answer of the handler. */
typedef struct HttpdReply {
    int status;
    const char *const *headers;
    uint32_t header_count;
    const void *body;
    uint64_t body_len;
    const char *detail; /* the log line's last field */
} HttpdReply;

static const char httpd_out_of_memory_text[] = "Out of memory.\n";
static const HttpdReply httpd_out_of_memory_reply = {
    503, text_plain_headers, 1, httpd_out_of_memory_text, sizeof httpd_out_of_memory_text - 1,
    "OUT OF MEMORY!"};

static void httpd_log_out_of_memory(void)
{
    fflush(stdout);
    log_error(HTTPD_LOG, "Out of memory!");
}

/* The path is the client's text, so it is escaped: it must not drive the
 * terminal of whoever watches the log, nor break the log file's lines. */
static void httpd_log_reply(const char *peer, const char *path, const HttpdReply *reply)
{
    log_info(HTTPD_LOG, "%s: %d %s (%llu bytes) [%s]", peer, reply->status,
             path ? path : "(path not shown: out of memory)",
             (unsigned long long)reply->body_len, reply->detail);
}

static int httpd_respond(HttpServerConnection *conn, const HttpdReply *reply)
{
    return http_server_respond(conn, reply->status, reply->headers, reply->header_count,
                               reply->body, reply->body_len);
}

/* No response could be built: the line says why, and a connection still
 * waiting for one is closed, which the line says too. */
static void httpd_log_unanswered(HttpServerRequest *request, const char *path)
{
    HttpServerConnection *conn = request->connection;
    const char *shown = path ? path : "(path not shown: out of memory)";
    if (conn && conn->state == HTTP_CONN_AWAITING_RESPONSE) {
        log_error(HTTPD_LOG, "%s: %s closed without an answer: %s", request->peer, shown,
                  http_server_respond_failure());
        http_server_drop(conn);
    } else {
        log_error(HTTPD_LOG, "%s: %s not answered: %s", request->peer, shown,
                  http_server_respond_failure());
    }
}

/* Hands the reply to the server and logs the one line of the answer that
 * goes out: a response too large for memory becomes the out-of-memory page.
 * Frees the request. */
static void httpd_reply(HttpServerRequest *request, const HttpdReply *reply)
{
    /* The response overwrites the raw path in the connection's buffer. */
    char *path = log_escape_text(request->path);
    HttpServerConnection *conn = request->connection;
    int sent = httpd_respond(conn, reply);
    /* A connection that still awaits its response after a failure lacked
     * the memory for it, and a smaller page may fit; any other failure is
     * no shortage of memory, and a second try would fail the same way. */
    if (!sent && reply != &httpd_out_of_memory_reply && conn &&
        conn->state == HTTP_CONN_AWAITING_RESPONSE) {
        httpd_log_out_of_memory();
        reply = &httpd_out_of_memory_reply;
        sent = httpd_respond(conn, reply);
    }
    if (sent)
        httpd_log_reply(request->peer, path, reply);
    else
        httpd_log_unanswered(request, path);
    SDL_free(path);
    SDL_free(request);
}

static void httpd_reply_text(HttpServerRequest *request, int status, const char *text,
                             const char *detail)
{
    HttpdReply reply = {status, text_plain_headers, 1, text, SDL_strlen(text), detail};
    httpd_reply(request, &reply);
}

static void httpd_reply_out_of_memory(HttpServerRequest *request)
{
    httpd_log_out_of_memory();
    httpd_reply(request, &httpd_out_of_memory_reply);
}

/* ---- files -------------------------------------------------------------- */

/* Why one read of a whole file gave got bytes of len. A file that shrank
 * after its length was taken reads short with no error of PhysicsFS's, so
 * the count is the cause. */
static void httpd_read_failure(PHYSFS_sint64 got, uint64_t len, int saved_errno, char *cause,
                               size_t size)
{
    PHYSFS_ErrorCode code = PHYSFS_getLastErrorCode();
    if (got < 0)
        SDL_snprintf(cause, size, "%s", fs_error_cause(code, saved_errno));
    else if (code != PHYSFS_ERR_OK)
        SDL_snprintf(cause, size, "read %lld of %llu bytes: %s", (long long)got,
                     (unsigned long long)len, fs_error_cause(code, saved_errno));
    else
        SDL_snprintf(cause, size, "read %lld of %llu bytes", (long long)got,
                     (unsigned long long)len);
}

/* Answers with the file at path (a decoded virtual path of a regular file)
 * and frees the request. The caller frees path. */
static void httpd_serve_file(HttpServerRequest *request, const char *path)
{
    PHYSFS_File *file = PHYSFS_openRead(path);
    if (!file) {
        httpd_reply_text(request, 503, "Couldn't open file, sorry.\n", fs_error_text());
        return;
    }
    PHYSFS_sint64 length = PHYSFS_fileLength(file);
    if (length < 0) {
        const char *err = fs_error_text();
        PHYSFS_close(file);
        httpd_reply_text(request, 503, "Couldn't read file, sorry.\n", err);
        return;
    }
    /* The whole file is held in memory: one that can't be is answered as
     * out of memory, never cut short. */
    uint64_t len = (uint64_t)length;
    char *data = NULL;
    if (SDL_strcmp(request->method, "HEAD") != 0) {
        data = len < (uint64_t)SIZE_MAX ? (char *)SDL_malloc((size_t)len + 1) : NULL;
        if (!data) {
            PHYSFS_close(file);
            httpd_reply_out_of_memory(request);
            return;
        }
        errno = 0;
        PHYSFS_sint64 got = PHYSFS_readBytes(file, data, len);
        if (got != (PHYSFS_sint64)len) {
            char cause[192];
            httpd_read_failure(got, len, errno, cause, sizeof cause);
            SDL_free(data);
            PHYSFS_close(file);
            httpd_reply_text(request, 503, "Couldn't read file, sorry.\n", cause);
            return;
        }
    }
    PHYSFS_close(file);

    char type_header[128];
    SDL_snprintf(type_header, sizeof type_header, "Content-Type: %s", httpd_content_type(path));
    const char *headers[2] = {type_header, "Cache-Control: no-store"};
    HttpdReply reply = {200, headers, 2, data ? data : "", len, "file"};
    httpd_reply(request, &reply);
    SDL_free(data);
}

/* ---- directories -------------------------------------------------------- */

/* dir/name with every run of '/' made one: a browser reads a link that
 * begins "//" as a host name ("//docs/a.txt" is the host docs), so the
 * folder asked for as "//docs", "/docs/" or "/docs" links its entries
 * alike, as "/docs/name". New SDL allocation, NULL when memory runs out. */
static char *httpd_link_path(const char *dir, const char *name)
{
    size_t dir_len = SDL_strlen(dir), name_len = SDL_strlen(name);
    char *out = (char *)SDL_malloc(dir_len + name_len + 2);
    if (!out)
        return NULL;
    size_t o = 0;
    for (size_t i = 0; i < dir_len; i++)
        if (dir[i] != '/' || o == 0 || out[o - 1] != '/')
            out[o++] = dir[i];
    if (o == 0 || out[o - 1] != '/')
        out[o++] = '/';
    SDL_memcpy(out + o, name, name_len + 1); /* a listed name holds no '/' */
    return out;
}

static int httpd_append_entry(StringBuffer *page, const char *dir, const char *name)
{
    char *link = httpd_link_path(dir, name);
    char *href = link ? href_encode(link) : NULL;
    char *text = html_escape(name);
    int ok = href && text &&
             strbuf_appendf(page, "<li><a href='%s'>%s</a></li>\n", href, text);
    SDL_free(link);
    SDL_free(href);
    SDL_free(text);
    return ok;
}

/* The page, or NULL when memory ran out. */
static char *httpd_listing_page(const char *path, char **names, size_t *out_len)
{
    StringBuffer page = {NULL, 0, 0};
    char *title = html_escape(path);
    int ok = title &&
             strbuf_appendf(&page, "<html><head><title>Directory %s</title></head>", title) &&
             strbuf_appendf(&page, "<body><p><h1>Directory %s</h1></p><p><ul>\n", title);
    SDL_free(title);
    /* Links are absolute, so a directory asked for without its trailing
     * slash lists correctly too. */
    for (char **name = names; ok && *name; name++)
        ok = httpd_append_entry(&page, path, *name);
    ok = ok && strbuf_appendf(&page, "</ul></body></html>\n");
    if (!ok) {
        SDL_free(page.data);
        return NULL;
    }
    *out_len = page.length;
    return page.data;
}

/* The names of one directory, NULL-terminated once complete. */
typedef struct HttpdNames {
    char **names;
    size_t count, capacity;
} HttpdNames;

/* Set when memory ran out in the walk of a listing, in the walker or in
 * the collecting of its names (the walk's callbacks carry no record). */
static int httpd_listing_out_of_memory;

static int httpd_collect_name(void *list, const TreeWalkEntry *entry)
{
    HttpdNames *l = (HttpdNames *)list;
    if (l->count + 2 > l->capacity) {
        size_t capacity = l->capacity ? 2 * l->capacity : 16;
        char **grown = (char **)SDL_realloc(l->names, capacity * sizeof(char *));
        if (!grown) {
            httpd_listing_out_of_memory = 1;
            return 0;
        }
        l->names = grown;
        l->capacity = capacity;
    }
    if (!(l->names[l->count] = SDL_strdup(entry->name))) {
        httpd_listing_out_of_memory = 1;
        return 0;
    }
    l->count++;
    return 1;
}

static void httpd_free_names(HttpdNames *l)
{
    for (size_t i = 0; i < l->count; i++)
        SDL_free(l->names[i]);
    SDL_free(l->names);
}

static int httpd_compare_names(const void *a, const void *b)
{
    return SDL_strcmp(*(char *const *)a, *(char *const *)b);
}

static void httpd_walk_line(LogLevel level, const char *text)
{
    log_append(HTTPD_LOG, level, text);
}

static void httpd_walk_out_of_memory(void)
{
    httpd_listing_out_of_memory = 1;
}

/* The directory's names in byte order, each once, as a listing shows them.
 * 1, or 0 when the directory could not be read. */
static int httpd_read_names(const char *path, HttpdNames *l)
{
    TreeWalkOptions options = {TREE_WALK_ONE_LEVEL, httpd_walk_line, httpd_walk_out_of_memory, NULL};
    SDL_zerop(l);
    httpd_listing_out_of_memory = 0;
    if (!tree_walk(path, &options, httpd_collect_name, l))
        return 0;
    if (l->count == 0)
        return 1;
    SDL_qsort(l->names, l->count, sizeof(char *), httpd_compare_names);
    size_t kept = 0;
    for (size_t i = 0; i < l->count; i++) {
        if (kept > 0 && SDL_strcmp(l->names[kept - 1], l->names[i]) == 0)
            SDL_free(l->names[i]);
        else
            l->names[kept++] = l->names[i];
    }
    l->count = kept;
    l->names[kept] = NULL;
    return 1;
}

static void httpd_list_directory(HttpServerRequest *request, const char *path)
{
    HttpdNames list;
    if (!httpd_read_names(path, &list)) {
        /* The walk left its cause as PhysicsFS's error. */
        PHYSFS_ErrorCode code = PHYSFS_getLastErrorCode();
        httpd_free_names(&list);
        if (httpd_listing_out_of_memory || code == PHYSFS_ERR_OUT_OF_MEMORY)
            httpd_reply_out_of_memory(request);
        else
            httpd_reply_text(request, 503, "Couldn't enumerate directory, sorry.\n",
                             fs_error_cause(code, 0));
        return;
    }
    static char *const no_names[] = {NULL};
    size_t len = 0;
    char *page = httpd_listing_page(path, list.names ? list.names : (char **)no_names, &len);
    httpd_free_names(&list);
    if (!page) {
        httpd_reply_out_of_memory(request);
        return;
    }
    HttpdReply reply = {200, NULL, 0, page, len, "directory listing"};
    httpd_reply(request, &reply);
    SDL_free(page);
}

/* "/docs/" is the site in docs, answered with its index.html; "/docs" is
 * the folder itself, always listed: a page served at "/docs" would have
 * the browser fetch its relative names from "/". The listing's links are
 * absolute, so they lead into the folder either way. */
static void httpd_serve_directory(HttpServerRequest *request, const char *path)
{
    size_t len = SDL_strlen(path);
    if (len == 0 || path[len - 1] != '/') {
        httpd_list_directory(request, path);
        return;
    }
    char *index = (char *)SDL_malloc(len + 16);
    if (!index) {
        httpd_reply_out_of_memory(request);
        return;
    }
    SDL_snprintf(index, len + 16, "%sindex.html", path);
    PHYSFS_Stat st;
    if (PHYSFS_stat(index, &st) && st.filetype == PHYSFS_FILETYPE_REGULAR)
        httpd_serve_file(request, index);
    else
        httpd_list_directory(request, path);
    SDL_free(index);
}

/* PhysicsFS lets a trailing ".." through ("/sub/.." names the served
 * root), so no ".." component is left to it. */
static int httpd_path_climbs(const char *path)
{
    for (const char *p = path; *p;) {
        while (*p == '/')
            p++;
        const char *end = p;
        while (*end && *end != '/')
            end++;
        if (end - p == 2 && p[0] == '.' && p[1] == '.')
            return 1;
        p = end;
    }
    return 0;
}

void httpd_handle_request(HttpServerRequest *request)
{
    char *path = url_decode(request->path);
    if (!path) {
        httpd_reply_out_of_memory(request);
        return;
    }
    PHYSFS_Stat st;
    if (httpd_path_climbs(path)) {
        httpd_reply_text(request, 404, "Not found, sorry.\n", "a '..' component");
    } else if (!PHYSFS_stat(path, &st)) {
        httpd_reply_text(request, 404, "Not found, sorry.\n", fs_error_text());
    } else if (st.filetype == PHYSFS_FILETYPE_DIRECTORY) {
        httpd_serve_directory(request, path);
    } else if (st.filetype == PHYSFS_FILETYPE_REGULAR) {
        httpd_serve_file(request, path);
    } else {
        /* A FIFO or a device could block the only thread for good. */
        httpd_reply_text(request, 404, "Not found, sorry.\n", "not a regular file");
    }
    SDL_free(path);
}
