/* A small HTTP/1.1 server for the client's tests: listens on 127.0.0.1 on a
 * port of the system's choosing, serves one connection at a time on its own
 * thread, records every request and answers with what the test's handler
 * returns (the raw bytes of the response; the connection is closed after
 * it). Every socket wait is bounded. */
#ifndef BRINDLECOT_TEST_HTTP_SERVER_H
#define BRINDLECOT_TEST_HTTP_SERVER_H

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ReceivedRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers; /* names lower-cased */
    std::string body;
};

class TestHttpServer {
public:
    using Handler = std::function<std::string(const ReceivedRequest &, TestHttpServer &)>;

    explicit TestHttpServer(Handler handler);
    ~TestHttpServer();

    int port() const { return port_; }
    std::string url(const std::string &path) const;
    std::vector<ReceivedRequest> requests();
    bool stopping() const { return stop_; }

    /* When set, answers go out one byte per this many milliseconds (a
     * trickling server) until the client hangs up or the server stops. */
    std::atomic<int> trickle_ms{0};

    /* A whole response with Content-Length and "Connection: close". */
    static std::string response(int code, const std::string &body,
                                const std::vector<std::string> &headers = {});

    /* A port on 127.0.0.1 where nothing listens. */
    static int closed_port();

private:
    void run();
    void serve(int fd);

    Handler handler_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<ReceivedRequest> requests_;
    std::thread thread_;
};

#endif
