/* The HTTP/1.0 server on real loopback sockets, polled by the test. */
#include "test_httpd_support.h"

#include "engine/build_revision.h"
#include "engine/log.h"

#include <SDL.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

namespace {

class HttpServerTest : public HttpdTest {};

TEST_F(HttpServerTest, AnswersWithTheWireFormatAndFiltersGivenHeaders)
{
    start_server();
    on_request = [this](HttpServerRequest *req) {
        seen.push_back(seen_from(req));
        const char *headers[] = {"connection: keep-alive", "CONTENT-LENGTH: 99",
                                 "content-type: text/plain", "X-Extra: yes"};
        ASSERT_EQ(http_server_respond(req->connection, 404, headers, 4, "gone", 4), 1);
        SDL_free(req);
    };
    ClientResult r = exchange("GET /a/b.txt HTTP/1.0\r\nHost: here\r\nAccept: */*\r\n\r\n");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.end_error, 0);
    std::regex wire("HTTP/1\\.0 404 sad face\r\n"
                    "Server: brindlecot-httpd/[0-9a-f]{40}\r\n"
                    "Content-Length: 4\r\n"
                    "Connection: close\r\n"
                    "content-type: text/plain\r\n"
                    "X-Extra: yes\r\n"
                    "\r\n"
                    "gone");
    EXPECT_TRUE(std::regex_match(r.response, wire)) << r.response;
    /* The build's whole revision, of which the log's is the start. */
    std::string revision = build_revision_full();
    EXPECT_NE(r.response.find("\r\nServer: brindlecot-httpd/" + revision + "\r\n"), std::string::npos);
    if (std::string(build_revision()) == "unknown") {
        EXPECT_EQ(revision, std::string(40, '0'));
    } else {
        EXPECT_EQ(revision.rfind(build_revision(), 0), 0u);
    }

    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].peer, "127.0.0.1");
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].path, "/a/b.txt");
    EXPECT_EQ(seen[0].headers, (std::vector<std::string>{"Host: here", "Accept: */*"}));
    EXPECT_FALSE(seen[0].body_null);
    EXPECT_EQ(seen[0].body, "");
    EXPECT_TRUE(pump_until_no_connections());
}

TEST_F(HttpServerTest, DefaultContentTypeAndReasonByStatus)
{
    start_server();
    int status = 0;
    on_request = [&](HttpServerRequest *req) { http_server_respond_and_free(req, status, NULL, 0, "x", 1); };
    for (int s : {200, 399, 400, 503}) {
        status = s;
        ClientResult r = exchange(SIMPLE_GET);
        std::string reason = s <= 399 ? "happy face" : "sad face";
        EXPECT_EQ(r.response.rfind("HTTP/1.0 " + std::to_string(s) + " " + reason + "\r\n", 0), 0u);
        EXPECT_NE(r.response.find("\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 1\r\n"
                                  "Connection: close\r\n\r\nx"),
                  std::string::npos)
            << r.response;
    }
}

TEST_F(HttpServerTest, RequestLineForms)
{
    start_server();
    struct Row {
        const char *request, *method, *path;
        std::vector<std::string> headers;
    } rows[] = {
        {"GET /lf HTTP/1.0\nHost: a\n\n", "GET", "/lf", {"Host: a"}},
        {"GET /noversion\r\n\r\n", "GET", "/noversion", {}},
        {"BREW /pot HTTP/1.0 extra\r\n\r\n", "BREW", "/pot", {}},
        {"get /x?q=1#h HTTP/1.0\r\nA: 1\r\nB: 2\r\n\r\n", "get", "/x?q=1#h", {"A: 1", "B: 2"}},
    };
    for (const Row &row : rows) {
        seen.clear();
        ClientResult r = exchange(row.request);
        ASSERT_EQ(seen.size(), 1u) << row.request;
        EXPECT_EQ(seen[0].method, row.method);
        EXPECT_EQ(seen[0].path, row.path);
        EXPECT_EQ(seen[0].headers, row.headers);
        EXPECT_EQ(response_body(r.response), "ok");
    }
}

