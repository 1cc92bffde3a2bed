"""The end-to-end scenarios: each builds a machine, runs the tool, checks.

A scenario is a function taking the harness `Env` and returning a list of
`Checker`s, one per named part (a scenario that runs the tool twice reports
two parts).
"""
import os
import re
import time

from . import cleanup, spool
from .checks import Checker, section
from .lab import (MACS, MAIN, METADATA_URL, ROUTE_CMD, STANDARD_INI, Desired, Lab, add_command,
                  commands_for, metadata_tree, set_command)
from .machine import Adapter

SCENARIOS = []


def scenario(name):
    def register(func):
        SCENARIOS.append((name, func))
        return func
    return register


# The two secondary adapters most scenarios use.
ETH1 = Adapter("eth1", "52:54:00:ab:cd:01", ["10.1.0.99/24"], "10.1.0.254", metric=101)
ETH2 = Adapter("eth2", "52:54:00:ab:cd:02", ["10.2.0.50/24"], None, metric=102)
WANT1 = Desired("52:54:00:ab:cd:01", "10.1.0.5", gateway="10.1.0.1")
# Listed with the primary in the middle: the tool puts it first.
WANT2 = Desired("52:54:00:ab:cd:02", "10.2.0.7", ["10.2.0.8", "10.2.0.7", "10.2.0.9"],
                gateway="10.2.0.1", mask="255.255.0.0")


def fetch_paths(*desired, upto="mask"):
    order = ["primary", "ips", "gateway", "mask"]
    paths = ["/meta-data/mac", MACS]
    for d in desired:
        p = d.paths()
        paths += [p[k] for k in order[:order.index(upto) + 1]]
    return paths


def builder_lines(d):
    """The builder's lines for one adapter that passes every check."""
    lines = ["config main ip=" + d.primary, "vecIps.size:%d" % len(d.ips)]
    lines += ["config ip=" + ip for ip in d.ips]
    lines += ["config gateway=" + d.gateway, "config mask=" + d.mask, "config macaddr=" + d.mac]
    return lines


def snapshot_lines(dev, addresses, masks, gateway):
    lines = ["Find Adapter Name: " + dev, "begin getCurrentConfig",
             re.compile(r"^current config AdapterName: \S+$")]
    for address, mask in zip(addresses, masks):
        lines += ["current config ip=" + address, "current config mask=" + mask]
    if gateway:
        lines.append("current config gateway=" + gateway)
    return lines


def new_lab(env, name):
    return Lab(name, env.prefix, env.exe, env.workdir)


def setup_one(lab, tree=None, ini=STANDARD_INI):
    """The main adapter and eth1, the service asking for WANT1 unless told otherwise."""
    lab.add(MAIN, ETH1)
    lab.serve(tree or metadata_tree([WANT1]))
    lab.files(ini)


def setup_two(lab, tree=None):
    lab.add(MAIN, ETH1, ETH2)
    lab.serve(tree or metadata_tree([WANT1, WANT2]))
    lab.files(STANDARD_INI)


