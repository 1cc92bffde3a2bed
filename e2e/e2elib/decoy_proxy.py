#!/usr/bin/env python3
"""A proxy that answers every request itself, with another machine's hardware
address, as a proxy far from the machine would answer for the link-local
metadata service. Run inside a scenario's namespace.

    decoy_proxy.py PORT REQUESTS.log

Every request line is appended to REQUESTS.log; "ready" is printed once the
socket listens on 127.0.0.1:PORT.
"""
import socket
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ANSWER = b"52:54:00:ee:ee:ee"


def main():
    port, log_path = int(sys.argv[1]), sys.argv[2]

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, *_args):
            pass

        def do_GET(self):
            with open(log_path, "a", encoding="utf-8") as log:
                log.write(self.requestline + "\n")
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s"
                             % (len(ANSWER), ANSWER))

    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    server.serve_forever(poll_interval=0.2)


if __name__ == "__main__":
    main()