TEST_F(HttpServerTest, ContentLengthBodiesAndLimits)
{
    start_server();
    std::string head = "POST /up HTTP/1.0\r\n";
    struct Row {
        std::string request;
        bool handed_out;
        std::string body;
        const char *error;
    } rows[] = {
        {head + "content-length:5\r\n\r\nhello", true, "hello", nullptr},
        {head + "Content-Length:  3  trailing\r\n\r\nabcdef", true, "abc", nullptr},
        /* 15 characters: not a Content-Length line at all */
        {head + "Content-Length:\r\n\r\n", true, "", nullptr},
        {head + "Content-Length: 1\r\nContent-Length: 1\r\n\r\nx", false, "",
         "sent more than one Content-Length header! Dropping."},
        {head + "Content-Length: abc\r\n\r\n", false, "", "sent a bogus Content-Length! Dropping."},
        /* the value must not be taken from the next line */
        {head + "Content-Length: \r\n7\r\n\r\n", false, "", "sent a bogus Content-Length! Dropping."},
        {head + "Content-Length: -1\r\n\r\n", false, "", "wants to send too much data! Dropping."},
        {head + "Content-Length: 99999999999999999999999\r\n\r\n", false, "",
         "wants to send too much data! Dropping."},
        {head + "Content-Length: 18446744073709551615\r\n\r\n", false, "",
         "wants to send too much data! Dropping."},
        {"\r\n\r\n", false, "", "sent a bogus request line, dropping."},
        {"GET\r\n\r\n", false, "", "sent a bogus request line, dropping."},
        {std::string("GET /a\0b HTTP/1.0\r\n\r\n", sizeof "GET /a\0b HTTP/1.0\r\n\r\n" - 1), false, "",
         "sent a bogus request line, dropping."},
    };
    for (const Row &row : rows) {
        seen.clear();
        take_log();
        ClientResult r = exchange(row.request);
        ASSERT_FALSE(r.timed_out) << row.request;
        if (row.handed_out) {
            ASSERT_EQ(seen.size(), 1u) << row.request;
            EXPECT_EQ(seen[0].body, row.body);
            EXPECT_EQ(response_body(r.response), "ok");
        } else {
            EXPECT_TRUE(seen.empty()) << row.request;
            EXPECT_EQ(r.response, "") << row.request; /* dropped without a response */
            EXPECT_TRUE(has_line(take_log(), std::string("127.0.0.1 ") + row.error)) << row.request;
        }
    }
    /* None of that hurt the server. */
    seen.clear();
    EXPECT_EQ(response_body(exchange(SIMPLE_GET).response), "ok");
    EXPECT_TRUE(pump_until_no_connections());
}

TEST_F(HttpServerTest, NulInHeadEndsTheSplitAndLeavesBodyNull)
{
    start_server();
    static const char raw[] = "GET /n HTTP/1.0\r\nA: 1\r\nB\0: 2\r\n\r\nzz";
    std::string req(raw, sizeof raw - 1);
    ClientResult r = exchange(req);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/n");
    EXPECT_EQ(seen[0].headers, std::vector<std::string>{"A: 1"});
    EXPECT_TRUE(seen[0].body_null);
    EXPECT_EQ(response_body(r.response), "ok");
}

TEST_F(HttpServerTest, BodyInTwoPartsIsHandedOutWithTheLastByte)
{
    start_server();
    int fd = connect_client();
    std::string first = "PUT /p HTTP/1.0\r\nContent-Length: 10\r\n\r\n12345";
    ASSERT_EQ(send(fd, first.data(), first.size(), 0), (ssize_t)first.size());
    pump(50);
    EXPECT_TRUE(seen.empty());
    ClientResult r = talk(fd, "67890XY");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, "1234567890"); /* body_len is the declared 10 */
    EXPECT_EQ(response_body(r.response), "ok");
}

TEST_F(HttpServerTest, RequestSentOneByteAtATime)
{
    start_server();
    ClientPlan plan;
    plan.chunk = 1;
    plan.polls_per_chunk = 3;
    ClientResult r = exchange("GET /slow HTTP/1.0\r\nHost: x\r\n\r\n", plan);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/slow");
    EXPECT_EQ(response_body(r.response), "ok");
}

TEST_F(HttpServerTest, HeadResponseCarriesTheLengthButNoBody)
{
    start_server();
    on_request = [](HttpServerRequest *req) { http_server_respond_and_free(req, 200, NULL, 0, "12345", 5); };
    for (const char *method : {"HEAD", "head"}) {
        ClientResult r = exchange(std::string(method) + " / HTTP/1.0\r\n\r\n");
        EXPECT_NE(r.response.find("\r\nContent-Length: 5\r\n"), std::string::npos);
        EXPECT_EQ(response_body(r.response), "") << method;
        EXPECT_EQ(r.response.substr(r.response.size() - 4), "\r\n\r\n");
    }
}

