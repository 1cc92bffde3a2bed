"""The harness side of the netsh.exe / route.exe doubles.

A double writes its command line into the spool folder and waits; this
thread picks the request up, decides with the scenario's policy what the
command does, applies it to the machine's adapters with iproute2, records
it, and only then writes the answer that lets the double return.
"""
import os
import threading
import time

from .machine import mask_to_prefix

# What a scenario may ask for, per command:
APPLY = "apply"              # apply it, then return
IGNORE = "ignore"            # return at once without changing anything
HANG = "hang"                # never return, change nothing
APPLY_HANG = "apply-hang"    # apply it, never return


def delayed(seconds):
    """Apply it, but return only after `seconds`."""
    return ("delay", float(seconds))


def then(func):
    """Apply it, call `func(command)` (e.g. pull an adapter out), then return."""
    return ("then", func)


def split_command_line(text):
    """Windows-style split: blanks separate words, double quotes group and vanish."""
    words, word, quoted, started = [], [], False, False
    for ch in text:
        if ch == '"':
            quoted = not quoted
            started = True
        elif ch in " \t" and not quoted:
            if started:
                words.append("".join(word))
            word, started = [], False
        else:
            word.append(ch)
            started = True
    if started:
        words.append("".join(word))
    return words


class Command:
    def __init__(self, program, line):
        self.program = program
        self.line = line
        self.words = split_command_line(line)
        self.arrived = time.time()
        self.answered = None
        self.action = None
        self.exit_code = None
        self.applied = []  # iproute2 commands run for it, with their results
        self.error = None

    @property
    def kind(self):
        base = os.path.basename(self.program.replace("\\", "/")).lower()
        return base[:-4] if base.endswith(".exe") else base

    def __repr__(self):
        return "<%s %s -> %s>" % (self.kind, self.line, self.action)


class CommandSpool:
    def __init__(self, folder, machine, policy=None):
        self.folder = folder
        self.machine = machine
        self.policy = policy or (lambda command: APPLY)
        self.commands = []
        self._seen = set()
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = None
        self._timers = []

    # -- thread ---------------------------------------------------------
    def start(self):
        os.makedirs(self.folder, exist_ok=True)
        for name in os.listdir(self.folder):
            os.unlink(os.path.join(self.folder, name))
        self._thread = threading.Thread(target=self._loop, name="spool", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        for timer in self._timers:
            timer.cancel()
        if self._thread:
            self._thread.join(timeout=5)

    def _loop(self):
        while not self._stop.is_set():
            try:
                names = sorted(n for n in os.listdir(self.folder) if n.endswith(".req"))
            except FileNotFoundError:
                names = []
            for name in names:
                if name in self._seen:
                    continue
                self._seen.add(name)
                self._take(name)
            self._stop.wait(0.03)

    def _take(self, name):
        path = os.path.join(self.folder, name)
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().split("\n")
        os.unlink(path)
        command = Command(lines[0].strip(), lines[1] if len(lines) > 1 else "")
        done_path = os.path.join(self.folder, name[:-4] + ".done")
        with self._lock:
            self.commands.append(command)
        try:
            action = self.policy(command)
        except Exception as error:  # a broken policy must not hang the double
            command.error = "policy: %s" % error
            action = IGNORE
        if isinstance(action, str):
            command.action = action
        elif action[0] == "delay":
            command.action = "delay %.1fs" % action[1]
        else:
            command.action = "apply-then"
        if action == HANG:
            return
        if action == IGNORE:
            self._answer(command, done_path, 0)
            return
        code = self.apply(command)
        if action == APPLY_HANG:
            command.exit_code = code
            return
        if isinstance(action, tuple) and action[0] == "then":
            try:
                action[1](command)
            except Exception as error:  # the double must still be answered
                command.error = "after apply: %s" % error
        if isinstance(action, tuple) and action[0] == "delay":
            timer = threading.Timer(action[1], self._answer, (command, done_path, code))
            timer.daemon = True
            self._timers.append(timer)
            timer.start()
            return
        self._answer(command, done_path, code)

    def _answer(self, command, done_path, code):
        command.exit_code = code
        command.answered = time.time()
        tmp = done_path + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % code)
        os.rename(tmp, done_path)

    # -- applying -------------------------------------------------------
    def _ip(self, command, *args):
        result = self.machine.ip(*args, check=False)
        command.applied.append(("ip " + " ".join(args), result.returncode, result.stderr.strip()))
        return result.returncode == 0

    def apply(self, command):
        """Do to the namespace what the real command would do; its exit code."""
        words = [w.lower() if i < 5 else w for i, w in enumerate(command.words)]
        try:
            if command.kind == "route":
                return self._route(command, words)
            if command.kind == "netsh":
                return self._netsh(command, words)
        except Exception as error:
            command.error = str(error)
            return 1
        command.error = "unknown program"
        return 1

    def _route(self, command, words):
        # route add 169.254.0.0 mask 255.255.128.0 <gateway>
        if len(words) != 6 or words[1] != "add" or words[3] != "mask":
            raise ValueError("unexpected route command")
        prefix = mask_to_prefix(words[4])
        if prefix is None:
            raise ValueError("bad mask")
        return 0 if self._ip(command, "route", "add", "%s/%d" % (words[2], prefix), "via", words[5]) else 1

    def _netsh(self, command, words):
        # interface ip set address name=<n> static <ip> <mask> <gw> [gwmetric=1]
        # interface ip add address name=<n> <ip> <mask>
        if words[1:3] != ["interface", "ip"] or len(words) < 6 or words[4] != "address" \
                or not words[5].lower().startswith("name="):
            raise ValueError("unexpected netsh command")
        dev = words[5][5:]
        if not self.machine.has_link(dev):
            raise ValueError("no adapter named %s" % dev)
        rest = words[6:]
        if words[3] == "set":
            if len(rest) < 4 or rest[0].lower() != "static":
                raise ValueError("unexpected set address form")
            address, mask, gateway = rest[1], rest[2], rest[3]
            prefix = mask_to_prefix(mask)
            if prefix is None:
                raise ValueError("bad mask")
            ok = self._ip(command, "addr", "flush", "dev", dev)
            ok = self._ip(command, "addr", "add", "%s/%d" % (address, prefix), "dev", dev) and ok
            result = self.machine.set_default_route(dev, gateway)
            command.applied.append(("ip route default via %s dev %s metric %d" % (
                gateway, dev, self.machine.metric_of(dev)), result.returncode, result.stderr.strip()))
            return 0 if ok and result.returncode == 0 else 1
        if words[3] == "add":
            if len(rest) < 2:
                raise ValueError("unexpected add address form")
            prefix = mask_to_prefix(rest[1])
            if prefix is None:
                raise ValueError("bad mask")
            return 0 if self._ip(command, "addr", "add", "%s/%d" % (rest[0], prefix), "dev", dev) else 1
        raise ValueError("unexpected netsh verb")

    # -- reading --------------------------------------------------------
    def snapshot(self):
        with self._lock:
            return list(self.commands)

    def wait_idle(self, quiet=0.3, timeout=5.0):
        """Let requests still being written by a double reach the list."""
        end = time.time() + timeout
        count = -1
        while time.time() < end:
            now = len(self.snapshot())
            if now == count:
                return
            count = now
            time.sleep(quiet)


__all__ = ["APPLY", "IGNORE", "HANG", "APPLY_HANG", "delayed", "then", "CommandSpool", "Command",
           "split_command_line"]
