"""The scenario's metadata service inside its namespace: nginx, or a scripted
server where the service must misbehave.

Both take the same tree (request path -> answer, see metadata_server.py),
listen on 169.254.0.254:80 and give the same request list: one dict per
request, in arrival order, {"t", "method", "path", "status", "agent",
"hang", "cut"}, "t" being when the request arrived.

nginx is what the program meets in production: it answers in one write and
does not leave a response to Nagle's algorithm, so timings measure the
program and not the test server. It serves a static folder made from the
tree; answers it cannot give (never answering, answering late, a body cut
short of its Content-Length) are the scripted server's.
"""
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time

from . import cleanup

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "metadata_server.py")
NGINX = "/usr/sbin/nginx"
ADDRESS = "169.254.0.254"
# What both servers send for a path the tree does not have.
NOT_FOUND_BODY = "404 - Not Found"
# A resource ending in "/" is a folder; its text is this file inside it. A
# listing and the resources below it ("local-ipv4s/" and
# "local-ipv4s/10.1.0.5/gateway") then live side by side.
INDEX = ".index"
MISBEHAVING = ("hang", "delay", "length", "busy_once", "busy")
# nginx's temporary folders, all kept in the scenario's own.
TEMP_KINDS = ("client_body", "proxy", "fastcgi", "uwsgi", "scgi")


def misbehaving(tree):
    """The paths whose answers only the scripted server can give."""
    return sorted(p for p, a in tree.items() if isinstance(a, dict) and any(k in a for k in MISBEHAVING))


def start(machine, tree, workdir, scripted=False):
    """nginx, or with `scripted` the Python server; the one that fits the tree."""
    if scripted:
        return ScriptedServer(machine, tree, workdir).start()
    odd = misbehaving(tree)
    if odd:
        raise ValueError("nginx cannot give these answers, serve them scripted: %s" % ", ".join(odd))
    return NginxServer(machine, tree, workdir).start()


def _read_lines(path):
    out = []
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    out.append(json.loads(line))
    return out


def start_script(machine, argv, key, what, stop, timeout=30.0):
    """A Python script of ours in the namespace, once it says "ready" on its
    standard output; `stop` is registered for every exit path."""
    process = subprocess.Popen(machine.exec_argv([sys.executable, "-u"] + argv), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    cleanup.register(key, what, stop)
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    line = process.stdout.readline() if ready else b""
    if line.strip() != b"ready":
        err = process.stderr.read1(4000) if process.poll() is not None else b""
        process.kill()
        process.wait(timeout=10)
        cleanup.unregister(key)
        raise RuntimeError("%s did not start: %r %r" % (what, line, err))
    return process


class ScriptedServer:
    """metadata_server.py: misbehaves on request (see its docstring)."""

    kind = "scripted"

    def __init__(self, machine, tree, workdir):
        self.machine = machine
        self.tree = tree
        self.tree_path = os.path.join(workdir, "metadata-tree.json")
        self.log_path = os.path.join(workdir, "metadata-requests.jsonl")
        self.process = None
        self._key = "server:" + machine.name

    def start(self, timeout=30.0):
        with open(self.tree_path, "w", encoding="utf-8") as f:
            json.dump(self.tree, f, indent=1)
        open(self.log_path, "w").close()
        self.process = start_script(self.machine, [SCRIPT, self.tree_path, self.log_path],
                                    self._key, "metadata server", self.stop, timeout)
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)
        cleanup.unregister(self._key)

    def requests(self):
        return _read_lines(self.log_path)


def _nginx_string(text):
    """A double-quoted nginx string; nginx has no escape for "$", so a text
    with one (a variable to nginx) is refused rather than served changed."""
    if "$" in text or any(ord(c) < 0x20 and c not in "\n\t" for c in text):
        raise ValueError("nginx cannot return this text as it is: %r" % text)
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