TEST_F(HttpServerTest, DeclaredTotalAtTheLimitIsAcceptedOneMoreIsRefused)
{
    start_server();
    const std::string head_start = "POST /big HTTP/1.0\r\nContent-Length: ";
    auto make = [&](uint32_t total) {
        /* The head's length depends on the digits, so solve for the body. */
        for (uint32_t body = total - 100; body < total; body++) {
            std::string head = head_start + std::to_string(body) + "\r\n\r\n";
            if (head.size() + body == total)
                return head + std::string(body, 'b');
        }
        return std::string();
    };
    std::string at_limit = make(HTTP_SERVER_MAX_REQUEST);
    ASSERT_EQ(at_limit.size(), HTTP_SERVER_MAX_REQUEST);
    ClientResult r = exchange(at_limit);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body.size(), at_limit.size() - at_limit.find("\r\n\r\n") - 4);
    EXPECT_EQ(response_body(r.response), "ok");

    seen.clear();
    take_log();
    std::string over = make(HTTP_SERVER_MAX_REQUEST + 1);
    r = exchange(over.substr(0, over.find("\r\n\r\n") + 4));
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(r.response, "");
    EXPECT_TRUE(has_line(take_log(), "127.0.0.1 wants to send too much data! Dropping."));
}

TEST_F(HttpServerTest, HeadThatNeverEndsIsDroppedByBytesReceived)
{
    start_server();
    std::string endless = "GET /" + std::string(HTTP_SERVER_MAX_REQUEST + 4096, 'a');
    ClientResult r = exchange(endless);
    ASSERT_FALSE(r.timed_out);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(r.response, "");
    auto log = take_log();
    EXPECT_TRUE(has_line(log, "127.0.0.1 is sending too much data, dropping."));
    /* Dropped after at most one byte past the limit, not when the buffer
     * happened to reach some size. */
    EXPECT_EQ(response_body(exchange(SIMPLE_GET).response), "ok");
}

TEST_F(HttpServerTest, TrailingClientBytesNeverResetTheResponse)
{
    start_server();
    std::string big(300000, 'r');
    on_request = [&](HttpServerRequest *req) {
        http_server_respond_and_free(req, 200, NULL, 0, big.data(), big.size());
    };
    /* Bytes past the request are never read as a request; the close must
     * still let the client read every byte of the response. */
    std::string junk(200000, 'j');
    ClientResult r = exchange(std::string(SIMPLE_GET) + junk);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.end_error, 0) << strerror(r.end_error);
    std::string body = response_body(r.response);
    EXPECT_EQ(body.size(), big.size());
    EXPECT_TRUE(body == big);
    EXPECT_TRUE(pump_until_no_connections());
}

TEST_F(HttpServerTest, ClientLeavingMidResponseIsDroppedQuietly)
{
    start_server();
    std::string big(16 * 1024 * 1024, 'z');
    on_request = [&](HttpServerRequest *req) {
        http_server_respond_and_free(req, 200, NULL, 0, big.data(), big.size());
    };
    ClientPlan plan;
    plan.read_limit = 4096;
    ClientResult r = exchange(SIMPLE_GET, plan);
    EXPECT_GE(r.response.size(), 4096u);
    /* Sending to a closed peer is an error line, never a signal. */
    EXPECT_TRUE(pump_until_no_connections());
    EXPECT_TRUE(has_line(take_log(), "127.0.0.1 socket write error ("));
    on_request = [](HttpServerRequest *req) { http_server_respond_and_free(req, 200, NULL, 0, "ok", 2); };
    EXPECT_EQ(response_body(exchange(SIMPLE_GET).response), "ok");
}

TEST_F(HttpServerTest, ResponseTooLargeForMemoryLeavesTheRequestAnswerable)
{
    start_server();
    on_request = [this](HttpServerRequest *req) {
        /* Never read: the size check comes first. */
        EXPECT_EQ(http_server_respond(req->connection, 200, NULL, 0, "", UINT64_MAX), 0);
        EXPECT_STREQ(http_server_respond_failure(), "out of memory allocating response buffer");
        EXPECT_EQ(req->connection->state, (HttpServerConnectionState)HTTP_CONN_AWAITING_RESPONSE);
        EXPECT_EQ(http_server_respond(req->connection, 503, NULL, 0, "small", 5), 1);
        EXPECT_STREQ(http_server_respond_failure(), "");
        /* Answered once only. */
        EXPECT_EQ(http_server_respond(req->connection, 200, NULL, 0, "again", 5), 0);
        EXPECT_STREQ(http_server_respond_failure(), "the connection awaits no response");
        seen.push_back(SeenRequest());
        SDL_free(req);
    };
    ClientResult r = exchange(SIMPLE_GET);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(r.response.rfind("HTTP/1.0 503 sad face\r\n", 0), 0u);
    EXPECT_EQ(response_body(r.response), "small");
    EXPECT_TRUE(has_line(take_log(), "Out of memory allocating response buffer!"));
}

