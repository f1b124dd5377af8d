/* Drives the HTTP server in-process: the test is both the daemon's loop
 * (polling as fast as it likes) and the client, on loopback sockets. */
#ifndef BRINDLECOT_TEST_HTTPD_SUPPORT_H
#define BRINDLECOT_TEST_HTTPD_SUPPORT_H

#include "test_support.h"

#include "httpd/http_server.h"

#include <functional>
#include <string>
#include <vector>

/* What a request held when it was handed out. */
struct SeenRequest {
    std::string peer, method, path;
    std::vector<std::string> headers;
    std::string body;
    bool body_null;
};

/* How a client conversation ended. */
struct ClientResult {
    std::string response;
    int end_error; /* 0 when the server closed cleanly, else the errno */
    bool timed_out;
};

struct ClientPlan {
    size_t chunk = 0;       /* send in pieces of this size (0: all at once) */
    int polls_per_chunk = 0; /* server polls between two pieces */
    size_t read_limit = (size_t)-1; /* hang up after reading this many bytes */
    int timeout_ms = 20000;
};

class HttpdTest : public FsTest {
protected:
    void SetUp() override;

    /* http_server_init on the port (0: any); the port it got. */
    int start_server(int port = 0);
    int port = -1;

    /* Called for every request a poll returns; the default records it in
     * seen and answers 200 "ok" as text/plain. Must answer and free. */
    std::function<void(HttpServerRequest *)> on_request;
    std::vector<SeenRequest> seen;

    void pump(int polls = 1);
    /* Polls until every connection is gone (bounded); true when it is. */
    bool pump_until_no_connections(int timeout_ms = 10000);

    /* A non-blocking client connected to the server over IPv4 or IPv6. */
    int connect_client(bool ipv6 = false);
    /* Sends data by the plan while polling the server, then reads until
     * the server closes (or the read limit: then the client hangs up). */
    ClientResult talk(int fd, const std::string &data, const ClientPlan &plan = ClientPlan());
    ClientResult exchange(const std::string &data, const ClientPlan &plan = ClientPlan());
};

SeenRequest seen_from(const HttpServerRequest *req);
/* The body after the head of a response ("" when there is no empty line). */
std::string response_body(const std::string &response);
std::string response_head(const std::string &response);
/* A well-formed request that every test can use to prove the server lives. */
extern const char *const SIMPLE_GET;

#endif
