#!/usr/bin/env python3
"""The instance-metadata service of a scenario whose service must misbehave,
run inside its namespace (the others are served by nginx, see server.py).

    metadata_server.py TREE.json REQUESTS.jsonl [ADDRESS [PORT]]

TREE.json maps a request path to its answer: a string (200, text/plain), or
an object {"status": 404, "body": "...", "hang": true, "delay": 1.5,
"length": 40, "busy_once": 503}. "hang" never answers (the connection stays
open until the server stops). "length" announces that many bytes in
Content-Length, sends only the body and then closes the connection: a body
cut off in the middle. "busy_once" answers the path's first request with
that status and a busy page. The entry "*" = {"busy": [[2.0, 503], [4.0,
429]]} answers every request with 503 for the first 2 s after the first
request, then 429 until 4 s, as an overloaded service and its proxies do.
Paths not in the tree get a 404 with a short body, as a real service does.
Every response goes out in one write with TCP_NODELAY set, as a production
server's does. Every request is appended to REQUESTS.jsonl as it arrives. "ready" is
printed on standard output once the socket listens.
"""
import json
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

NOT_FOUND = {"status": 404, "body": "404 - Not Found"}
# What nginx itself sends with a busy status (its 503 page is 190 bytes).
BUSY_PAGE = ("<html>\r\n<head><title>{0} {1}</title></head>\r\n<body>\r\n"
             "<center><h1>{0} {1}</h1></center>\r\n<hr><center>nginx</center>\r\n</body>\r\n</html>\r\n")
BUSY_REASONS = {503: "Service Temporarily Unavailable", 429: "Too Many Requests"}


def main():
    tree_path, log_path = sys.argv[1], sys.argv[2]
    address = sys.argv[3] if len(sys.argv) > 3 else "169.254.0.254"
    port = int(sys.argv[4]) if len(sys.argv) > 4 else 80
    with open(tree_path, encoding="utf-8") as f:
        tree = json.load(f)
    log_lock = threading.Lock()
    log = open(log_path, "a", encoding="utf-8")
    stop = threading.Event()
    busy_windows = tree.get("*", {}).get("busy", [])
    first_request = {}
    served = set()

    def busy_status(path, answer):
        """The busy status this request gets, or None."""
        now = time.time()
        since = now - first_request.setdefault("t", now)
        for until, status in busy_windows:
            if since < until:
                return status
        if answer.get("busy_once") and path not in served:
            served.add(path)
            return answer["busy_once"]
        return None

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"
        server_version = "e2e-metadata/1.0"
        # Like a production server: a response is not held back for the
        # client's delayed acknowledgement (about 40 ms each under Nagle).
        disable_nagle_algorithm = True

        def log_message(self, *_args):
            pass  # requests go to the JSON log instead

        def do_GET(self):
            answer = tree.get(self.path, NOT_FOUND)
            if isinstance(answer, str):
                answer = {"status": 200, "body": answer}
            with log_lock:
                busy = busy_status(self.path, answer)
                if busy:
                    answer = {"status": busy, "body": BUSY_PAGE.format(busy, BUSY_REASONS.get(busy, ""))}
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
            status = answer.get("status", 200)
            head = ("HTTP/1.0 %d %s\r\nServer: %s\r\nDate: %s\r\nContent-Type: text/plain\r\n"
                    "Content-Length: %d\r\n\r\n" % (
                        status, self.responses.get(status, ("",))[0], self.version_string(),
                        self.date_time_string(), answer.get("length", len(body))))
            # Headers and body in one write, as nginx sends them. With
            # "length" the rest never comes: HTTP/1.0, so returning closes
            # the connection after the cut body.
            self.wfile.write(head.encode("latin-1") + body)
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
