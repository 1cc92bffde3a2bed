#!/usr/bin/env python3
"""The instance-metadata service of one scenario, run inside its namespace.

    metadata_server.py TREE.json REQUESTS.jsonl [ADDRESS [PORT]]

TREE.json maps a request path to its answer: a string (200, text/plain), or
an object {"status": 404, "body": "...", "hang": true, "delay": 1.5,
"length": 40}. "hang" never answers (the connection stays open until the
server stops). "length" announces that many bytes in Content-Length, sends
only the body and then closes the connection: a body cut off in the middle.
Paths not in the tree get a 404 with a short body, as a real service does.
Every request is appended to REQUESTS.jsonl as it arrives. "ready" is
printed on standard output once the socket listens.
"""
import json
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

NOT_FOUND = {"status": 404, "body": "404 - Not Found"}


def main():
    tree_path, log_path = sys.argv[1], sys.argv[2]
    address = sys.argv[3] if len(sys.argv) > 3 else "169.254.0.254"
    port = int(sys.argv[4]) if len(sys.argv) > 4 else 80
    with open(tree_path, encoding="utf-8") as f:
        tree = json.load(f)
    log_lock = threading.Lock()
    log = open(log_path, "a", encoding="utf-8")
    stop = threading.Event()

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"
        server_version = "e2e-metadata/1.0"

        def log_message(self, *_args):
            pass  # requests go to the JSON log instead

        def do_GET(self):
            answer = tree.get(self.path, NOT_FOUND)
            if isinstance(answer, str):
                answer = {"status": 200, "body": answer}
            with log_lock:
                log.write(json.dumps({"t": time.time(), "method": "GET", "path": self.path,
                                      "status": answer.get("status", 200),
                                      "agent": self.headers.get("User-Agent", ""),
                                      "hang": bool(answer.get("hang")),
                                      "cut": "length" in answer}) + "\n")
                log.flush()
            if answer.get("hang"):
                stop.wait()
                return
            if answer.get("delay"):
                time.sleep(float(answer["delay"]))
            body = answer.get("body", "").encode("utf-8")
            self.send_response(answer.get("status", 200))
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(answer.get("length", len(body))))
            self.end_headers()
            self.wfile.write(body)
            if "length" in answer:
                # The rest never comes: flush what was sent, then end the
                # connection (HTTP/1.0, so the server closes it on return).
                self.wfile.flush()
                self.close_connection = True

    server = ThreadingHTTPServer((address, port), Handler)
    server.daemon_threads = True
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        stop.set()
        log.close()


if __name__ == "__main__":
    main()
