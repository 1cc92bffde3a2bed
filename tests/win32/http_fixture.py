#!/usr/bin/env python3
"""A small metadata-like HTTP server on loopback for the WinHTTP fetch tests.

  http_fixture.py start --port N --pidfile F   start in the background, wait until it listens
  http_fixture.py stop --pidfile F             stop the server started with that pid file
  http_fixture.py serve --port N               serve in the foreground
"""
import argparse
import http.server
import os
import signal
import socket
import subprocess
import sys
import time

# The adapter listing at its largest: 107 entries, line feeds up to 2047 bytes.
LISTING = b"".join(b"52:54:00:ab:cd:%02x/\n" % i for i in range(107)).ljust(2047, b"\n")
PAGES = {
    "/meta-data/mac": b"52:54:00:ab:cd:ef",
    "/empty": b"",
    "/long": b"x" * 100,
    "/fits": b"y" * 29,
    "/listing-too-long": LISTING + b"\n",
}
NOT_FOUND = b"<h1>404 Not Found</h1>"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        if self.path == "/slow":
            # The body arrives in two pieces, apart in time.
            self.send_response(200)
            self.send_header("Content-Length", "9")
            self.end_headers()
            self.wfile.write(b"10.0.0.")
            self.wfile.flush()
            time.sleep(0.5)
            self.wfile.write(b"12")
            return
        if self.path == "/slow-listing":
            # The largest listing in three pieces, apart in time.
            self.send_response(200)
            self.send_header("Content-Length", str(len(LISTING)))
            self.end_headers()
            for start in (0, 700, 1400):
                self.wfile.write(LISTING[start:start + 700])
                self.wfile.flush()
                time.sleep(0.2)
            return
        body = PAGES.get(self.path)
        status = 200
        if body is None:
            body, status = NOT_FOUND, 404
        if self.path == "/busy":  # a proxy shedding load, as nginx says it
            body, status = b"<html><center><h1>503 Service Temporarily Unavailable</h1></center></html>", 503
        self.send_response(status)
        if status == 503:
            self.send_header("Retry-After", "3")
        self.send_header("Content-Type", "text/html" if status == 404 else "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def serve(port):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.serve_forever()


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def start(port, pidfile):
    child = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "serve", "--port", str(port)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    with open(pidfile, "w") as f:
        f.write(str(child.pid))
    for _ in range(100):
        if child.poll() is not None:
            print("server exited early (port %d in use?)" % port)
            return 1
        if listening(port):
            return 0
        time.sleep(0.1)
    print("server did not start listening on port %d" % port)
    child.kill()
    return 1


def stop(pidfile):
    try:
        with open(pidfile) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return 0
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    os.remove(pidfile)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["start", "stop", "serve"])
    parser.add_argument("--port", type=int, default=18471)
    parser.add_argument("--pidfile")
    args = parser.parse_args()
    if args.action == "serve":
        serve(args.port)
        return 0
    if not args.pidfile:
        parser.error("--pidfile is needed")
    return start(args.port, args.pidfile) if args.action == "start" else stop(args.pidfile)


if __name__ == "__main__":
    sys.exit(main())
