"""One scenario's world: machine, metadata server, command doubles, files.

A `Lab` is used as a context manager; leaving it stops Wine and removes the
namespaces, the server and the spool thread, whatever happened inside.
"""
import json
import os
import re
import subprocess
import time

from . import machine, server, spool, wine
from .program import MAC_PATH, MACS, adapter_paths

MAIN = machine.Adapter("eth0", "52:54:00:00:00:10", ["10.0.0.10/24"], "10.0.0.1", metric=100)
MAIN_MAC_TEXT = "52:54:00:00:00:10"
STANDARD_INI = ("[eth0]\nGATEWAY=10.0.0.1\nIPADDR=10.0.0.10\nNETMASK=255.255.255.0\n\n"
                "[eth:52:54:00:AB:CD:99]\nmac=52:54:00:AB:CD:99\nip=10.9.0.9\ngateway=10.9.0.1\n"
                "mask=255.255.255.0\ndhcp=0\ndisabled=0\n")


class Desired:
    """What the metadata service says about one adapter."""

    def __init__(self, mac, primary, ips=None, gateway=None, mask="255.255.255.0", answers=None):
        self.mac = mac
        self.primary = primary
        self.ips = ips if ips is not None else [primary]
        self.gateway = gateway
        self.mask = mask
        self.answers = answers or {}  # resource suffix -> answer that replaces the normal one

    def paths(self):
        return adapter_paths(self.mac, self.primary)

    def ip_list(self):
        """The addresses as the tool will want them: primary first."""
        rest = list(self.ips)
        if self.primary in rest:
            rest.remove(self.primary)
        return [self.primary] + rest


def metadata_tree(adapters, main_mac=MAIN_MAC_TEXT, listing=None):
    tree = {MAC_PATH: main_mac}
    tree[MACS] = listing if listing is not None else \
        "\n".join(m + "/" for m in [main_mac] + [a.mac for a in adapters])
    for a in adapters:
        paths = a.paths()
        tree[paths["primary"]] = a.primary
        tree[paths["ips"]] = "\n".join(ip + "/" for ip in a.ips)
        tree[paths["gateway"]] = a.gateway
        tree[paths["mask"]] = a.mask
        for key, answer in a.answers.items():
            tree[paths.get(key, key)] = answer
    return tree


def read_bytes(path):
    if not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def text_of(data):
    return None if data is None else data.decode("latin-1").replace("\r\n", "\n")


def split_blocks(log_text):
    """The run log's blocks, each a list of lines (without line ends)."""
    if not log_text:
        return []
    blocks = []
    for piece in re.split(r"(?m)^(?=start time )", log_text):
        if piece.strip():
            blocks.append(piece.split("\n"))
    return blocks


class RunOutcome:
    def __init__(self):
        self.pty = None
        self.console = ""
        self.log_text = ""
        self.block = []
        self.commands = []
        self.requests = []
        self.ini = None
        self.backup = None
        self.state = {}
        self.started = None  # time.time() when the run started
        self.seconds = 0.0
        self.serial = ""  # what arrived on COM1
        self.runs = 1     # runs whose COM1 lines `serial` holds

    @property
    def closed_at(self):
        """time.time() when the closing line showed, or None."""
        answered = self.pty.answered_at if self.pty else None
        return None if answered is None else self.started + answered


