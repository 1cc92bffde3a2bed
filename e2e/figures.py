#!/usr/bin/env python3
"""Measure addrsmith.exe under Wine and print the figures as Markdown.

    figures.py [--exe PATH | --build-dir DIR] [--repeat N]

Everything runs in one namespace against the same nginx, with one Wine
server kept warm (`wineserver -p`), so Wine's own start-up is left out.
Each round times, one after the other:

  1. the trivial program (return 0): what starting any program costs;
  2. a program that starts the two children every run of the tool starts,
     the `route` double and the command interpreter behind "pause";
  3. a program that makes the tool's 14 fetches with the tool's own fetch
     code (WinHTTP, a session each);
  4. a program that makes the two adapter-table queries of a run;
  5. the tool itself, with the settings already in effect and with
     changes to apply.

The floor is what a run cannot do without: (2) + (3) + (4), less the two
extra program starts, 2 x (1). Times are medians over N rounds. Then the
late adapter: one adapter attached 4 s after the start, timed from its
appearance to the run's closing line; and the late service: the metadata
address missing for the first 4 s, timed from its return to the closing line;
and the busy service: every request answered 503 for the first 4 s, timed
from its first normal answer to the closing line. Then larger machines of 2, 15 and 63 secondary adapters, each in a namespace
of its own with the same rounds (the fetch yardstick opening that machine's
2 + 4N sessions), at most three rounds each: how the run and its floor grow
with N.
"""
import argparse
import os
import statistics
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from e2elib import cleanup, program, wine  # noqa: E402
from e2elib.checks import parse_ini  # noqa: E402
from e2elib.env import Env, add_arguments  # noqa: E402
from e2elib.lab import MAIN, STANDARD_INI, Desired, Lab, metadata_tree  # noqa: E402
from e2elib.machine import METADATA_ADDRESS, Adapter, mask_to_prefix  # noqa: E402
from e2elib.scenarios.common import ETH1, WANT1, secondaries  # noqa: E402
from e2elib.scenarios.service import EXE, INTERVAL, install_copy, service_pid, wait_for_blocks  # noqa: E402

# The three secondary adapters as they start (stale) and as the service
# wants them.
SECONDARIES = [
    (Adapter("eth1", "52:54:00:ab:cd:01", ["10.1.0.99/24"], "10.1.0.254", metric=101),
     Desired("52:54:00:ab:cd:01", "10.1.0.5", gateway="10.1.0.1")),
    (Adapter("eth2", "52:54:00:ab:cd:02", ["10.2.0.50/24"], None, metric=102),
     Desired("52:54:00:ab:cd:02", "10.2.0.7", ["10.2.0.7", "10.2.0.8", "10.2.0.9"], gateway="10.2.0.1")),
    (Adapter("eth3", "52:54:00:ab:cd:03", ["10.3.0.99/24"], "10.3.0.254", metric=103),
     Desired("52:54:00:ab:cd:03", "10.3.0.7", gateway="10.3.0.1")),
]
LATE = "eth2"          # the adapter attached during the late-adapter runs
LATE_AFTER = 4.0       # seconds after the start
GROWTH = (2, 15, 63)   # secondary adapters of the machines that show growth
GROWTH_ROUNDS = 3      # at most, per machine: a round with 63 takes about 15 s


def bare(adapter):
    """The adapter as plugged in, with nothing on it."""
    return Adapter(adapter.name, adapter.mac, [], None, metric=adapter.metric)


def set_adapters(lab, pairs, in_effect):
    """Put the secondary adapters either as the service wants them or as
    they start (stale)."""
    for adapter, want in pairs:
        dev = adapter.name
        if not lab.machine.has_link(dev):
            lab.add(bare(adapter))
        lab.machine.ip("addr", "flush", "dev", dev)
        if in_effect:
            for ip in want.ip_list():
                lab.machine.ip("addr", "add", "%s/%d" % (ip, mask_to_prefix(want.mask)), "dev", dev)
            lab.machine.set_default_route(dev, want.gateway)
        else:
            for address in adapter.addresses:
                lab.machine.ip("addr", "add", address, "dev", dev)
            lab.machine.ip("route", "flush", "exact", "0.0.0.0/0", "dev", dev, check=False)
            if adapter.gateway:
                lab.machine.set_default_route(dev, adapter.gateway)
    lab.machine.ip("route", "del", "169.254.0.0/17", check=False)