def expect_two_applied(ck, out, lab):
    ck.finished(out, success=True)
    commands = [ROUTE_CMD] + commands_for("eth1", WANT1) + commands_for("eth2", WANT2)
    ck.commands(out, commands)
    ck.ran_and_waited(out, commands)
    ck.requests(out, fetch_paths(WANT1, WANT2))
    ck.log_order(out, [ROUTE_CMD, "main mac=52:54:00:00:00:10", "vecMacs.size:2",
                       "mac=52:54:00:ab:cd:01", "mac=52:54:00:ab:cd:02"]
                 + builder_lines(WANT1) + builder_lines(WANT2)
                 + ["begin ConfigIpAddresses"]
                 + snapshot_lines("eth1", ["10.1.0.99"], ["255.255.255.0"], "10.1.0.254")
                 + snapshot_lines("eth2", ["10.2.0.50"], ["255.255.255.0"], None)
                 + ["start set config ip submask gateway...", commands[1],
                    "start set config ip submask gateway...", commands[2]],
                 "builder, matching and apply lines")
    # The check after applying sees the new settings.
    ck.log_order(out, [commands[-1], "begin getCurrentConfig", "current config ip=10.1.0.5",
                       "current config gateway=10.1.0.1", "begin getCurrentConfig",
                       "current config mask=255.255.0.0", "current config gateway=10.2.0.1",
                       "configure end"], "check after applying logs the new settings")
    ck.log_lacks(out, "retry find adapters")
    ck.log_lacks(out, "config file error")
    ck.ini_written(out, lab.ini_before, [
        section("52:54:00:AB:CD:01", ["10.1.0.5"], "10.1.0.1", "255.255.255.0"),
        section("52:54:00:AB:CD:02", ["10.2.0.7", "10.2.0.8", "10.2.0.9"], "10.2.0.1", "255.255.0.0")])
    ck.adapter(out, "eth0", ["10.0.0.10/24"], "10.0.0.1", 100)
    ck.adapter(out, "eth1", ["10.1.0.5/24"], "10.1.0.1", 101)
    ck.adapter(out, "eth2", ["10.2.0.7/16", "10.2.0.8/16", "10.2.0.9/16"], "10.2.0.1", 102)
    ck.metadata_route(out)


@scenario("two_adapters_change")
def two_adapters_change(env):
    """Two secondary adapters need changes; then a second run finds nothing to do."""
    first, second = Checker("two_adapters_change"), Checker("second_run_no_change")
    with new_lab(env, "two") as lab:
        setup_two(lab)
        out = lab.run()
        env.show(first, out)
        expect_two_applied(first, out, lab)

        # Second run on the same machine: everything is already in effect.
        ini_after_first = out.ini
        out2 = lab.run()
        env.show(second, out2)
        ck = second
        ck.console(out2, success=True)
        ck.eq(len(out2.blocks), 2, "log holds two blocks")
        ck.framing(out2)
        ck.commands(out2, [ROUTE_CMD])
        ck.log_count(out2, "config ip submask gateway is not changed...", 2)
        ck.log_lacks(out2, "start set config")
        ck.log_lacks(out2, "netsh.exe")
        ck.requests(out2, fetch_paths(WANT1, WANT2))
        ck.eq(out2.ini, ini_after_first, "saved configuration the same as after the first run")
        ck.eq(out2.backup, ini_after_first, "backup is the file as the first run left it")
        ck.adapter(out2, "eth1", ["10.1.0.5/24"], "10.1.0.1", 101)
        ck.adapter(out2, "eth2", ["10.2.0.7/16", "10.2.0.8/16", "10.2.0.9/16"], "10.2.0.1", 102)
        ck.metadata_route(out2)
    return [first, second]


@scenario("missing_ini")
def missing_ini(env):
    """No saved configuration file: nothing runs, nothing is created."""
    ck = Checker("missing_ini")
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
    return [ck]


@scenario("missing_gateway")
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


@scenario("metadata_down")
def metadata_down(env):
    """Nothing listens on the metadata address: the run fails after the route."""
    ck = Checker("metadata_down")
    with new_lab(env, "down") as lab:
        lab.add(MAIN, ETH1)
        lab.files(STANDARD_INI)  # no server: nothing listens on the metadata address
        out = lab.run()
        env.show(ck, out)
        ck.console(out, success=False)
        ck.log_exact(out, [ROUTE_CMD, "wait %s  successfully" % ROUTE_CMD,
                           "get main mac error url:%s/meta-data/mac" % METADATA_URL,
                           "config file error , no configure information"])
        ck.commands(out, [ROUTE_CMD])
        ck.ini_untouched(out, lab.ini_before)
        ck.adapter(out, "eth1", ["10.1.0.99/24"], "10.1.0.254", 101)
        ck.metadata_route(out)
    return [ck]


