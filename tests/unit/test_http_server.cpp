#include "test_http_server.h"

#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

namespace {

const int kIoTimeoutMs = 5000;

bool wait_readable(int fd, int ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

} // namespace

TestHttpServer::TestHttpServer(Handler handler) : handler_(std::move(handler))
{
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(listen_fd_, (struct sockaddr *)&addr, sizeof addr) == 0 && listen(listen_fd_, 16) == 0) {
        socklen_t len = sizeof addr;
        getsockname(listen_fd_, (struct sockaddr *)&addr, &len);
        port_ = ntohs(addr.sin_port);
    }
    thread_ = std::thread([this] { run(); });
}

TestHttpServer::~TestHttpServer()
{
    stop_ = true;
    thread_.join();
    close(listen_fd_);
}

std::string TestHttpServer::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<ReceivedRequest> TestHttpServer::requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::string TestHttpServer::response(int code, const std::string &body,
                                     const std::vector<std::string> &headers)
{
    std::ostringstream out;
    out << "HTTP/1.1 " << code << " Whatever\r\n";
    for (const std::string &h : headers)
        out << h << "\r\n";
    out << "Content-Length: " << body.size() << "\r\nConnection: close\r\n\r\n" << body;
    return out.str();
}

int TestHttpServer::closed_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (struct sockaddr *)&addr, sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, (struct sockaddr *)&addr, &len);
    close(fd); /* bound but never listening: connections are refused */
    return ntohs(addr.sin_port);
}

void TestHttpServer::run()
{
    while (!stop_) {
        if (!wait_readable(listen_fd_, 50))
            continue;
        int fd = accept(listen_fd_, NULL, NULL);
        if (fd < 0)
            continue;
        serve(fd);
        close(fd);
    }
}

void TestHttpServer::serve(int fd)
{
    std::string data;
    char buf[65536];
    size_t head_end;
    while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
        if (!wait_readable(fd, kIoTimeoutMs))
            return;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return;
        data.append(buf, (size_t)n);
    }

    ReceivedRequest req;
    std::istringstream head(data.substr(0, head_end));
    std::string line;
    std::getline(head, line);
    std::istringstream request_line(line);
    request_line >> req.method >> req.target;
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        req.headers[lower(line.substr(0, colon))] = value;
    }
    size_t want = 0;
    if (req.headers.count("content-length"))
        want = std::stoul(req.headers["content-length"]);
    req.body = data.substr(head_end + 4);
    while (req.body.size() < want) {
        if (!wait_readable(fd, kIoTimeoutMs))
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        req.body.append(buf, (size_t)n);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
    }
    std::string answer = handler_(req, *this);
    int trickle = trickle_ms;
    for (size_t sent = 0; sent < answer.size() && !stop_;) {
        size_t chunk = trickle > 0 ? 1 : answer.size() - sent;
        ssize_t n = send(fd, answer.data() + sent, chunk, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += (size_t)n;
        if (trickle > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(trickle));
    }
    shutdown(fd, SHUT_WR);
}