class Timed:
    """One yardstick program, run on a pseudo-terminal in the lab's namespace."""

    def __init__(self, lab, exe, args=(), pause=False):
        self.lab = lab
        self.argv = lab.machine.exec_argv(["wine", exe] + list(args))
        self.pause = pause
        self.seconds, self.rss, self.requests, self.commands = [], [], [], []

    def run(self):
        requests = len(self.lab.server.requests())
        commands = len(self.lab.spool.snapshot())
        run = wine.run_on_pty(self.argv, self.lab.prefix.env(), 60,
                              answer_when=(b"Press any key",) if self.pause else ())
        self.lab.spool.wait_idle(quiet=0.1)
        if run.timed_out or run.exit_code != 0:
            raise RuntimeError("%s: exit %s%s\n%s" % (self.argv[-1], run.exit_code,
                                                     " (timed out)" if run.timed_out else "", run.text))
        self.seconds.append(run.seconds)
        self.rss.append(run.vm_hwm_kib or run.peak_rss_kib)
        self.requests.append(len(self.lab.server.requests()) - requests)
        self.commands.append(len(self.lab.spool.snapshot()) - commands)


class ToolRuns:
    """addrsmith.exe runs on a machine put in a given state before each."""

    def __init__(self, lab, pairs, in_effect):
        self.lab = lab
        self.pairs = pairs
        self.in_effect = in_effect
        self.seconds, self.rss, self.requests, self.commands = [], [], [], []

    def run(self):
        set_adapters(self.lab, self.pairs, self.in_effect)
        self.lab.files(STANDARD_INI)
        # Counted here: the yardsticks' requests and commands come between.
        requests = len(self.lab.server.requests())
        commands = len(self.lab.spool.snapshot())
        out = self.lab.run()
        # Every adapter saved, beside the sections the file starts with.
        sections = len(parse_ini((out.ini or b"").decode("latin-1")))
        if program.SUCCESS_LINE not in out.console or sections != len(parse_ini(STANDARD_INI)) + len(self.pairs):
            raise RuntimeError("run failed (exit %s%s, %.1f s, %d sections saved): %r\n%s" % (
                out.pty.exit_code, ", timed out" if out.pty.timed_out else "", out.seconds, sections,
                out.console, "\n".join(out.block)))
        self.seconds.append(out.seconds)
        self.rss.append(out.pty.vm_hwm_kib or out.pty.peak_rss_kib)
        self.requests.append(len(self.lab.server.requests()) - requests)
        self.commands.append(len(self.lab.spool.snapshot()) - commands)


def warm_server(lab):
    """A new Wine server in the lab's namespace, kept running between runs
    (`wineserver -p`), its services started by a first program."""
    lab.prefix.kill_server()
    lab.start_services()


def measure(lab, pairs, repeat, label):
    """The yardsticks and the tool on the lab's machine, `repeat` rounds:
    (trivial, children, sessions, tables, in effect, changes)."""
    d = lab.doubles
    wants = [want for _, want in pairs]
    lab.serve(metadata_tree(wants))
    urls = [program.METADATA_URL + path for path in program.fetch_paths(*wants)]
    warm_server(lab)
    measured = (Timed(lab, d["trivial.exe"]), Timed(lab, d["two_children.exe"], pause=True),
                Timed(lab, d["winhttp_sessions.exe"], urls), Timed(lab, d["adapter_table.exe"]),
                ToolRuns(lab, pairs, True), ToolRuns(lab, pairs, False))
    for n in range(repeat):
        print("measuring: %s, round %d of %d ..." % (label, n + 1, repeat), file=sys.stderr)
        for what in measured:  # one of each per round: drift hits them alike
            what.run()
    return measured


def floor_of(trivial, children, sessions, tables):
    t1, t2, t3, t4 = (statistics.median(x.seconds) for x in (trivial, children, sessions, tables))
    return t2 + t3 + t4 - 2 * t1


