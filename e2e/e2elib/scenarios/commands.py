"""What the program's commands meet: a netsh that changes nothing, never
ends, is slow or is not there, an adapter pulled out right after its
set-address command, and programs of the same names planted where a search
by bare name would find them first.
"""
import os
import shutil
import time

from .. import cleanup, spool
from ..checks import Checker, section
from ..lab import MAIN, Desired, metadata_tree
from ..program import ROUTE_CMD, add_command, commands_for, set_command
from .common import WANT1, WANT2, new_lab, setup_one, setup_two


def netsh_not_applied(env):
    """netsh says nothing and changes nothing: the check fails, the INI stays."""
    ck = Checker("netsh_not_applied")
    with new_lab(env, "noapply") as lab:
        lab.set_policy(lambda c: spool.IGNORE if c.kind == "netsh" else spool.APPLY)
        setup_two(lab)
        out = lab.run()
        env.show(ck, out)
        ck.finished(out, success=False)
        commands = [ROUTE_CMD] + commands_for("eth1", WANT1) + commands_for("eth2", WANT2)
        ck.commands(out, commands)
        ck.ran_and_waited(out, commands)
        # The check re-reads the old settings and the driver adds no line.
        ck.log_order(out, [commands[-1], "begin getCurrentConfig", "current config ip=10.1.0.99",
                           "begin getCurrentConfig", "current config ip=10.2.0.50", "configure end"],
                     "check after applying sees the old settings")
        ck.log_lacks(out, "config file error")
        ck.ini_untouched(out, lab.ini_before)
        ck.adapter(out, "eth1", ["10.1.0.99/24"], "10.1.0.254", 101)
        ck.adapter(out, "eth2", ["10.2.0.50/24"], None, None)
    return [ck]


def netsh_hangs(env):
    """The set-address command applies but never ends; the tool gives up after 15 waits."""
    ck = Checker("netsh_hangs")
    want = Desired("52:54:00:ab:cd:01", "10.1.0.5", ["10.1.0.5", "10.1.0.6"], gateway="10.1.0.1")

    def policy(command):
        if command.kind == "netsh" and " set address " in command.line:
            return spool.APPLY_HANG
        return spool.APPLY

    with new_lab(env, "hang") as lab:
        lab.set_policy(policy)
        setup_one(lab, metadata_tree([want]))
        out = lab.run(timeout=120)
        env.show(ck, out)
        ck.finished(out, success=True)
        set_cmd = set_command("eth1", "10.1.0.5", "255.255.255.0", "10.1.0.1")
        add_cmd = add_command("eth1", "10.1.0.6", "255.255.255.0")
        ck.commands(out, [ROUTE_CMD, set_cmd, add_cmd])
        ck.log_order(out, [set_cmd] + ["wait %s  count=%d" % (set_cmd, n) for n in range(1, 16)]
                     + ["wait %s  timed out" % set_cmd, add_cmd, "wait %s  successfully" % add_cmd],
                     "fifteen waits, time-out, next command")
        ck.log_lacks(out, "wait %s  successfully" % set_cmd)
        if len(out.commands) == 3:
            gap = out.commands[2].arrived - out.commands[1].arrived
            ck.true(28 <= gap <= 40, "next command about 30 s after the hung one", "%.1f s" % gap)
        ck.ini_written(out, lab.ini_before,
                       [section("52:54:00:AB:CD:01", ["10.1.0.5", "10.1.0.6"], "10.1.0.1", "255.255.255.0")])
        ck.adapter(out, "eth1", ["10.1.0.5/24", "10.1.0.6/24"], "10.1.0.1", 101)
        ck.after_fault(out, lab.ini_before, MAIN)
    return [ck]


def netsh_slow(env):
    """A set-address command that takes 5 s: a couple of waits, then success."""
    ck = Checker("netsh_slow")

    def policy(command):
        if command.kind == "netsh" and " set address " in command.line:
            return spool.delayed(5)
        return spool.APPLY

    with new_lab(env, "slow") as lab:
        lab.set_policy(policy)
        setup_one(lab)
        out = lab.run()
        env.show(ck, out)
        ck.console(out, success=True)
        set_cmd = set_command("eth1", "10.1.0.5", "255.255.255.0", "10.1.0.1")
        ck.commands(out, [ROUTE_CMD, set_cmd])
        waits = [l for l in out.block if l.startswith("wait %s  count=" % set_cmd)]
        ck.true(2 <= len(waits) <= 3, "two or three unsuccessful waits", repr(waits))
        ck.log_order(out, [set_cmd, "wait %s  count=1" % set_cmd, "wait %s  count=2" % set_cmd,
                           "wait %s  successfully" % set_cmd], "waits then success")
        ck.log_lacks(out, "timed out")
        ck.ini_written(out, lab.ini_before,
                       [section("52:54:00:AB:CD:01", ["10.1.0.5"], "10.1.0.1", "255.255.255.0")])
    return [ck]