@scenario("only_main_listed")
def only_main_listed(env):
    """The listing names only the machine's own adapter: no configuration."""
    ck = Checker("only_main_listed")
    with new_lab(env, "onlymain") as lab:
        setup_one(lab, metadata_tree([WANT1], listing="52:54:00:00:00:10/"))
        out = lab.run()
        env.show(ck, out)
        ck.console(out, success=False)
        ck.log_exact(out, [ROUTE_CMD, "wait %s  successfully" % ROUTE_CMD,
                           "main mac=52:54:00:00:00:10", "vecMacs.size:0",
                           "config file error , no configure information"])
        ck.commands(out, [ROUTE_CMD])
        ck.requests(out, ["/meta-data/mac", MACS])
        ck.ini_untouched(out, lab.ini_before)
        ck.adapter(out, "eth1", ["10.1.0.99/24"], "10.1.0.254", 101)
    return [ck]


@scenario("malformed_address")
def malformed_address(env):
    """One adapter with a bad address, one whose primary is a 404 page, one good."""
    ck = Checker("malformed_address")
    bad = Desired("52:54:00:ab:cd:02", "10.2.0.7", ["10.2.0.7", "10.2.0.300"], gateway="10.2.0.1")
    missing = Desired("52:54:00:ab:cd:03", "10.3.0.7", gateway="10.3.0.1",
                      answers={"primary": {"status": 404, "body": "404 - Not Found"}})
    eth3 = Adapter("eth3", "52:54:00:ab:cd:03", ["10.3.0.50/24"], None, metric=103)
    with new_lab(env, "malformed") as lab:
        lab.add(MAIN, ETH1, ETH2, eth3)
        lab.serve(metadata_tree([WANT1, bad, missing]))
        lab.files(STANDARD_INI)
        out = lab.run()
        env.show(ck, out)
        ck.finished(out, success=True)
        commands = [ROUTE_CMD] + commands_for("eth1", WANT1)
        ck.commands(out, commands)
        ck.requests(out, fetch_paths(WANT1) + fetch_paths(bad, upto="ips")[2:]
                    + fetch_paths(missing, upto="primary")[2:])
        ck.log_order(out, ["vecMacs.size:3"] + builder_lines(WANT1) +
                     ["config main ip=10.2.0.7", "vecIps.size:2", "config ip=10.2.0.7",
                      "config ip=10.2.0.300", "check ip addr fail",
                      "config main ip=404 - Not Found", "check main ip addr fail",
                      "begin ConfigIpAddresses", "Find Adapter Name: eth1"], "builder lines")
        ck.log_lacks(out, "Find Adapter Name: eth2")
        ck.log_lacks(out, "Find Adapter Name: eth3")
        ck.log_lacks(out, "config macaddr=52:54:00:ab:cd:02")
        ck.ini_written(out, lab.ini_before,
                       [section("52:54:00:AB:CD:01", ["10.1.0.5"], "10.1.0.1", "255.255.255.0")])
        ck.adapter(out, "eth1", ["10.1.0.5/24"], "10.1.0.1", 101)
        ck.adapter(out, "eth2", ["10.2.0.50/24"], None, None)
        ck.adapter(out, "eth3", ["10.3.0.50/24"], None, None)
    return [ck]


