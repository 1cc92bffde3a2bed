"""What an operator asks: --plan on a machine with one adapter out of date
and one in effect gives exactly the next run's netsh lines and changes
nothing; its JSON tells the same; --status after a failed run shows that
run's closing line and the installed service's interval.
"""
import json
import re

from ..checks import Checker
from ..lab import MAIN, STANDARD_INI, Desired, metadata_tree, read_bytes
from ..machine import Adapter
from ..program import FAIL_LINE
from .common import ETH1, WANT1, new_lab
from .service import EXE, install_copy

# eth2 already has what the service asks for it.
ETH2_IN = Adapter("eth2", "52:54:00:ab:cd:02", ["10.2.0.7/16"], "10.2.0.1", metric=102)
WANT2_IN = Desired("52:54:00:ab:cd:02", "10.2.0.7", gateway="10.2.0.1", mask="255.255.0.0")
INTERVAL = 7
NETSH_LINE = re.compile(r"^  (c:\\windows\\system32\\netsh\.exe .*)$", re.M)


def text_facts(text):
    """{mac: (name, in effect, commands)} from the plan's text."""
    facts, mac = {}, None
    for line in text.splitlines():
        listed = re.match(r'^adapter (\S+) "(.*)": ', line)
        if listed:
            mac = listed.group(1)
            facts[mac] = (listed.group(2), True, [])
        elif mac and line.startswith("  not in effect"):
            facts[mac] = (facts[mac][0], False, facts[mac][2])
        elif mac and NETSH_LINE.match(line):
            facts[mac][2].append(line[2:])
    return facts


def json_facts(data):
    return {a["mac"]: (a["name"], a["in_effect"], a["commands"]) for a in data.get("adapters", [])}


def plan(ck, lab, step, status):
    """--plan and --plan --json, each leaving no command, write, log line or
    COM1 line: the text, and the JSON parsed (None when it does not parse)."""
    before = lab.observe()
    lastrun = read_bytes(lab.prefix.lastrun)
    text = lab.wine([EXE, "--plan"])
    as_json = lab.wine([EXE, "--plan", "--json"])
    out = lab.observe()
    shown = text.stdout.decode("latin-1").replace("\r\n", "\n")
    ck.eq((text.returncode, as_json.returncode), (status, status), step + ": exit status of --plan, --json")
    ck.eq((out.commands, out.serial), ([], ""), step + ": no command, no COM1 line")
    ck.eq((out.log_text, out.ini, out.backup, read_bytes(lab.prefix.lastrun)),
          (before.log_text, before.ini, before.backup, lastrun), step + ": no log line, no file written")
    try:
        data = json.loads(as_json.stdout.decode("utf-8"))
    except ValueError as e:
        ck.true(False, step + ": --json parses", str(e))
        return shown, None
    ck.eq(data.get("format"), 1, step + ": JSON format")
    ck.eq(json_facts(data), text_facts(shown), step + ": JSON tells what the text tells")
    return shown, data


def operator_asks(env):
    """--plan gives the next run's netsh lines and changes nothing; --status shows the last run and the service."""
    ck = Checker("operator_asks")
    with new_lab(env, "operator") as lab:
        lab.add(MAIN, ETH1, ETH2_IN)
        lab.serve(metadata_tree([WANT1, WANT2_IN]))
        lab.files(STANDARD_INI)
        install_copy(lab, env.exe)
        try:
            installed = lab.wine([EXE, "--install-service", "--interval", str(INTERVAL)])
            ck.eq(installed.returncode, 0, "service installed")
            text, _ = plan(ck, lab, "out of date", 1)
            planned = NETSH_LINE.findall(text)
            ck.true('52:54:00:ab:cd:02 "eth2": addresses 10.2.0.7' in text and "\n  in effect\n" in text,
                    "eth2 in effect", text)
            run = lab.run()
            env.show(ck, run)
            ck.eq(planned, [c.line for c in run.commands if "netsh" in c.line], "the plan's netsh lines are the run's")
            ck.true(len(planned) == 1, "one netsh line planned", repr(planned))
            plan(ck, lab, "after the run", 0)

            # A gateway a run refuses: the adapter left out, and the run fails.
            bad = Desired(WANT1.mac, WANT1.primary, gateway="10.1.0.x")
            lab.serve(metadata_tree([bad, WANT2_IN]))
            text, _ = plan(ck, lab, "refused answer", 1)
            ck.true("left out: 52:54:00:ab:cd:01: its gateway is not an IPv4 address" in text, "left out, and why", text)
            lab.run()
            status = lab.wine([EXE, "--status"])
            shown = status.stdout.decode("latin-1").replace("\r\n", "\n")
            ck.eq(status.returncode, 1, "--status after a failed run")
            ck.true("\nclosing line: %s\n" % FAIL_LINE in shown, "--status shows the closing line", shown)
            ck.true("\nservice: stopped, interval %d s\n" % INTERVAL in shown, "--status shows the interval", shown)
            as_json = lab.wine([EXE, "--status", "--json"])
            data = json.loads(as_json.stdout.decode("utf-8") or "{}")
            ck.eq((as_json.returncode, data.get("service"), (data.get("last_run") or {}).get("closing_line")),
                  (1, {"state": "stopped", "interval_seconds": INTERVAL, "error": None}, FAIL_LINE),
                  "--status --json tells the same")

            # Nothing answers: it cannot tell, and says which way the route goes.
            lab.server.stop()
            lab.server = None
            text, _ = plan(ck, lab, "no answer", 3)
            ck.true("route to the metadata service: a run adds it through 10.0.0.1" in text and "cannot tell: " in text,
                    "cannot tell, and the route's gateway", text)
        finally:
            removed = lab.wine([EXE, "--remove-service"])
        ck.eq(removed.returncode, 0, "service removed")
    return [ck]
