#!/usr/bin/env python3
"""An HTTP/1.1 server for the web client's tests: it keeps connections open between requests, so the client's
reuse of a connection can be seen. Listens on 127.0.0.1 on a port the system chooses and prints that port as
its first line. Paths:
  /count          the number of connections accepted so far
  /dir/a.txt      302 to the relative name next.txt
  /dir/next.txt   "next file"
  /loop           302 to /loop, forever
  anything else   404
"""
import http.server
import sys
import threading

accepted = 0
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        global accepted
        super().setup()
        with lock:
            accepted += 1

    def log_message(self, format, *args):
        pass

    def reply(self, status, body, location=None):
        data = body.encode()
        self.send_response(status)
        if location is not None:
            self.send_header("Location", location)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if self.path == "/count":
            with lock:
                self.reply(200, str(accepted))
        elif self.path == "/dir/a.txt":
            self.reply(302, "moved", "next.txt")
        elif self.path == "/dir/next.txt":
            self.reply(200, "next file")
        elif self.path == "/loop":
            self.reply(302, "again", "/loop")
        else:
            self.reply(404, "not here")


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
