#include "test_httpd_support.h"

#include <SDL.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

const char *const SIMPLE_GET = "GET /ping HTTP/1.0\r\nHost: x\r\n\r\n";

SeenRequest seen_from(const HttpServerRequest *req)
{
    SeenRequest s;
    s.peer = req->peer;
    s.method = req->method;
    s.path = req->path;
    for (uint32_t i = 0; i < req->header_count; i++)
        s.headers.push_back(req->headers[i]);
    s.body_null = req->body == nullptr;
    if (req->body)
        s.body.assign(req->body, req->body_len);
    return s;
}

std::string response_head(const std::string &response)
{
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? response : response.substr(0, end + 4);
}

std::string response_body(const std::string &response)
{
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
}

void HttpdTest::SetUp()
{
    FsTest::SetUp();
    on_request = [this](HttpServerRequest *req) {
        seen.push_back(seen_from(req));
        static const char *const headers[] = {"Content-Type: text/plain"};
        http_server_respond_and_free(req, 200, headers, 1, "ok", 2);
    };
}

int HttpdTest::start_server(int wanted)
{
    EXPECT_EQ(http_server_init((int16_t)wanted), 1);
    port = http_server_port();
    EXPECT_GT(port, 0);
    return port;
}

void HttpdTest::pump(int polls)
{
    for (int i = 0; i < polls; i++) {
        HttpServerRequest *req = http_server_poll();
        while (req) {
            HttpServerRequest *next = req->next;
            on_request(req);
            req = next;
        }
    }
}

bool HttpdTest::pump_until_no_connections(int timeout_ms)
{
    Uint64 end = SDL_GetTicks64() + (Uint64)timeout_ms;
    while (SDL_GetTicks64() < end) {
        pump();
        if (!http_server_connections_get())
            return true;
        usleep(500);
    }
    return false;
}

int HttpdTest::connect_client(bool ipv6)
{
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    EXPECT_GE(fd, 0);
    int rc;
    if (ipv6) {
        struct sockaddr_in6 a;
        memset(&a, 0, sizeof a);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons((uint16_t)port);
        a.sin6_addr = in6addr_loopback;
        rc = connect(fd, (struct sockaddr *)&a, sizeof a);
    } else {
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = connect(fd, (struct sockaddr *)&a, sizeof a);
    }
    EXPECT_EQ(rc, 0) << strerror(errno);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

ClientResult HttpdTest::talk(int fd, const std::string &data, const ClientPlan &plan)
{
    ClientResult r{"", 0, false};
    size_t sent = 0;
    int polls_since_chunk = plan.polls_per_chunk;
    bool sending = true;
    Uint64 end = SDL_GetTicks64() + (Uint64)plan.timeout_ms;
    for (;;) {
        if (SDL_GetTicks64() >= end) {
            r.timed_out = true;
            break;
        }
        pump();
        polls_since_chunk++;
        if (sending && sent < data.size() && polls_since_chunk >= plan.polls_per_chunk) {
            size_t n = data.size() - sent;
            if (plan.chunk && n > plan.chunk)
                n = plan.chunk;
            ssize_t w = send(fd, data.data() + sent, n, MSG_NOSIGNAL);
            if (w > 0) {
                sent += (size_t)w;
                polls_since_chunk = 0;
            } else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                sending = false; /* the server gave up on us; read what it said */
            }
        }
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            r.response.append(buf, (size_t)n);
            if (r.response.size() >= plan.read_limit)
                break;
            continue;
        }
        if (n == 0)
            break;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            r.end_error = errno;
            break;
        }
        usleep(200);
    }
    close(fd);
    return r;
}

ClientResult HttpdTest::exchange(const std::string &data, const ClientPlan &plan)
{
    return talk(connect_client(), data, plan);
}