def late_adapter(lab):
    """One run with LATE attached LATE_AFTER s after the start: the seconds
    from its appearance to the closing line, and the run's retry count."""
    set_adapters(lab, SECONDARIES, True)
    lab.machine.ip("link", "del", LATE)
    late = bare([adapter for adapter, _ in SECONDARIES if adapter.name == LATE][0])
    # A Wine server goes on listing an adapter that has gone (no addresses,
    # same hardware address): a new one, kept warm, forgets it.
    warm_server(lab)
    lab.files(STANDARD_INI)
    out, added = lab.run_acting_after(LATE_AFTER, lambda lab: lab.add(late), timeout=120)
    after = closed_after(out, added, "late-adapter")
    retries = sum(1 for line in out.block if line.startswith("retry find adapters"))
    return after, retries, out.seconds


def late_service(lab):
    """One run with the metadata address missing for its first LATE_AFTER s,
    as before the network is up: seconds from the address's return to the
    closing line, and the whole run."""
    set_adapters(lab, SECONDARIES, True)
    lab.files(STANDARD_INI)
    metadata_address(lab, "del")
    out, back = lab.run_acting_after(LATE_AFTER, lambda lab: metadata_address(lab, "add"), timeout=180)
    if back is None:
        metadata_address(lab, "add")
    return closed_after(out, back, "late-service"), out.seconds


def busy_service(lab):
    """One run against a service that answers every request 503 for the first
    LATE_AFTER s after the run's first request, as at a mass boot: seconds
    from its first normal answer to the closing line, and the whole run."""
    set_adapters(lab, SECONDARIES, True)
    lab.files(STANDARD_INI)
    tree = metadata_tree([want for _, want in SECONDARIES])
    tree["*"] = {"busy": [[LATE_AFTER, 503]]}
    lab.serve(tree, scripted=True)  # afresh: the busy time counts from its first request
    out = lab.run(timeout=180)
    normal = out.requests[0]["t"] + LATE_AFTER if out.requests else None
    return closed_after(out, normal, "busy-service"), out.seconds


def service_figures(env, repeat, checks):
    """The service (interval INTERVAL) on the main adapter and eth1: seconds
    from an adapter's attach (listed at once) and from an address added on
    the metadata service to the saved file holding it; a quiet check's
    requests and milliseconds, the peak memory after 100 and `checks` checks;
    how long `net stop` takes: idle, then during a check whose answer never
    comes (`repeat` times)."""
    with Lab("figures-service", env.prefix, env.exe, env.workdir) as lab:
        lab.add(MAIN, ETH1)
        lab.serve(metadata_tree([WANT1]))
        lab.files(STANDARD_INI)
        install_copy(lab, env.exe)
        try:
            lab.wine([EXE, "--install-service", "--interval", str(INTERVAL)])
            lab.wine(["net", "start", "addrsmith"])
            wait_for_blocks(lab, 1, 60)
            attach, change, wanted = [], [], [WANT1]
            for n in range(repeat):
                print("measuring: the service, round %d of %d ..." % (n + 1, repeat), file=sys.stderr)
                # A new adapter each time: Wine goes on listing one that has gone.
                mac = "52:54:00:ab:ce:%02x" % (0x40 + n)
                wanted.append(Desired(mac, "10.%d.0.5" % (40 + n), gateway="10.%d.0.1" % (40 + n)))
                lab.serve(metadata_tree(wanted))
                attach.append(saved_after(lab, lambda: lab.add(Adapter("new%d" % n, mac, [], None, metric=140 + n)), mac))
                more = Desired(WANT1.mac, WANT1.primary, [WANT1.primary, "10.1.0.%d" % (6 + n)], gateway="10.1.0.1")
                change.append(saved_after(lab, lambda: lab.serve(metadata_tree([more] + wanted[1:])), more.ips[-1]))
            lab.observe()
            memory, requests, quiet = {}, [], []
            while len(memory) < len({100, checks}):
                time.sleep(INTERVAL)
                requests += lab.observe().requests
                # A check is the requests from one of the main adapter's to the next.
                starts = [i for i, r in enumerate(requests) if r["path"] == program.MAC_PATH] + [len(requests)]
                quiet = [requests[a:b] for a, b in zip(starts, starts[1:])]
                for count in (100, checks):
                    if len(quiet) >= count and count not in memory:
                        memory[count] = vm_hwm(service_pid(lab))
            stopped = [timed_stop(lab)] + stalled_stops(lab, wanted, repeat)
        finally:
            lab.wine([EXE, "--remove-service"])
    per_check = [1000 * (c[-1]["t"] - c[0]["t"]) for c in quiet if len(c) == 2 + 4 * len(wanted)]
    return attach, change, (len(wanted), per_check, memory), stopped


