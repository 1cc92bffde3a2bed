"""The service: installed from a folder whose path has a space, it runs at
its start with nothing to configure (only the main adapter listed) and then
stays quiet, then follows an adapter listed, an adapter attached and listed,
an address added and removed, leaves everything alone while the metadata
service is busy or lists nothing and while nothing changes, and stops on
request, also while a check waits for an answer that never comes.
"""
import os
import re
import shutil
import time

from .. import spool
from ..checks import Checker, section
from ..lab import STANDARD_INI, Desired, metadata_tree, read_bytes
from ..program import MAC_PATH, NOTHING_LINE, ROUTE_CMD, SERIAL_PREFIX, SUCCESS_LINE, commands_for
from .common import ETH2, WANT1, WANT2, new_lab, setup_one

EXE = r"C:\Program Files\addrsmith\addrsmith.exe"
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\addrsmith"
INTERVAL = 5
WANT1_MORE = Desired(WANT1.mac, WANT1.primary, [WANT1.primary, "10.1.0.6"], gateway=WANT1.gateway)
CHANGED = "run by the service: the metadata changed"


def eth1_section(*ips):
    return section("52:54:00:AB:CD:01", list(ips), "10.1.0.1", "255.255.255.0")


ETH2_SECTION = section("52:54:00:AB:CD:02", ["10.2.0.7", "10.2.0.8", "10.2.0.9"], "10.2.0.1", "255.255.0.0")


def install_copy(lab, exe):
    """The program copied to C:\\Program Files\\addrsmith, and a Wine server
    with its service manager in the lab's namespace."""
    folder = os.path.join(lab.prefix.path, "drive_c", "Program Files", "addrsmith")
    os.makedirs(folder, exist_ok=True)
    shutil.copyfile(exe, os.path.join(folder, "addrsmith.exe"))
    lab.start_services()


def until(condition, seconds, step=0.1):
    """Asks `condition` until it holds or `seconds` are up; its last answer."""
    deadline = time.time() + seconds
    while True:
        held = condition()
        if held or time.time() >= deadline:
            return held
        time.sleep(step)


def wait_for_blocks(lab, count, timeout):
    """The state once the run log holds `count` whole blocks (or the time is up)."""
    until(lambda: len(re.findall(r"(?m)^end time .*\n\n", lab.log_now())) >= count, timeout, 0.2)
    return lab.observe()


