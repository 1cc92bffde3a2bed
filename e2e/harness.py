#!/usr/bin/env python3
"""End-to-end harness for addrsmith.exe: Wine, network namespaces, doubles.

    harness.py demo      one run on a machine with three secondary adapters
    harness.py test      every scenario; ends with "N passed, M failed"
    harness.py figures   measurements, as Markdown (same as figures.py)
    harness.py list      the scenario names

Needs root, wine, iproute2 and x86_64-w64-mingw32-g++. The program is taken
from --exe / ADDRSMITH_EXE, or --build-dir / ADDRSMITH_BUILD_DIR.
"""
import argparse
import os
import re
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from e2elib import cleanup, program, server  # noqa: E402
from e2elib.env import Env, add_arguments, describe_run  # noqa: E402
from e2elib.lab import Desired, Lab, MAIN, STANDARD_INI, metadata_tree  # noqa: E402
from e2elib.machine import Adapter  # noqa: E402
from e2elib.scenarios import SCENARIOS  # noqa: E402


def heading(text):
    print("\n== %s ==" % text)


def cmd_demo(args):
    env = Env(args)
    secondaries = [
        (Adapter("eth1", "52:54:00:ab:cd:01", ["10.1.0.99/24"], "10.1.0.254", metric=101),
         Desired("52:54:00:ab:cd:01", "10.1.0.5", gateway="10.1.0.1")),
        (Adapter("eth2", "52:54:00:ab:cd:02", ["10.2.0.7/24"], None, metric=102),
         Desired("52:54:00:ab:cd:02", "10.2.0.7", ["10.2.0.7", "10.2.0.8", "10.2.0.9"], gateway="10.2.0.1")),
        (Adapter("eth3", "52:54:00:ab:cd:03", ["10.3.0.7/24"], "10.3.0.254", metric=103),
         Desired("52:54:00:ab:cd:03", "10.3.0.7", gateway="10.3.0.1")),
    ]
    with Lab("demo", env.prefix, env.exe, env.workdir) as lab:
        lab.add(MAIN, *[a for a, _ in secondaries])
        lab.serve(metadata_tree([d for _, d in secondaries]))
        lab.files(STANDARD_INI)
        heading("adapters before (ip -4 addr, routes)")
        print(lab.machine.show())
        heading("metadata service (%s, %s) says" % (lab.server.kind, server.ADDRESS))
        for _, d in secondaries:
            print("%s  ip=%s  mask=%s  gateway=%s" % (d.mac, ",".join(d.ip_list()), d.mask, d.gateway))
        out = lab.run()
        heading("commands the tool ran")
        for c in out.commands:
            print(c.line)
        heading("adapters after")
        print(lab.machine.show())
        heading("run log block (%s)" % program.LOG_PATH)
        print("\n".join(out.block).rstrip("\n"))
        heading("saved configuration written (%s)" % program.INI_PATH)
        print((out.ini or b"(none)").decode("latin-1").replace("\r\n", "\n").rstrip("\n"))
        heading("console")
        print(out.console.strip("\n"))
        heading("serial console (COM1)")
        print(out.serial.strip("\r\n"))
        print("\n(%d metadata requests, %d commands, %.1f s)" % (len(out.requests), len(out.commands), out.seconds))
    return 0


def machine_serial_sent(counts="/proc/tty/driver/serial"):
    """Bytes this machine's own first serial port has sent (tx: of line 0),
    or None where the count cannot be read."""
    try:
        with open(counts) as f:
            return int(re.search(r"^0:.*\btx:(\d+)", f.read(), re.M).group(1))
    except (OSError, AttributeError):
        return None


def cmd_test(args):
    # This machine's own serial port may be its console: nothing run here may
    # write to it, the prefix made by Env included.
    sent_before = machine_serial_sent()
    env = Env(args)
    wanted = set(args.only or [])
    passed = failed = 0
    started = time.time()
    for name, func in SCENARIOS:
        if wanted and name not in wanted:
            continue
        t0 = time.time()
        try:
            parts = func(env)
        except Exception as error:  # a broken scenario counts as failed, the rest still run
            import traceback
            traceback.print_exc()
            print("FAIL %-24s harness error: %s" % (name, error))
            failed += 1
            continue
        seconds = time.time() - t0
        for ck in parts:
            if ck.broken:
                failed += 1
                print("BROKEN %-22s the environment, not the program: %s  (%.1f s)" % (ck.name, ck.broken, seconds))
            elif ck.ok:
                passed += 1
                print("PASS %-24s %3d checks  (%.1f s)%s" % (ck.name, ck.passed, seconds,
                                                            "  [%s]" % ck.note if ck.note else ""))
            else:
                failed += 1
                print("FAIL %-24s %d of %d checks failed  (%.1f s)" % (
                    ck.name, len(ck.failures), len(ck.failures) + ck.passed, seconds))
                for failure in ck.failures:
                    print("     - " + failure)
                if ck.name in env.outcomes and not args.verbose:
                    print("     " + describe_run(env.outcomes[ck.name]).replace("\n", "\n     "))
            sys.stdout.flush()
    sent = [sent_before, machine_serial_sent()]
    if None in sent:
        print("SKIP machine_serial_port        no transmit count for this machine's serial port")
    else:
        passed, failed = (passed + 1, failed) if sent[0] == sent[1] else (passed, failed + 1)
        print("%s machine_serial_port        this machine's own serial port sent %d bytes"
              % ("PASS" if sent[0] == sent[1] else "FAIL", sent[1] - sent[0]))
    print("total time %.1f s" % (time.time() - started))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


def cmd_list(_args):
    for name, func in SCENARIOS:
        print("%-24s %s" % (name, (func.__doc__ or "").strip().split("\n")[0]))
    return 0


def cmd_figures(args):
    import figures
    return figures.main_with(args)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    for name, help_text in (("demo", "one demo run, shown in full"), ("test", "run every scenario"),
                            ("figures", "measure and print Markdown"), ("list", "list scenarios")):
        p = sub.add_parser(name, help=help_text)
        if name != "list":
            add_arguments(p)
        if name == "test":
            p.add_argument("only", nargs="*", help="run only these scenarios")
        if name == "figures":
            p.add_argument("--repeat", type=int, default=5, help="runs per measurement (median)")
            p.add_argument("--service-checks", type=int, default=100,
                           help="quiet checks before the service's memory is read again")
    args = parser.parse_args(argv)
    handler = {"demo": cmd_demo, "test": cmd_test, "figures": cmd_figures, "list": cmd_list}[args.command]
    try:
        return handler(args)
    finally:
        cleanup.run_all()


if __name__ == "__main__":
    sys.exit(main())
