"""A small HTTP server on 127.0.0.1 for the download tests: serves fixed
routes from a thread, records what it was asked, and stops when the test
ends."""
import http.server
import ssl
import threading


class Route:
    """status, body and headers of one answer; declared_length sends a
    Content-Length other than the body's (a truncated response)."""

    def __init__(self, status=200, body=b"", headers=(), declared_length=None):
        self.status = status
        self.body = body
        self.headers = list(headers)
        self.declared_length = declared_length


class LoopbackServer:
    """tls: (certificate file, key file) to serve HTTPS instead of HTTP."""

    def __init__(self, routes, tls=None):
        self.routes = routes
        self.requests = []  # (method, path, headers)
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                outer.requests.append(("GET", self.path, dict(self.headers)))
                route = outer.routes.get(self.path, Route(404, b"not here"))
                self.send_response(route.status)
                for name, value in route.headers:
                    self.send_header(name, value)
                length = route.declared_length
                self.send_header("Content-Length",
                                 str(len(route.body) if length is None else length))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(route.body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.scheme = "http"
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
            self.scheme = "https"
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever,
                                       kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def url(self, path):
        return "%s://127.0.0.1:%d%s" % (self.scheme, self.port, path)

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=10)
