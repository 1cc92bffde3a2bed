"""What the metadata service answers: nothing listening, nothing there for
the first seconds, only the machine's own adapter listed, bad values and 404
pages, a resource that never answers, a body cut short.
"""
import re
import time

from ..checks import Checker, section
from ..lab import MAIN, STANDARD_INI, Desired, metadata_tree
from ..machine import METADATA_ADDRESS, Adapter
from ..program import (ASKED_AGAIN, MAC_PATH, MACS, METADATA_URL, NOTHING_LINE, ROUTE_CMD, SERVICE_ANSWERED,
                       SERVICE_BUSY, SERVICE_GAVE_UP, SERVICE_WAIT, SERVICE_WAIT_SECONDS, builder_lines, commands_for,
                       fetch_paths)
from .common import ETH1, ETH2, WANT1, WANT2, new_lab, setup_one, setup_two
from .success import expect_two_applied


def metadata_down(env):
    """Nothing listens on the metadata address: the run waits for it, then fails after the bound."""
    ck = Checker("metadata_down")
    route_lines = [ROUTE_CMD, "wait %s  successfully" % ROUTE_CMD]
    with new_lab(env, "down") as lab:
        lab.add(MAIN, ETH1)
        lab.files(STANDARD_INI)  # no server: nothing listens on the metadata address
        out = lab.run(timeout=SERVICE_WAIT_SECONDS + 60)
        env.show(ck, out)
        ck.console(out, success=False)
        # The route again every 12 s while the wait's 20 lines allow: nine
        # times, the last within the wait's final 15 s.
        ck.log_exact(out, route_lines + [SERVICE_WAIT] + route_lines * 9 +
                     [SERVICE_GAVE_UP, "get main mac error url:%s/meta-data/mac" % METADATA_URL,
                      "config file error , no configure information"])
        ck.commands(out, [ROUTE_CMD] * 10)
        last_route = out.commands[-1].arrived - out.commands[0].arrived if out.commands else 0
        ck.note = "run took %.0f s, last route %.0f s after the first" % (out.seconds, last_route)
        # Measured by the wall clock, which a stalled machine moves on while
        # the program's count does not: a few seconds' slack above.
        ck.true(SERVICE_WAIT_SECONDS - 15 <= last_route < SERVICE_WAIT_SECONDS + 5,
                "the route added again in the wait's final 15 s", "%.1f s" % last_route)
        # From the route the run adds just before its first request to its
        # closing line: Wine's own start, slow on a cold machine, left out.
        gave_up = (out.closed_at or out.pty.ended) - (out.commands[0].arrived if out.commands else out.started)
        ck.true(SERVICE_WAIT_SECONDS <= gave_up < SERVICE_WAIT_SECONDS + 10,
                "gave up after the bound of %d s, counted from the first request" % SERVICE_WAIT_SECONDS,
                "%.1f s" % gave_up)
        ck.ini_untouched(out, lab.ini_before)
        ck.adapter(out, "eth1", ["10.1.0.99/24"], "10.1.0.254", 101)
        ck.metadata_route(out)
    return [ck]


def metadata_late(env):
    """Nothing answers at the metadata address for the first 4 s, as before the network is up, or it
    answers "busy" (503, then 429), as at a mass boot: the run waits, then configures as usual."""
    late, busy = Checker("metadata_late"), Checker("metadata_busy")
    with new_lab(env, "late") as lab:
        setup_two(lab)
        # nginx keeps its socket; without the address nobody answers it, and
        # the route through eth0's gateway leads nowhere.
        lab.machine.ip("addr", "del", METADATA_ADDRESS + "/32", "dev", "lo")
        out, back = lab.run_acting_after(
            4.0, lambda lab: lab.machine.ip("addr", "add", METADATA_ADDRESS + "/32", "dev", "lo"),
            after_first_command=True)
        env.show(late, out)
        expect_two_applied(late, out, lab)
        late.log_order(out, [ROUTE_CMD, "wait %s  successfully" % ROUTE_CMD, SERVICE_WAIT, SERVICE_ANSWERED,
                             "main mac=52:54:00:00:00:10"], "waited for the service, then went on")
        closing_within(late, out, back, 6)

    # Every request busy for the first 4 s of the run, then one-off busy
    # answers in the walk: each asked again once, after a second.
    tree = metadata_tree([WANT1, WANT2])
    tree["*"] = {"busy": [[2.0, 503], [4.0, 429]]}
    once = [(WANT1.paths()["ips"], 429), (WANT2.paths()["gateway"], 503)]
    again = fetch_paths(WANT1, WANT2)[1:]  # the walk, with each of those twice
    for path, status in once:
        tree[path] = {"body": tree[path], "busy_once": status}
        again.insert(again.index(path), path)
    with new_lab(env, "busy") as lab:
        setup_two(lab, tree, scripted=True)
        out = lab.run()
        env.show(busy, out)
        tries = [r["path"] for r in out.requests].count(MAC_PATH)
        expect_two_applied(busy, out, lab, requests=[MAC_PATH] * tries + again)
        busy.true(3 <= tries <= 5, "the first request asked about every 1.5 s for 4 s", "%d tries" % tries)
        busy.log_order(out, [ROUTE_CMD, SERVICE_BUSY % 503, SERVICE_ANSWERED, "main mac=52:54:00:00:00:10"]
                       + [ASKED_AGAIN % (status, path) for path, status in once],
                       "waited for the busy service, asked two requests again")
        normal = out.requests[0]["t"] + 4.0 if out.requests else None
        closing_within(busy, out, normal, 5)
    return [late, busy]


