"""Checks of what a user of the tool would see after one run."""
import re

from .program import CONSOLE_LINE_START, EVENT_SOURCE_KEY, FAIL_LINE, SERIAL_PREFIX, STAMP, SUCCESS_LINE


def parse_ini(text):
    """[(section, [(key, value)])] in file order; lines before any section under ""."""
    sections = [("", [])]
    for raw in (text or "").replace("\r\n", "\n").split("\n"):
        line = raw.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("[") and line.endswith("]"):
            sections.append((line[1:-1], []))
        elif "=" in line:
            key, value = line.split("=", 1)
            sections[-1][1].append((key.strip(), value.strip()))
    return [s for s in sections if s[0] or s[1]]


def _matches(want, line):
    """A log line against an expected text or compiled regex."""
    return want.match(line) is not None if hasattr(want, "match") else line == want


class Checker:
    """Collects the outcome of one named part of a scenario."""

    def __init__(self, name):
        self.name = name
        self.passed = 0
        self.failures = []
        self.note = ""  # which of several allowed outcomes happened, for the report
        # Why the scenario's premise never held within its bound: then the
        # machine under the test is at fault, and the program was not judged.
        self.broken = ""

    @property
    def ok(self):
        return not self.failures and self.passed > 0

    def true(self, condition, what, detail=""):
        if condition:
            self.passed += 1
        else:
            self.failures.append(what + (": " + detail if detail else ""))
        return bool(condition)

    def eq(self, actual, expected, what):
        return self.true(actual == expected, what, "expected %r, got %r" % (expected, actual))

    # -- console --------------------------------------------------------
    def console(self, out, success, serial=None):
        lines = [l for l in out.console.split("\n") if l.startswith(CONSOLE_LINE_START)]
        want = SUCCESS_LINE if success else FAIL_LINE
        self.eq(lines, [want], "console closing line")
        # The same line (unless told) on COM1, once for each run, after the name and version.
        self.true(re.fullmatch("(%s%s\r\n){%d}" % (SERIAL_PREFIX, re.escape(serial or want), out.runs), out.serial),
                  "COM1 carries the closing line", repr(out.serial))
        self.true("Press any key" in out.console, "console shows the pause prompt", repr(out.console[-200:]))
        self.true(not out.pty.timed_out, "tool ended by itself (pause answered)")
        self.eq(out.pty.exit_code, 0, "exit status")

    def finished(self, out, success):
        """The console's closing line and a well-framed log block."""
        self.console(out, success)
        self.framing(out)

    def event_source(self, lab, exe):
        """The program registered its event source: `exe` (its Windows path)
        as its message file, and the three types."""
        values = lab.registry_values(EVENT_SOURCE_KEY)
        self.eq([values.get("EventMessageFile"), values.get("TypesSupported")],
                [["REG_EXPAND_SZ", exe], ["REG_DWORD", "0x7"]], "event source registered")

    # -- run log --------------------------------------------------------
    def framing(self, out):
        block = out.block
        self.true(len(block) >= 6, "log block present", "%d lines" % len(block))
        if len(block) < 6:
            return
        self.true(STAMP.match(block[0]) is not None and block[0].startswith("start"), "start stamp", block[0])
        self.eq(block[1], "starting config ip address", "second log line")
        # A block ends "configure end", the end stamp, an empty line.
        self.eq(block[-1], "", "block ends with its empty line")
        tail = [l for l in block if l != ""][-2:]
        self.eq(tail[0], "configure end", "configure end line")
        self.true(STAMP.match(tail[1]) is not None and tail[1].startswith("end"), "end stamp", tail[1])

    def log_exact(self, out, middle):
        """The whole block: stamps, framing and exactly `middle` (texts, or
        compiled regexes) between."""
        self.framing(out)
        inner = [l for l in out.block[2:] if l != ""][:-2]
        same = len(inner) == len(middle) and all(_matches(w, l) for w, l in zip(middle, inner))
        self.true(same, "log lines between the framing", "expected %r, got %r" % (
            [getattr(w, "pattern", w) for w in middle], inner))

    def log_order(self, out, expected, what="log lines in order"):
        """Every expected line (text, or compiled regex) appears, in this order."""
        position = 0
        lines = out.block
        for want in expected:
            found = None
            for i in range(position, len(lines)):
                if _matches(want, lines[i]):
                    found = i
                    break
            if found is None:
                self.true(False, what, "missing after line %d: %r" % (position, getattr(want, "pattern", want)))
                return
            position = found + 1
        self.true(True, what)

    def log_count(self, out, line, count, what=None):
        self.eq(sum(1 for l in out.block if l == line), count, what or "count of %r" % line)

    def log_lacks(self, out, fragment):
        hits = [l for l in out.block if fragment in l]
        self.eq(hits, [], "log has no %r" % fragment)

    def ran_and_waited(self, out, command_lines):
        """Each command's line and its success line, in order."""
        expected = []
        for line in command_lines:
            expected += [line, "wait %s  successfully" % line]
        self.log_order(out, expected, "commands logged with their wait outcome")

    # -- commands and requests ------------------------------------------
    def commands(self, out, expected):
        self.eq([c.line for c in out.commands], expected, "commands run")
        broken = [(c.line, c.error) for c in out.commands if c.error]
        self.eq(broken, [], "doubles understood every command")

    def requests(self, out, expected_paths):
        self.eq([r["path"] for r in out.requests], expected_paths, "metadata requests")

    # -- files ----------------------------------------------------------
    def ini_untouched(self, out, before):
        self.eq(out.ini, before, "saved configuration unchanged")
        self.eq(out.backup, None, "no backup made")

    def ini_written(self, out, before, sections):
        """Backup is the old file; old sections kept; one section per adapter."""
        self.eq(out.backup, before, "backup is the file as it was")
        self.ini_holds(out.ini, before, sections)

    def ini_holds(self, data, before, sections, what=""):
        """`data` is the file `before` with `sections` written into it: every
        other section kept as it was, one section per adapter, no other."""
        label = what + ": " if what else ""
        old = parse_ini(before.decode("latin-1"))
        new = parse_ini((data or b"").decode("latin-1"))
        new_map = dict(new)
        for name, keys in old:
            if name not in dict(sections):
                self.eq(new_map.get(name), keys, "%ssection [%s] kept" % (label, name))
        for name, keys in sections:
            self.eq(new_map.get(name), keys, "%ssection [%s]" % (label, name))
        self.eq(len(new), len(dict(old + list(sections))), label + "number of sections")

    def after_fault(self, out, before, main):
        """What every fault leaves: the file unchanged, or its backup holding
        the file as it was (the writer got going); the main adapter's [eth0]
        GATEWAY in the file, and the main adapter itself, as they were."""
        self.true(out.ini == before or out.backup == before,
                  "saved configuration unchanged, or its backup is the previous file",
                  "file %r, backup %r" % (out.ini, out.backup))
        eth0 = dict(dict(parse_ini((out.ini or b"").decode("latin-1"))).get("eth0", []))
        self.eq(eth0.get("GATEWAY"), main.gateway, "[eth0] GATEWAY kept")
        self.adapter(out, main.name, main.addresses, main.gateway, main.metric)

    # -- adapters -------------------------------------------------------
    def adapter(self, out, dev, addresses, gateway, metric):
        state = out.state.get(dev)
        if not self.true(state is not None, "adapter %s exists" % dev):
            return
        self.eq(sorted(state["addresses"]), sorted(addresses), "%s addresses" % dev)
        self.eq(state["default"], [(gateway, metric)] if gateway else [], "%s default route" % dev)

    def metadata_route(self, out, present=True):
        want = [("169.254.0.0/17", "10.0.0.1", "eth0")] if present else []
        self.eq(out.routes_metadata, want, "route to the metadata network")


def section(mac_upper, ips, gateway, mask):
    return ("eth:" + mac_upper, [("mac", mac_upper), ("ip", ",".join(ips)), ("gateway", gateway),
                                 ("mask", mask), ("dhcp", "0"), ("disabled", "0")])