def netsh_missing(env):
    """No netsh.exe in system32: the set-address command cannot start, the check fails."""
    ck = Checker("netsh_missing")
    netsh = os.path.join(env.prefix.system32, "netsh.exe")
    away = netsh + ".e2e-away"

    def put_back():
        if os.path.exists(away):
            os.replace(away, netsh)
        cleanup.unregister("netsh:" + netsh)

    with new_lab(env, "nonetsh") as lab:
        setup_one(lab)
        cleanup.register("netsh:" + netsh, "netsh double", put_back)
        os.replace(netsh, away)
        try:
            out = lab.run()
        finally:
            put_back()
        env.show(ck, out)
        set_cmd = set_command("eth1", "10.1.0.5", "255.255.255.0", "10.1.0.1")
        ck.finished(out, success=False)
        ck.commands(out, [ROUTE_CMD])
        # File not found, and no waiting on a process that never started.
        ck.log_order(out, ["start set config ip submask gateway...", set_cmd,
                           "CreateProcess failed (2)", "begin getCurrentConfig",
                           "current config ip=10.1.0.99", "configure end"],
                     "start failure logged, then the check sees the old settings")
        ck.log_lacks(out, "wait " + set_cmd)
        ck.log_lacks(out, "config file error")
        ck.ini_untouched(out, lab.ini_before)
        ck.adapter(out, "eth1", ["10.1.0.99/24"], "10.1.0.254", 101)
        ck.after_fault(out, lab.ini_before, MAIN)
    return [ck]


def planted_programs(env):
    """route.exe and netsh.exe planted beside addrsmith.exe and in the current directory never run; the system's own do."""
    ck = Checker("planted_programs")
    drive_c = os.path.join(env.prefix.path, "drive_c")
    install, work = os.path.join(drive_c, "e2e-install"), os.path.join(drive_c, "e2e-work")
    marker = os.path.join(drive_c, "e2e-decoy-ran.txt")

    def remove_plants():
        for path in (install, work):
            shutil.rmtree(path, ignore_errors=True)
        if os.path.exists(marker):
            os.remove(marker)
        cleanup.unregister("planted:" + install)

    with new_lab(env, "planted") as lab:
        setup_one(lab)
        cleanup.register("planted:" + install, "planted programs", remove_plants)
        remove_plants()
        for folder in (install, work):
            os.makedirs(folder)
            for name in ("route.exe", "netsh.exe"):
                shutil.copyfile(env.doubles["decoy.exe"], os.path.join(folder, name))
        exe = os.path.join(install, "addrsmith.exe")
        shutil.copyfile(env.exe, exe)
        try:
            out = lab.run(exe=exe, cwd=work)
            ran = open(marker).read() if os.path.exists(marker) else ""
        finally:
            remove_plants()
        env.show(ck, out)
        ck.eq(ran, "", "no planted program ran")
        # The commands read as ever, and the doubles in system32 got them.
        ck.finished(out, success=True)
        ck.commands(out, [ROUTE_CMD] + commands_for("eth1", WANT1))
        ck.ran_and_waited(out, [ROUTE_CMD] + commands_for("eth1", WANT1))
        ck.ini_written(out, lab.ini_before, [section("52:54:00:AB:CD:01", ["10.1.0.5"], "10.1.0.1", "255.255.255.0")])
        ck.adapter(out, "eth1", ["10.1.0.5/24"], "10.1.0.1", 101)
        # The source named the exe the earlier scenarios ran: now this copy.
        ck.event_source(lab, r"C:\e2e-install\addrsmith.exe")
    return [ck]


def adapter_removed(env):
    """eth1 is pulled out right after its set-address command: the check fails, no INI write."""
    ck = Checker("adapter_removed")
    removed = {}

    with new_lab(env, "removed") as lab:
        def pull_out(command):
            lab.machine.ip("link", "del", "eth1")
            removed["at"] = time.time()

        def policy(command):
            if command.kind == "netsh" and " set address " in command.line and 'name="eth1"' in command.line:
                return spool.then(pull_out)
            return spool.APPLY

        lab.set_policy(policy)
        setup_two(lab)
        out = lab.run()
        env.show(ck, out)
        ck.true(bool(removed), "eth1 was removed during the run")
        ck.finished(out, success=False)
        commands = [ROUTE_CMD] + commands_for("eth1", WANT1) + commands_for("eth2", WANT2)
        ck.commands(out, commands)
        ck.ran_and_waited(out, commands)
        # Matching found both; the check finds only eth2, in its new settings.
        ck.log_order(out, ["Find Adapter Name: eth1", "Find Adapter Name: eth2"], "both matched")
        after = out.block[out.block.index("wait %s  successfully" % commands[-1]) + 1:] \
            if "wait %s  successfully" % commands[-1] in out.block else []
        # Wine goes on listing a deleted interface (same hardware address, no
        # address, no gateway), so the check may still snapshot it; either
        # way eth1's new settings are not found in effect.
        ck.note = "removed adapter still listed" if after.count("begin getCurrentConfig") == 2 \
            else "removed adapter not listed"
        ck.true("current config ip=10.1.0.5" not in after and "current config gateway=10.1.0.1" not in after,
                "the check does not find eth1's new settings", repr(after))
        ck.true("current config gateway=10.2.0.1" in after, "the check sees eth2's new settings",
                repr(after))
        ck.log_lacks(out, "config file error")
        ck.ini_untouched(out, lab.ini_before)
        ck.true("eth1" not in out.state, "eth1 is gone")
        ck.adapter(out, "eth2", ["10.2.0.7/16", "10.2.0.8/16", "10.2.0.9/16"], "10.2.0.1", 102)
        ck.after_fault(out, lab.ini_before, MAIN)
    return [ck]