def closing_within(ck, out, since, seconds):
    """The run's closing line came within `seconds` of `since` (a time.time())."""
    closing = out.closed_at
    if since and closing is not None:
        ck.note = "closing line %.1f s after the service answered normally, %.1f s after the start" % (
            closing - since, closing - out.started)
        ck.true(closing - since < seconds, "the run was over within %d s of that" % seconds,
                "%.1f s" % (closing - since))
    else:
        ck.true(False, "the service answered and the run closed", repr(since))


def only_main_listed(env):
    """The listing names only the machine's own adapter: no configuration."""
    ck = Checker("only_main_listed")
    with new_lab(env, "onlymain") as lab:
        setup_one(lab, metadata_tree([WANT1], listing="52:54:00:00:00:10/"))
        out = lab.run()
        env.show(ck, out)
        ck.console(out, success=False, serial=NOTHING_LINE)
        ck.log_exact(out, [ROUTE_CMD, "wait %s  successfully" % ROUTE_CMD,
                           "main mac=52:54:00:00:00:10", "vecMacs.size:0",
                           "config file error , no configure information"])
        ck.commands(out, [ROUTE_CMD])
        ck.requests(out, ["/meta-data/mac", MACS])
        ck.ini_untouched(out, lab.ini_before)
        ck.adapter(out, "eth1", ["10.1.0.99/24"], "10.1.0.254", 101)
    return [ck]


def malformed_address(env):
    """One adapter with a bad address, one whose primary is a 404 page, one good: the good one is set and
    saved, and the run says it failed."""
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
        # Two listed adapters left without their network: not a success.
        ck.finished(out, success=False)
        commands = [ROUTE_CMD] + commands_for("eth1", WANT1)
        ck.commands(out, commands)
        ck.requests(out, fetch_paths(WANT1) + fetch_paths(bad, upto="ips")[2:]
                    + fetch_paths(missing, upto="primary")[2:])
        ck.log_order(out, ["vecMacs.size:3"] + builder_lines(WANT1) +
                     ["config main ip=10.2.0.7", "vecIps.size:2", "config ip=10.2.0.7",
                      "config ip=10.2.0.300", "check ip addr fail",
                      "adapter 52:54:00:ab:cd:02 not configured: its address list holds something that is "
                      "not an IPv4 address",
                      "config main ip=404 - Not Found", "check main ip addr fail",
                      "adapter 52:54:00:ab:cd:03 not configured: its primary address is not an IPv4 address",
                      "begin ConfigIpAddresses", "Find Adapter Name: eth1"], "builder lines")
        ck.log_lacks(out, "config file error")
        ck.log_lacks(out, "Find Adapter Name: eth2")
        ck.log_lacks(out, "Find Adapter Name: eth3")
        ck.log_lacks(out, "config macaddr=52:54:00:ab:cd:02")
        ck.ini_written(out, lab.ini_before,
                       [section("52:54:00:AB:CD:01", ["10.1.0.5"], "10.1.0.1", "255.255.255.0")])
        ck.adapter(out, "eth1", ["10.1.0.5/24"], "10.1.0.1", 101)
        ck.adapter(out, "eth2", ["10.2.0.50/24"], None, None)
        ck.adapter(out, "eth3", ["10.3.0.50/24"], None, None)
    return [ck]


def metadata_never_answers(env):
    """A resource that never answers: the tool waits on it (up to its 15 s time-out on Windows; Wine
    ignores that) until the service drops the connection."""
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
        setup_one(lab, metadata_tree([want]), scripted=True)
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
        ck.log_order(out, ["config gateway=10.1.0.1", re.compile(
            r"^adapter 52:54:00:ab:cd:01 not configured: its subnet mask (could not be fetched|is not an IPv4 address)$"),
                           "config file error , no configure information"])
        ck.commands(out, [ROUTE_CMD])
        ck.ini_untouched(out, lab.ini_before)
        ck.adapter(out, "eth1", ["10.1.0.99/24"], "10.1.0.254", 101)
        ck.after_fault(out, lab.ini_before, MAIN)
    return [ck]


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
        lab.serve(tree, scripted=True)
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
        lab.serve(metadata_tree([want], listing={"body": macs_cut, "length": len(macs_full)}), scripted=True)
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
