#!/usr/bin/env python3
"""An operator's MMS content server for the end-to-end tests (standard library only).

Usage: content_server.py FOLDER
Serves GET /<name> with the bytes of FOLDER/<name> as application/vnd.wap.mms-message;
a name that is not there answers 404, a path starting with /503/ answers 503.
Prints "LISTENING <port>" once, then "GET <path>" for every request, each line flushed.
"""
import http.server
import os
import sys

FOLDER = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        print("GET " + self.path, flush=True)
        if self.path.startswith("/503/"):
            self.answer(503, b"busy", "text/plain")
            return
        name = os.path.basename(self.path)
        path = os.path.join(FOLDER, name)
        if not name or not os.path.isfile(path):
            self.answer(404, b"not here", "text/plain")
            return
        with open(path, "rb") as f:
            self.answer(200, f.read(), "application/vnd.wap.mms-message")

    def answer(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print("LISTENING %d" % server.server_address[1], flush=True)
server.serve_forever()
