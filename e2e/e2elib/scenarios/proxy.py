"""A proxy configured for the machine: the metadata service is still asked straight."""
import os
import subprocess

from .. import cleanup, decoy_proxy, server
from ..checks import Checker, section
from ..lab import MAIN
from ..program import METADATA_URL, MAC_PATH, ROUTE_CMD, commands_for, fetch_paths
from .common import WANT1, new_lab, setup_one

INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
PROXY_PORT = 3128
DECOY_SCRIPT = os.path.abspath(decoy_proxy.__file__)


def _reg(env, argv_prefix, *args):
    subprocess.run(argv_prefix + ["wine", "reg"] + list(args), env=env.prefix.env(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


def proxy_configured(env):
    """A proxy set in the prefix answers with another machine's address: the tool asks the service straight."""
    ck = Checker("proxy_configured")
    probe = env.doubles["proxy_probe.exe"]
    with new_lab(env, "proxy") as lab:
        setup_one(lab)
        log_path = os.path.join(lab.workdir, "proxy-requests.log")
        open(log_path, "w").close()
        key = "proxy:" + lab.machine.name
        proxy = None

        def stop_proxy():
            if proxy and proxy.poll() is None:
                proxy.kill()
                proxy.wait(timeout=10)
            cleanup.unregister(key)

        proxy = server.start_script(lab.machine, [DECOY_SCRIPT, str(PROXY_PORT), log_path], key,
                                    "decoy proxy", stop_proxy)

        def remove_settings():
            # From outside the namespace, which may be gone already; a Wine
            # server still running inside it takes the change all the same.
            for value in ("ProxyEnable", "ProxyServer"):
                _reg(env, [], "delete", INTERNET_SETTINGS, "/v", value, "/f")
            env.prefix.kill_server()  # writes the registry back to the prefix
            cleanup.unregister("proxy-settings")

        cleanup.register("proxy-settings", "proxy settings in the prefix", remove_settings)
        inside = lab.machine.exec_argv([])
        try:
            _reg(env, inside, "add", INTERNET_SETTINGS, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1", "/f")
            _reg(env, inside, "add", INTERNET_SETTINGS, "/v", "ProxyServer", "/t", "REG_SZ",
                 "/d", "127.0.0.1:%d" % PROXY_PORT, "/f")
            # The proxy is really in effect for a session that follows the settings.
            probed = subprocess.run(inside + ["wine", probe, METADATA_URL + MAC_PATH], env=env.prefix.env(),
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60)
            with open(log_path, encoding="utf-8") as f:
                probe_requests = f.read().splitlines()
            ck.eq(probed.stdout, decoy_proxy.ANSWER, "a session with the system's settings gets the proxy's answer")
            ck.true(len(probe_requests) == 1 and MAC_PATH in probe_requests[0],
                    "the proxy saw that session's request", repr(probe_requests))
            out = lab.run()
        finally:
            remove_settings()
            stop_proxy()
        env.show(ck, out)
        with open(os.path.join(env.prefix.path, "user.reg"), encoding="utf-8", errors="replace") as f:
            ck.true("ProxyServer" not in f.read(), "the proxy settings are gone from the prefix again")
        with open(log_path, encoding="utf-8") as f:
            tool_requests = f.read().splitlines()[len(probe_requests):]
        ck.eq(tool_requests, [], "the proxy received nothing from the tool")
        ck.finished(out, success=True)
        commands = [ROUTE_CMD] + commands_for("eth1", WANT1)
        ck.commands(out, commands)
        ck.requests(out, fetch_paths(WANT1))
        ck.log_lacks(out, decoy_proxy.ANSWER.decode())
        ck.ini_written(out, lab.ini_before,
                       [section("52:54:00:AB:CD:01", ["10.1.0.5"], "10.1.0.1", "255.255.255.0")])
        ck.adapter(out, "eth1", ["10.1.0.5/24"], "10.1.0.1", 101)
        ck.adapter(out, "eth0", ["10.0.0.10/24"], MAIN.gateway, 100)
    return [ck]