class Lab:
    def __init__(self, name, prefix, exe, workdir, verbose=False):
        self.name = name
        self.prefix = prefix
        self.exe = exe
        self.workdir = os.path.join(workdir, name)
        os.makedirs(self.workdir, exist_ok=True)
        self.verbose = verbose
        self.machine = machine.Machine("asme2e%d-%s" % (os.getpid(), name[:18]))
        self.server = None
        self.spool = None
        self._policy = lambda command: spool.APPLY
        self._requests_seen = 0
        self._commands_seen = 0

    def __enter__(self):
        # A Wine server left from the last scenario lives in the old namespace.
        self.prefix.kill_server()
        self.machine.create()
        self.spool = spool.CommandSpool(self.prefix.spool, self.machine, self.policy).start()
        return self

    def __exit__(self, *exc):
        try:
            self.prefix.kill_server()
        finally:
            if self.spool:
                self.spool.stop()
            if self.server:
                self.server.stop()
            self.machine.destroy()
        return False

    # -- setting up -----------------------------------------------------
    def policy(self, command):
        return self._policy(command)

    def set_policy(self, policy):
        self._policy = policy

    def add(self, *adapters):
        for adapter in adapters:
            self.machine.add_adapter(adapter)

    def serve(self, tree, scripted=False):
        """Start the service with `tree`; again with another tree between runs.
        nginx serves it, or with `scripted` the server that can misbehave."""
        if self.server:
            self.server.stop()
            self._requests_seen = 0  # the new server keeps a request log of its own
        self.server = server.start(self.machine, tree, self.workdir, scripted=scripted)

    def files(self, ini_text):
        self.prefix.reset_files(ini_text)
        self.ini_before = read_bytes(self.prefix.ini)

    # -- running --------------------------------------------------------
    def run(self, timeout=90, on_tick=None, exe=None, cwd=None):
        """One run of the program (or of `exe`, a copy of it elsewhere), with
        `cwd` as its current directory when given."""
        out = RunOutcome()
        argv = self.machine.exec_argv(["wine", exe or self.exe])
        out.pty = wine.run_on_pty(argv, self.prefix.env(), timeout,
                                  on_tick=(lambda r: on_tick(self, r)) if on_tick else None, cwd=cwd)
        self._collect([out])
        return out

    def run_acting_after(self, seconds, act, timeout=90, after_first_command=False):
        """One run with `act(lab)` done `seconds` after its start, or with
        `after_first_command` after the program's first command (the route
        it adds before it asks anything), so that Wine's own start, slow on
        a cold machine, takes nothing from them: the outcome and the
        time.time() of the act (None when the run ended before)."""
        done = {}

        def tick(lab, run):
            if done:
                return
            since = run.started
            if after_first_command:
                commands = lab.spool.snapshot()[lab._commands_seen:]
                if not commands:
                    return
                since = commands[0].arrived
            if time.time() - since >= seconds:
                act(lab)
                done["at"] = time.time()

        return self.run(timeout=timeout, on_tick=tick), done.get("at")

    def run_together(self, count=2, timeout=90):
        """`count` runs started at the same moment, each on a terminal of its
        own: one outcome per run, each with its own console and times, all
        with the same log, commands, requests, files and adapters."""
        argv = self.machine.exec_argv(["wine", self.exe])
        outs = [RunOutcome() for _ in range(count)]
        for out, pty_run in zip(outs, wine.run_together([argv] * count, self.prefix.env(), timeout)):
            out.pty = pty_run
        self._collect(outs)
        return outs

    # -- the service ----------------------------------------------------
    def wine(self, argv, timeout=120):
        """A Windows command in the namespace, its output captured. The Wine
        server must have been started with start_services first: capturing
        the output of the command that boots the prefix hangs."""
        return subprocess.run(self.machine.exec_argv(["wine"] + list(argv)), env=self.prefix.env(),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)

    def start_services(self):
        """A Wine server kept in the namespace, and its service manager with
        it: every service it starts runs there, whoever asks."""
        subprocess.run(self.machine.exec_argv(["wineserver", "-p"]), env=self.prefix.env(), check=True)
        subprocess.run(self.machine.exec_argv(["wine", "cmd", "/c", "exit"]), env=self.prefix.env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)

    def observe(self):
        """What the program has left so far, as after a run (no console)."""
        out = RunOutcome()
        out.runs = 0
        self._collect([out])
        return out

    def _collect(self, outs):
        """What the run(s) left: read once, handed to every outcome."""
        for out in outs:
            if out.pty:
                out.started = out.pty.started
                out.seconds = out.pty.seconds
                out.console = out.pty.text
        self.spool.wait_idle()
        serial = self.prefix.take_serial().decode("latin-1")
        log_text = text_of(read_bytes(self.prefix.log)) or ""
        blocks = split_blocks(log_text)
        commands = self.spool.snapshot()
        new_commands = commands[self._commands_seen:]
        self._commands_seen = len(commands)
        requests = self.server.requests() if self.server else []
        new_requests = requests[self._requests_seen:]
        self._requests_seen = len(requests)
        ini, backup = read_bytes(self.prefix.ini), read_bytes(self.prefix.backup)
        state = self.machine.state()
        routes = self.machine.routes_to("169.254.0.0/17")
        for out in outs:
            out.log_text = log_text
            out.blocks = blocks
            out.block = blocks[-1] if blocks else []
            out.commands = new_commands
            out.requests = new_requests
            out.ini, out.backup = ini, backup
            out.state = state
            out.routes_metadata = routes
            out.serial, out.runs = serial, len(outs)
        # Every command of every run, for looking at afterwards (--keep).
        with open(os.path.join(self.workdir, "commands.jsonl"), "a", encoding="utf-8") as f:
            for c in new_commands:
                f.write(json.dumps({"arrived": c.arrived, "answered": c.answered, "line": c.line,
                                    "action": c.action, "exit": c.exit_code, "applied": c.applied,
                                    "error": c.error}) + "\n")

    def registry_values(self, key):
        """{name: [type, data]} as `wine reg query` lists the key; asked in the
        namespace, where the next run's Wine server must start."""
        listed = self.wine(["reg", "query", key]).stdout
        lines = [line.split(None, 2) for line in listed.decode("latin-1").splitlines()]
        return {words[0]: words[1:] for words in lines if len(words) == 3}

    def log_now(self):
        return text_of(read_bytes(self.prefix.log)) or ""