class NginxServer:
    """nginx in the namespace, root-owned master, everything in `workdir`/nginx."""

    kind = "nginx"

    def __init__(self, machine, tree, workdir):
        self.machine = machine
        self.tree = tree
        self.dir = os.path.join(workdir, "nginx")
        self.root = os.path.join(self.dir, "tree")
        self.conf = os.path.join(self.dir, "nginx.conf")
        self.pid_path = os.path.join(self.dir, "nginx.pid")
        self.access_log = os.path.join(self.dir, "access.jsonl")
        self.error_log = os.path.join(self.dir, "error.log")
        self.process = None
        self._key = "server:" + machine.name

    # -- the folder and the configuration --------------------------------
    def _write_tree(self):
        """Files for plain texts; `return` lines for answers with a status."""
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.root)
        locations = []
        for path, answer in sorted(self.tree.items()):
            if not path.startswith("/") or ".." in path.split("/"):
                raise ValueError("not a resource path: %r" % path)
            if answer is None:
                continue  # nothing there: nginx's 404
            if isinstance(answer, dict):
                status = int(answer.get("status", 200))
                locations.append('        location = %s { return %d %s; }' % (
                    _nginx_string(path), status, _nginx_string(answer.get("body", ""))))
                continue
            target = os.path.join(self.root, path.lstrip("/"))
            if path.endswith("/"):
                target = os.path.join(target, INDEX)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if os.path.isdir(target):
                raise ValueError("%r is both a value and a folder; a folder ends in /" % path)
            with open(target, "wb") as f:
                f.write(answer.encode("utf-8"))  # the text's bytes, nothing added
        with open(os.path.join(self.dir, "not-found"), "wb") as f:
            f.write(NOT_FOUND_BODY.encode("utf-8"))
        return locations

    def _write_conf(self, locations):
        d = self.dir
        temp = "\n".join("    %s_temp_path %s;" % (kind, os.path.join(d, "temp", kind))
                         for kind in TEMP_KINDS)
        conf = """# Written by the e2e harness for one scenario; everything it writes is in %(d)s.
daemon off;
master_process on;
worker_processes 1;
# The work folder is root's alone (0700).
user root;
pid %(pid)s;
error_log %(error)s warn;

events { worker_connections 64; }

http {
%(temp)s
    # Every resource is text: no type by file name.
    types { }
    default_type text/plain;
    server_tokens off;
    etag off;
    log_format e2e escape=json '{"msec": $msec, "request_time": $request_time, '
                               '"method": "$request_method", "path": "$request_uri", '
                               '"status": $status, "agent": "$http_user_agent"}';
    access_log %(access)s e2e;

    server {
        listen %(address)s:80;
        root %(root)s;
        # "x/" is the folder x's index file; a folder without one, or a
        # path that names a folder without the "/", is not there: 404, not
        # nginx's 403 or 301.
        location / { try_files $uri $uri%(index)s =404; }
%(locations)s
        error_page 404 /.e2e-not-found;
        location = /.e2e-not-found { internal; alias %(d)s/not-found; }
    }
}
""" % {"d": d, "pid": self.pid_path, "error": self.error_log, "temp": temp, "access": self.access_log,
       "address": ADDRESS, "root": self.root, "index": INDEX, "locations": "\n".join(locations)}
        with open(self.conf, "w", encoding="utf-8") as f:
            f.write(conf)

    # -- life cycle --------------------------------------------------------
    def start(self, timeout=30.0):
        os.makedirs(self.dir, exist_ok=True)
        for kind in TEMP_KINDS:
            os.makedirs(os.path.join(self.dir, "temp", kind), exist_ok=True)
        self._write_conf(self._write_tree())
        for path in (self.access_log, self.pid_path):
            if os.path.exists(path):
                os.unlink(path)
        open(self.access_log, "w").close()
        # -e: the error log from the first line on, before the file is read.
        argv = self.machine.exec_argv([NGINX, "-p", self.dir, "-e", self.error_log, "-c", self.conf])
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        cleanup.register(self._key, "nginx", self.stop)
        # `ip netns exec` execs in place: the child is nginx's master, which
        # writes its pid file only once its socket listens.
        end = time.time() + timeout
        while time.time() < end and self.process.poll() is None:
            if self._pid_file() == self.process.pid:
                return self
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("nginx did not start: %s" % self._error_tail())

    def _pid_file(self):
        try:
            with open(self.pid_path) as f:
                return int(f.read().strip() or 0)
        except (OSError, ValueError):
            return None

    def _error_tail(self):
        try:
            with open(self.error_log, encoding="utf-8", errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return "(no error log)"

    def stop(self):
        """Fast shutdown of master and worker; kill them if they linger."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)
        cleanup.unregister(self._key)

    def requests(self):
        """The access log as the scripted server's request list. nginx logs a
        request when it has answered it; its arrival is that less its time."""
        out = []
        for entry in _read_lines(self.access_log):
            out.append({"t": float(entry["msec"]) - float(entry["request_time"]),
                        "method": entry["method"], "path": entry["path"], "status": int(entry["status"]),
                        "agent": entry["agent"], "hang": False, "cut": False})
        return out