@scenario("adapter_appears")
def adapter_appears(env):
    """eth2 is missing at the first pass and plugged in during the 30 s wait."""
    ck = Checker("adapter_appears")
    added = {}
    expected_requests = len(fetch_paths(WANT1, WANT2))

    def plug_in_when_waiting(lab, _run):
        if added:
            return
        log = lab.log_now()
        requests = lab.server.requests()
        # The miss line may still sit in the tool's buffer; the last fetch
        # plus a few seconds means the first pass is over all the same.
        waiting = "cannot find match adpater mac=52-54-00-ab-cd-02" in log or (
            len(requests) >= expected_requests and time.time() - requests[-1]["t"] > 4)
        if waiting:
            lab.add(ETH2)
            added["at"] = time.time()

    with new_lab(env, "appears") as lab:
        lab.add(MAIN, ETH1)
        lab.serve(metadata_tree([WANT1, WANT2]))
        lab.files(STANDARD_INI)
        out = lab.run(timeout=150, on_tick=plug_in_when_waiting)
        env.show(ck, out)
        ck.true(bool(added), "adapter was plugged in during the run")
        ck.finished(out, success=True)
        commands = [ROUTE_CMD] + commands_for("eth1", WANT1) + commands_for("eth2", WANT2)
        ck.commands(out, commands)
        ck.log_order(out, ["begin ConfigIpAddresses", "Find Adapter Name: eth1",
                           "cannot find match adpater mac=52-54-00-ab-cd-02",
                           "retry find adapters retrycount=1", "Find Adapter Name: eth1",
                           "Find Adapter Name: eth2", "start set config ip submask gateway...",
                           commands[1], "start set config ip submask gateway...", commands[2]],
                     "miss, one retry, both found")
        ck.log_lacks(out, "retrycount=2")
        ck.log_lacks(out, "cannot find all matched")
        ck.true(out.seconds >= 30, "the tool waited 30 s before retrying", "%.1f s" % out.seconds)
        ck.ini_written(out, lab.ini_before, [
            section("52:54:00:AB:CD:01", ["10.1.0.5"], "10.1.0.1", "255.255.255.0"),
            section("52:54:00:AB:CD:02", ["10.2.0.7", "10.2.0.8", "10.2.0.9"], "10.2.0.1", "255.255.0.0")])
        ck.adapter(out, "eth2", ["10.2.0.7/16", "10.2.0.8/16", "10.2.0.9/16"], "10.2.0.1", 102)
    return [ck]


@scenario("netsh_not_applied")
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


@scenario("netsh_hangs")
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


@scenario("netsh_slow")
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


@scenario("metadata_never_answers")
def metadata_never_answers(env):
    """A resource that never answers: the tool waits on it until the service drops the connection."""
    ck = Checker("metadata_never_answers")
    hold = 12.0
    want = Desired("52:54:00:ab:cd:01", "10.1.0.5", gateway="10.1.0.1",
                   answers={"mask": {"hang": True}})
    seen = {}

    def drop_after_hold(lab, run):
        if "dropped" in seen:
            return
        hung = [r for r in lab.server.requests() if r["hang"]]
        if hung and time.time() - hung[0]["t"] >= hold:
            # Still stuck in the fetch: no command ran, the step never logged its value.
            seen["log"] = lab.log_now()
            seen["commands"] = len(lab.spool.snapshot())
            seen["alive"] = run.status is None
            lab.server.stop()
            seen["dropped"] = time.time()

    with new_lab(env, "noanswer") as lab:
        setup_one(lab, metadata_tree([want]))
        out = lab.run(timeout=120, on_tick=drop_after_hold)
        env.show(ck, out)
        ck.true("dropped" in seen, "the tool was still waiting %d s after asking" % hold)
        ck.true(seen.get("alive", False), "tool still running while the resource hung")
        ck.eq(seen.get("commands"), 1, "only the route command had run by then")
        ck.true("config mask=" not in seen.get("log", ""), "no mask line while waiting")
        ck.finished(out, success=False)
        mask_url = METADATA_URL + want.paths()["mask"]
        failed_fetch = "get mask error url:" + mask_url in out.block
        empty_answer = "config mask=" in out.block and "check mask addr fail" in out.block
        # A dropped connection fails the open or reads as an empty body.
        ck.true(failed_fetch or empty_answer, "the mask counts as missing", repr(out.block[-8:]))
        ck.log_order(out, ["config gateway=10.1.0.1", "config file error , no configure information"])
        ck.commands(out, [ROUTE_CMD])
        ck.ini_untouched(out, lab.ini_before)
        ck.adapter(out, "eth1", ["10.1.0.99/24"], "10.1.0.254", 101)
        ck.after_fault(out, lab.ini_before, MAIN)
    return [ck]


# -- faults ------------------------------------------------------------
# After each of these the saved configuration is unchanged or, where the
# writer had begun, its backup holds the file as it was; eth0 and the
# [eth0] GATEWAY the next run starts from are left alone.