TEST_F(HttpServerTest, IPv4AndIPv6ClientsReachTheOneSocket)
{
    start_server();
    ClientResult r4 = exchange(SIMPLE_GET);
    ClientResult r6 = talk(connect_client(true), SIMPLE_GET);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].peer, "127.0.0.1"); /* not ::ffff:127.0.0.1 */
    EXPECT_EQ(seen[1].peer, "::1");
    EXPECT_EQ(response_body(r4.response), "ok");
    EXPECT_EQ(response_body(r6.response), "ok");
}

TEST_F(HttpServerTest, ConnectionsAreFreedAfterTheirResponse)
{
    start_server();
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(response_body(exchange(SIMPLE_GET).response), "ok");
    EXPECT_TRUE(pump_until_no_connections());
    EXPECT_EQ(seen.size(), 20u);
}

TEST_F(HttpServerTest, AcceptErrorsKeepTheListeningSocket)
{
    start_server();
    int client = connect_client(); /* waits in the backlog */
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit low = old;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = dup(client)) >= 0;)
        filler.push_back(fd);
    ASSERT_EQ(errno, EMFILE);
    take_log();
    pump(5);
    auto log = take_log();
    int accept_lines = 0;
    for (const CapturedLine &l : log)
        accept_lines += l.text.find("Error in accept()") != std::string::npos;
    EXPECT_EQ(accept_lines, 1); /* one line per streak, not one per poll */
    EXPECT_EQ(http_server_port(), port);

    for (int fd : filler)
        close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    /* Descriptors are back: the waiting client is served, and so are new ones. */
    ClientResult r = talk(client, SIMPLE_GET);
    EXPECT_EQ(response_body(r.response), "ok");
    EXPECT_EQ(response_body(exchange(SIMPLE_GET).response), "ok");
}

/* A port below 32768 (the server takes a signed 16-bit port) that nothing
 * uses yet, held by an IPv6-only listener of the test. */
static int hold_ipv6_only_port(int *out_port)
{
    for (int p = 20000 + (int)(getpid() % 9000); p < 32768; p += 7) {
        int s = socket(AF_INET6, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        struct sockaddr_in6 a;
        memset(&a, 0, sizeof a);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons((uint16_t)p);
        a.sin6_addr = in6addr_any;
        if (bind(s, (struct sockaddr *)&a, sizeof a) == 0 && listen(s, 1) == 0) {
            /* The IPv4 side must be free too. */
            int t = socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in b;
            memset(&b, 0, sizeof b);
            b.sin_family = AF_INET;
            b.sin_port = htons((uint16_t)p);
            int free4 = bind(t, (struct sockaddr *)&b, sizeof b) == 0;
            close(t);
            if (free4) {
                *out_port = p;
                return s;
            }
        }
        close(s);
    }
    return -1;
}

TEST_F(HttpServerTest, FallsBackToIPv4WhenNoIPv6SocketCanBeHad)
{
    int wanted = 0;
    int holder = hold_ipv6_only_port(&wanted);
    ASSERT_GE(holder, 0);
    EXPECT_EQ(start_server(wanted), wanted);
    EXPECT_TRUE(has_line(take_log(), "Failed to bind() the listen socket! Will try other options! ("));
    EXPECT_EQ(response_body(exchange(SIMPLE_GET).response), "ok");
    close(holder);
}

TEST_F(HttpServerTest, InitFailsWhenThePortIsTaken)
{
    int holder = socket(AF_INET6, SOCK_STREAM, 0);
    int zero = 0;
    setsockopt(holder, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    struct sockaddr_in6 a;
    memset(&a, 0, sizeof a);
    a.sin6_family = AF_INET6;
    int p = 0;
    for (p = 21000 + (int)(getpid() % 9000); p < 32768; p += 11) {
        a.sin6_port = htons((uint16_t)p);
        if (bind(holder, (struct sockaddr *)&a, sizeof a) == 0)
            break;
    }
    ASSERT_EQ(listen(holder, 1), 0);
    EXPECT_EQ(http_server_init((int16_t)p), 0);
    EXPECT_EQ(http_server_port(), -1);
    EXPECT_NE(std::string(http_server_error_text()), "");
    auto log = take_log();
    EXPECT_TRUE(has_line(log, "Failed to bind() the listen socket!"));
    EXPECT_TRUE(has_line(log, "Failed to create a listen socket on any reasonable interface."));
    close(holder);
}

} // namespace
