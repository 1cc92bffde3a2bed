"""The service: installed from a folder whose path has a space, it runs at
its start, then follows an adapter attached and listed, an address added and
removed, leaves everything alone while the metadata service is busy or lists
nothing and while nothing changes, and stops on request.
"""
import os
import re
import shutil
import time

from ..checks import Checker, section
from ..lab import STANDARD_INI, Desired, metadata_tree
from ..program import ROUTE_CMD, SERIAL_PREFIX, SUCCESS_LINE, add_command, commands_for, set_command
from .common import ETH2, WANT1, WANT2, new_lab, setup_one

EXE = r"C:\Program Files\addrsmith\addrsmith.exe"
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\addrsmith"
INTERVAL = 5
WANT1_MORE = Desired(WANT1.mac, WANT1.primary, [WANT1.primary, "10.1.0.6"], gateway=WANT1.gateway)


def wait_for_blocks(lab, count, timeout):
    """The state once the run log holds `count` whole blocks (or the time is up)."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        if len(re.findall(r"(?m)^end time .*\n\n", lab.log_now())) >= count:
            break
        time.sleep(0.2)
    return lab.observe()


def service_pid(lab):
    """The service's process in the lab's namespace, or None."""
    for pid in lab.machine.pids():
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if b"--service" in f.read():
                    return pid
        except OSError:
            pass
    return None


def expect_run(ck, out, step, reasons, commands, sections):
    """One more run of the service, for `reasons` (one of them), with these
    commands and the saved file holding these sections afterwards."""
    ck.true(out.block and any(r in out.block for r in reasons), step + ": why it ran", repr(out.block[:3]))
    ck.eq([c.line for c in out.commands], commands, step + ": commands")
    ck.true(re.fullmatch("%s%s\r\n" % (SERIAL_PREFIX, re.escape(SUCCESS_LINE)), out.serial),
            step + ": COM1 carries the closing line", repr(out.serial))
    ck.ini_holds(out.ini, STANDARD_INI.replace("\n", "\r\n").encode(), sections, step)


def expect_quiet(ck, lab, step, seconds, blocks):
    """Nothing happens for `seconds`: no block, command, write or line, while
    the service is still asked (every check's requests)."""
    before = lab.observe()
    time.sleep(seconds)
    out = lab.observe()
    ck.eq((len(out.blocks), out.commands, out.serial), (blocks, [], ""), step + ": no run, command or line")
    ck.eq((out.ini, out.backup), (before.ini, before.backup), step + ": saved file and backup untouched")
    ck.true(len(out.requests) >= seconds // (INTERVAL + 1), step + ": the service is still asked",
            "%d requests" % len(out.requests))
    return out


def service_follows_changes(env):
    ck = Checker("service_follows_changes")
    with new_lab(env, "service") as lab:
        setup_one(lab)
        folder = os.path.join(lab.prefix.path, "drive_c", "Program Files", "addrsmith")
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(env.exe, os.path.join(folder, "addrsmith.exe"))
        lab.start_services()
        try:
            installed = lab.wine([EXE, "--install-service", "--interval", str(INTERVAL)])
            ck.eq((installed.returncode, installed.stdout.decode("latin-1").split(":")[0]),
                  (0, "service addrsmith installed (starts at the next boot, or now with"), "install line")
            ck.eq(lab.registry_values(SERVICE_KEY).get("ImagePath", [None])[-1],
                  '"%s" --service --interval %d' % (EXE, INTERVAL), "image path quoted")
            lab.wine(["net", "start", "addrsmith"])
            out = wait_for_blocks(lab, 1, 20)
            env.show(ck, out)
            sections = [section("52:54:00:AB:CD:01", ["10.1.0.5"], "10.1.0.1", "255.255.255.0")]
            expect_run(ck, out, "started", ["run by the service: it started"],
                       [ROUTE_CMD] + commands_for("eth1", WANT1), sections)

            # An adapter attached and listed at once.
            lab.serve(metadata_tree([WANT1, WANT2]))
            lab.add(ETH2)
            out = wait_for_blocks(lab, 2, 60)
            sections.append(section("52:54:00:AB:CD:02", ["10.2.0.7", "10.2.0.8", "10.2.0.9"], "10.2.0.1",
                                    "255.255.0.0"))
            expect_run(ck, out, "attached", ["run by the service: adapter 52-54-00-ab-cd-02 appeared and is listed",
                                             "run by the service: the metadata changed"],
                       [ROUTE_CMD] + commands_for("eth2", WANT2), sections)
            ck.note = out.block[2] if len(out.block) > 2 else ""

            # An address added on the service, then taken away again.
            lab.serve(metadata_tree([WANT1_MORE, WANT2]))
            out = wait_for_blocks(lab, 3, 60)
            sections[0] = section("52:54:00:AB:CD:01", ["10.1.0.5", "10.1.0.6"], "10.1.0.1", "255.255.255.0")
            expect_run(ck, out, "address added", ["run by the service: the metadata changed"],
                       [ROUTE_CMD] + commands_for("eth1", WANT1_MORE), sections)
            lab.serve(metadata_tree([WANT1, WANT2]))
            out = wait_for_blocks(lab, 4, 60)
            sections[0] = section("52:54:00:AB:CD:01", ["10.1.0.5"], "10.1.0.1", "255.255.255.0")
            expect_run(ck, out, "address removed", ["run by the service: the metadata changed"],
                       [ROUTE_CMD] + commands_for("eth1", WANT1), sections)
            ck.adapter(out, "eth1", ["10.1.0.5/24"], "10.1.0.1", 101)

            # Busy, then listing nothing, then unchanged: nothing at all.
            lab.serve(dict(metadata_tree([WANT1, WANT2]), **{"*": {"busy": [[600, 503]]}}), scripted=True)
            expect_quiet(ck, lab, "busy", 3 * INTERVAL, 4)
            lab.serve(metadata_tree([], listing=""))
            expect_quiet(ck, lab, "empty listing", 3 * INTERVAL, 4)
            lab.serve(metadata_tree([WANT1, WANT2]))
            out = expect_quiet(ck, lab, "unchanged", 3 * INTERVAL, 4)
            ck.eq(len(out.requests) % 10, 0, "a check asks 2 + 4N resources")
            ck.adapter(out, "eth2", ["10.2.0.7/16", "10.2.0.8/16", "10.2.0.9/16"], "10.2.0.1", 102)

            asked = time.time()
            lab.wine(["net", "stop", "addrsmith"])
            while time.time() - asked < 10 and service_pid(lab):
                time.sleep(0.05)
            ck.true(time.time() - asked < 5, "process gone within 5 s of the stop", "%.1f s" % (time.time() - asked))
            ck.true("STOPPED" in lab.wine(["sc", "query", "addrsmith"]).stdout.decode(), "service stopped")
        finally:
            removed = lab.wine([EXE, "--remove-service"])
        ck.eq((removed.returncode, removed.stdout.decode("latin-1").strip()),
              (0, "service addrsmith stopped and removed"), "remove line")
        ck.eq(lab.registry_values(SERVICE_KEY).get("ImagePath"), None, "service gone from the registry")
    return [ck]
