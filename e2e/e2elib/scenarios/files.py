"""The program's own files: no saved configuration, one without the main
adapter's gateway, one that cannot be written, a run log that cannot be
opened.
"""
import os

from ..checks import Checker, section
from ..lab import MAIN, STANDARD_INI, read_bytes
from ..program import INI_PATH, ROUTE_CMD, commands_for, fetch_paths
from .common import WANT1, new_lab, setup_one


def missing_ini(env):
    """No saved configuration file: nothing runs, nothing is created. Then
    its whole working copy beside it, as a run stopped inside the replace
    leaves it: put in the file's place, said so, and the run succeeds."""
    ck, restored = Checker("missing_ini"), Checker("missing_ini_working_copy")
    with new_lab(env, "noini") as lab:
        setup_one(lab, ini=None)
        out = lab.run()
        env.show(ck, out)
        ck.console(out, success=False)
        ck.log_exact(out, ["config file not exist", "config file error , enable local network fail"])
        ck.commands(out, [])
        ck.requests(out, [])
        ck.eq(out.ini, None, "no saved configuration created")
        ck.eq(out.backup, None, "no backup created")
        ck.adapter(out, "eth1", ["10.1.0.99/24"], "10.1.0.254", 101)
        ck.metadata_route(out, present=False)

        work, copy = env.prefix.ini + ".new", STANDARD_INI.replace("\n", "\r\n").encode("ascii")
        with open(work, "wb") as f:
            f.write(copy)
        out = lab.run()
        env.show(restored, out)
        restored.finished(out, success=True)
        restored.log_order(out, ["config file missing, put back from its working copy %s.new" % INI_PATH, ROUTE_CMD],
                           "working copy put back before the route")
        restored.eq(read_bytes(work), None, "working copy gone")
        restored.ini_written(out, copy, [section("52:54:00:AB:CD:01", ["10.1.0.5"], "10.1.0.1", "255.255.255.0")])
        restored.adapter(out, "eth1", ["10.1.0.5/24"], "10.1.0.1", 101)
    return [ck, restored]


def missing_gateway(env):
    """The file has [eth0] but no GATEWAY: no route, no fetch, file untouched."""
    ck = Checker("missing_gateway")
    with new_lab(env, "nogw") as lab:
        setup_one(lab, ini="[eth0]\nIPADDR=10.0.0.10\nNETMASK=255.255.255.0\n")
        out = lab.run()
        env.show(ck, out)
        ck.console(out, success=False)
        ck.log_exact(out, ["config file error , enable local network fail"])
        ck.commands(out, [])
        ck.requests(out, [])
        ck.ini_untouched(out, lab.ini_before)
        ck.adapter(out, "eth1", ["10.1.0.99/24"], "10.1.0.254", 101)
    return [ck]


def ini_read_only(env):
    """The saved configuration is read-only: backed up, then the first key write fails."""
    ck = Checker("ini_read_only")
    with new_lab(env, "readonly") as lab:
        setup_one(lab)
        # Without write bits Wine shows the read-only attribute, but as root
        # it writes all the same; only an immutable file stops root.
        os.chmod(env.prefix.ini, 0o444)
        if not ck.true(env.prefix.make_immutable(env.prefix.ini, True),
                       "saved configuration made immutable (chattr +i)"):
            return [ck]
        try:
            out = lab.run()
        finally:
            env.prefix.make_immutable(env.prefix.ini, False)
        env.show(ck, out)
        ck.finished(out, success=False)
        commands = [ROUTE_CMD] + commands_for("eth1", WANT1)
        ck.commands(out, commands)
        ck.ran_and_waited(out, commands)
        ck.log_order(out, [commands[-1], "begin getCurrentConfig", "current config ip=10.1.0.5",
                           "config file error , set ip config ini fail", "configure end"],
                     "settings in effect, then the writer fails")
        ck.eq(out.ini, lab.ini_before, "saved configuration unchanged")
        ck.eq(out.backup, lab.ini_before, "backup is the file as it was")
        ck.adapter(out, "eth1", ["10.1.0.5/24"], "10.1.0.1", 101)
        ck.after_fault(out, lab.ini_before, MAIN)
    return [ck]


def log_unopenable(env):
    """The run log's path is a folder: the run goes on unlogged, the console line still shows."""
    ck = Checker("log_unopenable")
    with new_lab(env, "nolog") as lab:
        setup_one(lab)
        os.mkdir(env.prefix.log)
        out = lab.run()
        env.show(ck, out)
        ck.console(out, success=True)
        ck.true(os.path.isdir(env.prefix.log) and not os.listdir(env.prefix.log),
                "the log's folder is still there, empty")
        ck.eq(out.block, [], "no log block anywhere")
        ck.true("starting config ip address" not in out.console and "netsh.exe" not in out.console,
                "the lost log lines do not turn up on the console", repr(out.console[-300:]))
        ck.commands(out, [ROUTE_CMD] + commands_for("eth1", WANT1))
        ck.requests(out, fetch_paths(WANT1))
        ck.ini_written(out, lab.ini_before,
                       [section("52:54:00:AB:CD:01", ["10.1.0.5"], "10.1.0.1", "255.255.255.0")])
        ck.adapter(out, "eth1", ["10.1.0.5/24"], "10.1.0.1", 101)
        ck.metadata_route(out)
        ck.after_fault(out, lab.ini_before, MAIN)
    return [ck]