@scenario("metadata_cut_body")
def metadata_cut_body(env):
    """The service closes the connection mid-body: nothing is configured from the cut text."""
    ips_part, macs_part = Checker("cut_ipv4s_listing"), Checker("cut_macs_listing")
    # Cut after "10.1.0.6" of "10.1.0.67/": the stub is a valid address by
    # itself, so only the fetch can keep it away from netsh.
    want = Desired("52:54:00:ab:cd:01", "10.1.0.5", ["10.1.0.5", "10.1.0.67"], gateway="10.1.0.1")
    ips_full = "10.1.0.5/\n10.1.0.67/"
    ips_cut = ips_full[:ips_full.index("10.1.0.67") + len("10.1.0.6")]
    macs_full = "52:54:00:00:00:10/\n52:54:00:ab:cd:01/"
    macs_cut = macs_full[:macs_full.index("52:54:00:ab:cd:01") + len("52:54:00:ab:c")]

    with new_lab(env, "cutbody") as lab:
        lab.add(MAIN, ETH1)
        lab.files(STANDARD_INI)

        tree = metadata_tree([want])
        tree[want.paths()["ips"]] = {"body": ips_cut, "length": len(ips_full)}
        lab.serve(tree)
        out = lab.run()
        env.show(ips_part, out)
        ck = ips_part
        ips_url = METADATA_URL + want.paths()["ips"]
        failed_fetch = "get local-ipv4s error url:" + ips_url in out.block
        empty_text = "vecIps.size:0" in out.block
        ck.note = "failed fetch" if failed_fetch else "empty text" if empty_text else "other"
        # The program cannot tell a cut body from a whole one by its text, so
        # the fetch must not hand a cut one on.
        ck.true(failed_fetch or empty_text, "the cut listing counts as missing or empty",
                repr([l for l in out.block if "config ip=" in l or "vecIps" in l or "error" in l]))
        ck.log_lacks(out, "config ip=10.1.0.6")
        ck.true(not any("10.1.0.6" in c.line for c in out.commands),
                "no command with the cut-off address", repr([c.line for c in out.commands]))
        ck.finished(out, success=False)
        ck.commands(out, [ROUTE_CMD])
        ck.log_order(out, ["config main ip=10.1.0.5", "config file error , no configure information"])
        ck.log_lacks(out, "config macaddr=")
        ck.ini_untouched(out, lab.ini_before)
        ck.adapter(out, "eth1", ["10.1.0.99/24"], "10.1.0.254", 101)
        ck.after_fault(out, lab.ini_before, MAIN)

        # The adapter listing cut inside the only secondary entry.
        lab.files(STANDARD_INI)
        lab.serve(metadata_tree([want], listing={"body": macs_cut, "length": len(macs_full)}))
        eth1_before = lab.machine.state()["eth1"]  # as the first part left it
        out = lab.run()
        env.show(macs_part, out)
        ck = macs_part
        failed_fetch = "get macs error url:" + METADATA_URL + MACS in out.block
        empty_text = "vecMacs.size:0" in out.block
        stub_refused = "mac=52:54:00:ab:c" in out.block and "check mac error" in out.block
        ck.note = ("failed fetch" if failed_fetch else "empty text" if empty_text
                   else "cut text, stub refused" if stub_refused else "other")
        ck.true(failed_fetch or empty_text or stub_refused,
                "the cut listing fails, reads empty, or its stub fails the check",
                repr([l for l in out.block if "mac" in l]))
        ck.finished(out, success=False)
        ck.commands(out, [ROUTE_CMD])
        ck.log_order(out, ["main mac=52:54:00:00:00:10", "config file error , no configure information"])
        ck.log_lacks(out, "config macaddr=")
        ck.ini_untouched(out, lab.ini_before)
        ck.eq(out.state.get("eth1"), eth1_before, "eth1 untouched by this run")
        ck.after_fault(out, lab.ini_before, MAIN)
    return [ips_part, macs_part]


@scenario("netsh_missing")
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


@scenario("ini_read_only")
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


@scenario("log_unopenable")
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


@scenario("adapter_removed")
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
