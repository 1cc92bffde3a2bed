"""Start and stop the scenario's metadata server inside its namespace."""
import json
import os
import select
import subprocess
import sys

from . import cleanup

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "metadata_server.py")


class MetadataServer:
    def __init__(self, machine, tree, workdir):
        self.machine = machine
        self.tree = tree
        self.tree_path = os.path.join(workdir, "metadata-tree.json")
        self.log_path = os.path.join(workdir, "metadata-requests.jsonl")
        self.process = None
        self._key = "server:" + machine.name

    def start(self, timeout=10.0):
        with open(self.tree_path, "w", encoding="utf-8") as f:
            json.dump(self.tree, f, indent=1)
        open(self.log_path, "w").close()
        argv = self.machine.exec_argv([sys.executable, "-u", SCRIPT, self.tree_path, self.log_path])
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL)
        cleanup.register(self._key, "metadata server", self.stop)
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline() if ready else b""
        if line.strip() != b"ready":
            err = self.process.stderr.read1(4000) if self.process.poll() is not None else b""
            self.stop()
            raise RuntimeError("metadata server did not start: %r %r" % (line, err))
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)
        cleanup.unregister(self._key)

    def requests(self):
        out = []
        if os.path.exists(self.log_path):
            with open(self.log_path, encoding="utf-8") as f:
                for line in f:
                    if line.strip():
                        out.append(json.loads(line))
        return out