def timed_stop(lab):
    """Seconds from `net stop addrsmith` to the service's process gone."""
    asked = time.time()
    lab.wine(["net", "stop", "addrsmith"])
    while service_pid(lab):
        time.sleep(0.05)
    return time.time() - asked


def stalled_stops(lab, wanted, repeat):
    """`timed_stop`s, each of the service started again and stopped while a
    check waits for an answer that the metadata service never sends."""
    stops = []
    for n in range(repeat):
        lab.serve(metadata_tree(wanted))
        lab.wine(["net", "start", "addrsmith"])
        wait_for_blocks(lab, len(lab.observe().blocks) + 1, 60)
        lab.serve(dict(metadata_tree(wanted), **{program.MAC_PATH: {"hang": True}}), scripted=True)
        while not any(r["hang"] for r in lab.server.requests()):
            time.sleep(0.05)
        stops.append(timed_stop(lab))
    return stops


def saved_after(lab, act, text):
    """Seconds from `act` to the saved file holding `text`."""
    start = time.time()
    act()
    while text.upper() not in (lab.observe().ini or b"").decode("latin-1").upper():
        if time.time() - start > 60:
            raise RuntimeError("the service did not save %s within 60 s" % text)
        time.sleep(0.05)
    return time.time() - start


def vm_hwm(pid):
    with open("/proc/%d/status" % pid) as f:
        return int([line.split()[1] for line in f if line.startswith("VmHWM:")][0])


def metadata_address(lab, verb):
    lab.machine.ip("addr", verb, METADATA_ADDRESS + "/32", "dev", "lo")


def closed_after(out, event_at, what):
    """Seconds from the event to the run's closing line; a run that failed,
    or ended before the event, has no figure."""
    if program.SUCCESS_LINE not in out.console or event_at is None or out.closed_at is None:
        raise RuntimeError("%s run failed (exit %s%s, %.1f s, event: %s): %r\n%s" % (
            what, out.pty.exit_code, ", timed out" if out.pty.timed_out else "", out.seconds,
            event_at is not None, out.console, "\n".join(out.block)))
    return out.closed_at - event_at


def spread(values):
    """The median, then the lowest and highest, to show how steady it was."""
    return "%.2f s (%.2f to %.2f)" % (statistics.median(values), min(values), max(values))


def counts(values):
    return "/".join(map(str, sorted(set(values))))


