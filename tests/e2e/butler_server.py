"""A loopback HTTP server for the butler download: answers every GET from a
table of path -> (status, body), 404 for anything else, and records the
paths asked for. Runs on its own thread; every connection is bounded in
time, and stop() ends it."""
import http.server
import threading


class ButlerServer:
    def __init__(self, routes):
        self.routes = dict(routes)
        self.paths = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            timeout = 10

            def do_GET(self):
                outer.paths.append(self.path)
                status, body = outer.routes.get(self.path, (404, b"no such file"))
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.base = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever,
                                       kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=10)
