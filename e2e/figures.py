#!/usr/bin/env python3
"""Measure addrsmith.exe under Wine and print the figures as Markdown.

    figures.py [--exe PATH | --build-dir DIR] [--repeat N]

Every time is a median over N runs on a pseudo-terminal, taken in the same
namespace as N starts of a trivial MinGW program (return 0), so the tool's
cost is given as a multiple of what Wine needs to start any program at all:
"warm" with the Wine server already running, "cold" after `wineserver -k`.
"""
import argparse
import os
import statistics
import subprocess
import sys

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from e2elib import cleanup, program, wine  # noqa: E402
from e2elib.env import Env, add_arguments  # noqa: E402
from e2elib.lab import MAIN, STANDARD_INI, Desired, Lab, metadata_tree  # noqa: E402
from e2elib.machine import Adapter  # noqa: E402

SECONDARIES = [
    ("eth1", "52:54:00:ab:cd:01", Desired("52:54:00:ab:cd:01", "10.1.0.5", gateway="10.1.0.1")),
    ("eth2", "52:54:00:ab:cd:02", Desired("52:54:00:ab:cd:02", "10.2.0.7", ["10.2.0.7", "10.2.0.8", "10.2.0.9"],
                                          gateway="10.2.0.1")),
    ("eth3", "52:54:00:ab:cd:03", Desired("52:54:00:ab:cd:03", "10.3.0.7", gateway="10.3.0.1")),
]
STALE = {"eth1": ("10.1.0.99/24", "10.1.0.254"), "eth2": ("10.2.0.50/24", None),
         "eth3": ("10.3.0.99/24", "10.3.0.254")}


def prefix_len(mask):
    return sum(bin(int(p)).count("1") for p in mask.split("."))


def set_adapters(lab, in_effect):
    """Put the three adapters either as the service wants them or stale."""
    for index, (dev, _mac, want) in enumerate(SECONDARIES):
        lab.machine.ip("addr", "flush", "dev", dev)
        if in_effect:
            for ip in want.ip_list():
                lab.machine.ip("addr", "add", "%s/%d" % (ip, prefix_len(want.mask)), "dev", dev)
            lab.machine.set_default_route(dev, want.gateway)
        else:
            address, gateway = STALE[dev]
            lab.machine.ip("addr", "add", address, "dev", dev)
            lab.machine.ip("route", "flush", "exact", "0.0.0.0/0", "dev", dev, check=False)
            if gateway:
                lab.machine.set_default_route(dev, gateway)
    lab.machine.ip("route", "del", "169.254.0.0/17", check=False)


def trivial_run(lab, env_doubles):
    argv = lab.machine.exec_argv(["wine", env_doubles["trivial.exe"]])
    return wine.run_on_pty(argv, lab.prefix.env(), 60, answer_when=())


def measure(lab, doubles, repeat, in_effect, cold):
    tool, trivial, requests, commands, rss_tool, rss_trivial = [], [], [], [], [], []
    if not cold:
        # Keep one Wine server (and its services) running for the warm runs.
        subprocess.run(lab.machine.exec_argv(["wineserver", "-p"]), env=lab.prefix.env(), check=True)
        trivial_run(lab, doubles)
    for _ in range(repeat):
        if cold:
            lab.prefix.kill_server()
        run = trivial_run(lab, doubles)
        trivial.append(run.seconds)
        rss_trivial.append(run.peak_rss_kib)
        set_adapters(lab, in_effect)
        lab.files(STANDARD_INI)
        if cold:
            lab.prefix.kill_server()
        out = lab.run()
        ok = program.SUCCESS_LINE in out.console
        if not ok:
            raise RuntimeError("run failed: %r\n%s" % (out.console, "\n".join(out.block)))
        tool.append(out.seconds)
        requests.append(len(out.requests))
        commands.append(len(out.commands))
        rss_tool.append(out.pty.vm_hwm_kib or out.pty.peak_rss_kib)
    lab.prefix.kill_server()
    return {"tool": statistics.median(tool), "trivial": statistics.median(trivial),
            "requests": sorted(set(requests)), "commands": sorted(set(commands)),
            "rss_tool": max(rss_tool), "rss_trivial": max(rss_trivial)}


def main_with(args):
    env = Env(args, log=lambda text: print(text, file=sys.stderr))
    results = {}
    with Lab("figures", env.prefix, env.exe, env.workdir) as lab:
        lab.add(MAIN, *[Adapter(dev, mac, [], None, metric=101 + i)
                        for i, (dev, mac, _) in enumerate(SECONDARIES)])
        lab.serve(metadata_tree([want for _, _, want in SECONDARIES]))
        for in_effect in (True, False):
            for cold in (False, True):
                print("measuring: %s, %s ..." % ("in effect" if in_effect else "changes",
                                                 "cold" if cold else "warm"), file=sys.stderr)
                results[(in_effect, cold)] = measure(lab, env.doubles, args.repeat, in_effect, cold)

    size = os.path.getsize(env.exe)
    dlls = wine.imported_dlls(env.exe)
    lines = []
    lines.append("| Run (3 secondary adapters) | Wine server | addrsmith.exe | trivial program | ratio | HTTP requests | commands |")
    lines.append("|---|---|---|---|---|---|---|")
    for in_effect in (True, False):
        for cold in (False, True):
            r = results[(in_effect, cold)]
            lines.append("| %s | %s | %.2f s | %.2f s | %.1f x | %s | %s |" % (
                "settings already in effect" if in_effect else "changes to apply",
                "cold" if cold else "warm", r["tool"], r["trivial"], r["tool"] / r["trivial"],
                "/".join(map(str, r["requests"])), "/".join(map(str, r["commands"]))))
    rss_tool = max(r["rss_tool"] for r in results.values())
    rss_trivial = max(r["rss_trivial"] for r in results.values())
    lines.append("")
    lines.append("| Program | |")
    lines.append("|---|---|")
    lines.append("| addrsmith.exe size | %d bytes (%.1f MiB) |" % (size, size / 1048576.0))
    lines.append("| imported DLLs | %s |" % ", ".join(dlls))
    lines.append("| peak memory, Wine process running addrsmith.exe | %.1f MiB |" % (rss_tool / 1024.0))
    lines.append("| peak memory, Wine process running a trivial program | %.1f MiB |" % (rss_trivial / 1024.0))
    lines.append("")
    lines.append("Times are medians of %d runs on a pseudo-terminal, \"pause\" answered at once; "
                 "\"warm\": the Wine server of the prefix already running, \"cold\": started by the run. "
                 "The ratio divides by the trivial MinGW program (`int main() { return 0; }`) started "
                 "the same way in the same namespace. Peak memory is the peak resident size of "
                 "the process Wine ran the program in, Wine's own libraries included: for addrsmith.exe "
                 "its VmHWM from /proc, last read while it waits in \"pause\" after all its work; for the "
                 "trivial program, which ends too soon to sample, ru_maxrss from wait4. HTTP requests and commands are "
                 "counted by the harness's metadata server and command doubles (the commands include "
                 "the `route add` of every run)." % args.repeat)
    print("\n".join(lines))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_arguments(parser)
    parser.add_argument("--repeat", type=int, default=5, help="runs per measurement (median)")
    args = parser.parse_args()
    try:
        return main_with(args)
    finally:
        cleanup.run_all()


if __name__ == "__main__":
    sys.exit(main())