def main_with(args):
    env = Env(args, log=lambda text: print(text, file=sys.stderr))
    with Lab("figures", env.prefix, env.exe, env.workdir) as lab:
        lab.doubles = env.doubles
        lab.add(MAIN, *[bare(adapter) for adapter, _ in SECONDARIES])
        trivial, children, sessions, tables, in_effect, changes = measure(
            lab, SECONDARIES, args.repeat, "3 adapters")
        runs = {}
        for label, one_run in (("late adapter", late_adapter), ("late metadata service", late_service),
                               ("busy metadata service", busy_service)):
            runs[label] = []
            for n in range(args.repeat):
                print("measuring: %s, run %d of %d ..." % (label, n + 1, args.repeat), file=sys.stderr)
                runs[label].append(one_run(lab))
        late, late_services, busy_services = runs.values()
        lab.prefix.kill_server()
    growth = []
    for count in GROWTH:
        pairs = secondaries(count)
        with Lab("figures%d" % count, env.prefix, env.exe, env.workdir) as lab:
            lab.doubles = env.doubles
            lab.add(MAIN, *[bare(adapter) for adapter, _ in pairs])
            growth.append((count, measure(lab, pairs, min(args.repeat, GROWTH_ROUNDS), "%d adapters" % count)))
            lab.prefix.kill_server()
    service_attach, service_change, (adapters, per_check, memory), stopped = service_figures(env, args.repeat, args.service_checks)

    t1 = statistics.median(trivial.seconds)
    floor = floor_of(trivial, children, sessions, tables)
    lines = ["| Run (warm Wine server, 3 secondary adapters) | time (min to max) | x trivial | x floor "
             "| HTTP requests | commands |",
             "|---|---|---|---|---|---|"]

    def row(name, what, with_floor=False):
        t = statistics.median(what.seconds)
        lines.append("| %s | %s | %.1f x | %s | %s | %s |" % (
            name, spread(what.seconds), t / t1, "%.2f x" % (t / floor) if with_floor else "",
            counts(what.requests), counts(what.commands)))

    row("1. trivial program (`return 0`)", trivial)
    row("2. starts `route` and \"pause\" (`cmd /c pause`)", children)
    row("3. 14 WinHTTP sessions, one fetch each", sessions)
    row("4. two adapter-table queries", tables)
    lines.append("| **floor** = 2 + 3 + 4 - 2 x 1 | %.2f s | %.1f x | 1.00 x | | |" % (floor, floor / t1))
    row("5. addrsmith.exe, settings already in effect", in_effect, True)
    row("5. addrsmith.exe, changes to apply", changes, True)
    late_after = [a for a, _, _ in late]
    lines.append("")
    lines.append("| Late adapter (attached %.0f s after the start) | |" % LATE_AFTER)
    lines.append("|---|---|")
    lines.append("| from its appearance to the closing line | %s |" % spread(late_after))
    lines.append("| whole run, start to exit | %s |" % spread([s for _, _, s in late]))
    lines.append("| retries logged | %s |" % counts([r for _, r, _ in late]))
    for title, since, service_runs in (
            ("Late metadata service (its address back %.0f s after the start)", "its return", late_services),
            ("Busy metadata service (every request answered 503 for %.0f s)", "its first normal answer",
             busy_services)):
        lines += ["", "| %s | |" % (title % LATE_AFTER), "|---|---|",
                  "| from %s to the closing line | %s |" % (since, spread([a for a, _ in service_runs])),
                  "| whole run, start to exit | %s |" % spread([s for _, s in service_runs])]

    lines.append("")
    lines.append("| Secondary adapters N | HTTP requests (2 + 4N) | commands | floor "
                 "| settings already in effect | x floor | changes to apply | x floor | peak memory |")
    lines.append("|---|---|---|---|---|---|---|---|---|")
    lines_at = {}
    for count, (g_trivial, g_children, g_sessions, g_tables, g_effect, g_changes) in growth:
        g_floor = floor_of(g_trivial, g_children, g_sessions, g_tables)
        effect, change = statistics.median(g_effect.seconds), statistics.median(g_changes.seconds)
        lines_at[count] = (g_floor, effect, change)
        lines.append("| %d | %s | %s | %.2f s | %s | %.2f x | %s | %.2f x | %.1f MiB |" % (
            count, counts(g_effect.requests + g_changes.requests), counts(g_changes.commands), g_floor,
            spread(g_effect.seconds), effect / g_floor, spread(g_changes.seconds), change / g_floor,
            max(g_effect.rss + g_changes.rss) / 1024.0))
    low, mid, high = GROWTH
    slopes = [(lines_at[high][i] - lines_at[low][i]) / (high - low) for i in range(3)]
    # How far the middle machine lies off the straight line through the others.
    off = [lines_at[mid][i] - (lines_at[low][i] + slopes[i] * (mid - low)) for i in range(3)]

    lines += ["", "| The service (interval %d s) | |" % INTERVAL, "|---|---|",
              "| an adapter attached and listed at once, to the saved file holding it | %s |" % spread(service_attach),
              "| an address added on the metadata service, to the saved file holding it | %s |" % spread(service_change),
              "| a quiet check (%d adapters listed): requests, time | %d, %s ms (%.0f to %.0f) |" % (
                  adapters, 2 + 4 * adapters, "%.0f" % statistics.median(per_check), min(per_check), max(per_check)),
              "| peak memory of the service after %s checks | %s |" % (" / ".join(map(str, sorted(memory))),
                                                                        " / ".join("%.1f MiB" % (memory[k] / 1024.0)
                                                                                   for k in sorted(memory))),
              "| `net stop` to the process gone | %.2f s |" % stopped[0],
              "| `net stop` during a check whose answer never comes, to the process gone | %s |" % spread(stopped[1:])]

    size = os.path.getsize(env.exe)
    lines.append("")
    lines.append("| Program | |")
    lines.append("|---|---|")
    lines.append("| addrsmith.exe size | %d bytes (%.1f MiB) |" % (size, size / 1048576.0))
    lines.append("| imported DLLs | %s |" % ", ".join(wine.imported_dlls(env.exe)))
    lines.append("| peak memory, Wine process running addrsmith.exe | %.1f MiB |" % (
        max(in_effect.rss + changes.rss) / 1024.0))
    lines.append("| peak memory, Wine process running the trivial program | %.1f MiB |" % (
        max(trivial.rss) / 1024.0))
    lines.append("")
    lines.append(
        "Medians of %d rounds, lowest and highest in brackets; each round runs 1 to 5 once each, one after the other, on a "
        "pseudo-terminal in the same network namespace, against the same nginx, with one Wine server "
        "kept running (`wineserver -p`); \"pause\" is answered as soon as its prompt shows. "
        "In 5 the three secondary adapters are either as the service describes them (the tool "
        "changes nothing) or stale (one set-address command each and two added addresses: six "
        "commands with `route`). The floor is what such a run cannot do without: the two programs "
        "it starts, its 14 fetches and its two adapter-table queries, less the two extra program "
        "starts the yardsticks pay; it counts no netsh command. The late adapter: the other "
        "two in effect, the adapter attached %.0f s after the start; time from its appearance to "
        "the closing line, over %d runs. The late service: the metadata address missing for the first %.0f s "
        "(a connection attempt then fails after about 3 s of unanswered address resolution), timed from "
        "its return to the closing line, over %d runs. The busy service: every request answered 503 "
        "(nginx's own page) for the first %.0f s after the run's first request, by the scripted server; "
        "timed from then to the closing line, over %d runs. Peak memory is the peak resident size of "
        "the process Wine ran the program in, Wine's own libraries included: for addrsmith.exe its "
        "VmHWM from /proc, last read while it waits in \"pause\"; for the trivial program, which ends "
        "too soon to sample, ru_maxrss from wait4. Requests and commands are counted by the "
        "harness's nginx access log and command doubles." % (args.repeat, LATE_AFTER, args.repeat,
                                                               LATE_AFTER, args.repeat, LATE_AFTER, args.repeat))
    lines.append("")
    lines.append(
        "Larger machines: the main adapter and N secondary ones (veth pairs eth1 to ethN, one "
        "address each, every third two in a /16), each machine in a namespace of its own with its "
        "own warm Wine server, %d rounds of the same runs; the fetch yardstick opens the run's "
        "2 + 4N sessions and the adapter-table queries see all N + 1 adapters. Changes to apply: "
        "a set-address command per adapter, an added address for every third, and `route`. "
        "From N = %d to N = %d each adapter adds %.0f ms to the floor, %.0f ms to a run with the "
        "settings already in effect and %.0f ms to one with changes to apply; at N = %d the runs "
        "lie %+.0f ms and %+.0f ms off the straight line through the other two (the floor %+.0f ms)." % (
            min(args.repeat, GROWTH_ROUNDS), low, high, slopes[0] * 1000, slopes[1] * 1000, slopes[2] * 1000,
            mid, off[1] * 1000, off[2] * 1000, off[0] * 1000))
    print("\n".join(lines))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_arguments(parser)
    parser.add_argument("--repeat", type=int, default=5, help="rounds per measurement (median)")
    parser.add_argument("--service-checks", type=int, default=100, help="quiet checks before the service's memory is read again")
    args = parser.parse_args()
    try:
        return main_with(args)
    finally:
        cleanup.run_all()


if __name__ == "__main__":
    sys.exit(main())