def service_pid(lab):
    """The service's process in the lab's namespace, or None."""
    for pid in lab.machine.pids():
        if b"--service" in (read_bytes("/proc/%d/cmdline" % pid) or b""):
            return pid
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
    """The service follows an attached adapter and an address added and removed, changes nothing for bad answers."""
    ck = Checker("service_follows_changes")
    with new_lab(env, "service") as lab:
        setup_one(lab, metadata_tree([]))  # eth1 there, only the main adapter listed
        install_copy(lab, env.exe)
        try:
            installed = lab.wine([EXE, "--install-service"])
            ck.eq((installed.returncode, installed.stdout.decode("latin-1").split(":")[0]),
                  (0, "service addrsmith installed (starts at the next boot, or now with"), "install line")
            ck.eq(lab.registry_values(SERVICE_KEY).get("ImagePath", [None])[-1], '"%s" --service' % EXE,
                  "image path quoted")
            # Again, with an interval: updated in place; from a folder every
            # account may change (0777 under Wine): refused, nothing changed.
            opened = os.path.join(lab.prefix.path, "drive_c", "open")
            os.makedirs(opened, exist_ok=True)
            os.chmod(opened, 0o777)
            shutil.copyfile(env.exe, os.path.join(opened, "addrsmith.exe"))
            for argv, status, line in (([EXE, "--install-service", "--interval", str(INTERVAL)], 0, "service addrsmith updated"),
                                       ([r"C:\open\addrsmith.exe", "--install-service"], 2,
                                        r"service addrsmith not installed: C:\open can be changed by an account other")):
                again = lab.wine(argv)
                ck.eq((again.returncode, again.stdout.decode("latin-1")[:len(line)],
                       lab.registry_values(SERVICE_KEY).get("ImagePath", [None])[-1]),
                      (status, line, '"%s" --service --interval %d' % (EXE, INTERVAL)), "installed again: " + line)
            lab.wine(["net", "start", "addrsmith"])
            out = wait_for_blocks(lab, 1, 60)
            env.show(ck, out)
            ck.true(re.fullmatch("%s%s\r\n" % (SERIAL_PREFIX, NOTHING_LINE), out.serial),
                    "started: nothing to configure", repr(out.serial))
            expect_quiet(ck, lab, "nothing to configure", 4 * INTERVAL, 1)  # 1.4.0 retried after 1 and 2 intervals
            lab.serve(metadata_tree([WANT1]))
            expect_run(ck, wait_for_blocks(lab, 2, 30), "listed", [CHANGED], [ROUTE_CMD] + commands_for("eth1", WANT1),
                       [eth1_section("10.1.0.5")])
            # An adapter attached and listed at once; an address added on the
            # service, then taken away again.
            appeared = "run by the service: adapter 52-54-00-ab-cd-02 appeared and is listed"
            for blocks, (step, wants, reasons, commands, eth1_ips) in enumerate([
                    ("attached", [WANT1, WANT2], [appeared, CHANGED], commands_for("eth2", WANT2), ["10.1.0.5"]),
                    ("address added", [WANT1_MORE, WANT2], [CHANGED], commands_for("eth1", WANT1_MORE),
                     ["10.1.0.5", "10.1.0.6"]),
                    ("address removed", [WANT1, WANT2], [CHANGED], commands_for("eth1", WANT1), ["10.1.0.5"])], 3):
                lab.serve(metadata_tree(wants))
                if step == "attached":
                    lab.add(ETH2)
                out = wait_for_blocks(lab, blocks, 60)
                expect_run(ck, out, step, reasons, [ROUTE_CMD] + commands, [eth1_section(*eth1_ips), ETH2_SECTION])
                ck.note = out.block[2] if step == "attached" and len(out.block) > 2 else ck.note
            ck.adapter(out, "eth1", ["10.1.0.5/24"], "10.1.0.1", 101)

            # Busy, then listing nothing, then unchanged: nothing at all.
            for step, tree, scripted in (
                    ("busy", dict(metadata_tree([WANT1, WANT2]), **{"*": {"busy": [[600, 503]]}}), True),
                    ("empty listing", metadata_tree([], listing=""), False),
                    ("unchanged", metadata_tree([WANT1, WANT2]), False)):
                lab.serve(tree, scripted=scripted)
                out = expect_quiet(ck, lab, step, 3 * INTERVAL, 5)
            ck.eq(len(out.requests) % 10, 0, "a check asks 2 + 4N resources")
            ck.adapter(out, "eth2", ["10.2.0.7/16", "10.2.0.8/16", "10.2.0.9/16"], "10.2.0.1", 102)

            # Stopped while a check waits for an answer that never comes.
            lab.serve(dict(metadata_tree([WANT1, WANT2]), **{MAC_PATH: {"hang": True}}), scripted=True)
            ck.true(until(lambda: any(r["hang"] for r in lab.server.requests()), 3 * INTERVAL),
                    "a check waits for the held answer")
            asked = time.time()
            lab.wine(["net", "stop", "addrsmith"])
            until(lambda: not service_pid(lab), 10, 0.05)
            ck.true(time.time() - asked < 3, "process gone within 3 s of the stop", "%.1f s" % (time.time() - asked))
            ck.true("STOPPED" in lab.wine(["sc", "query", "addrsmith"]).stdout.decode(), "service stopped")

            # Stopped while its first run waits on a route command that never
            # ends (given up on after 30 s): stop-pending, the checkpoint
            # moving on every second, stopped once the run is over.
            lab.set_policy(lambda c: spool.HANG if c.kind == "route" else spool.APPLY)
            lab.wine(["net", "start", "addrsmith"])
            until(lambda: lab.observe().commands, 20, 0.2)
            lab.wine(["net", "stop", "addrsmith"])
            points = []
            for _ in range(2):
                time.sleep(2)
                found = re.search(r"STOP_PENDING[\s\S]*CHECKPOINT\s*:\s*0x(\w+)",
                                  lab.wine(["sc", "query", "addrsmith"]).stdout.decode())
                points.append(int(found.group(1), 16) if found else None)
            ck.true(None not in points and points[0] < points[1], "stop-pending, the checkpoint moving on", repr(points))
            until(lambda: not service_pid(lab), 45, 0.5)
            ck.true("STOPPED" in lab.wine(["sc", "query", "addrsmith"]).stdout.decode(), "stopped once the run is over")
        finally:
            removed = lab.wine([EXE, "--remove-service"])
        ck.eq((removed.returncode, removed.stdout.decode("latin-1").strip()),
              (0, "service addrsmith stopped and removed"), "remove line")
        ck.eq(lab.registry_values(SERVICE_KEY).get("ImagePath"), None, "service gone from the registry")
    return [ck]
