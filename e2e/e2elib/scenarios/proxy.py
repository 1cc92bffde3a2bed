"""A proxy configured for the machine: the metadata service is still asked straight."""
import os
import struct
import subprocess
import time

from .. import cleanup, decoy_proxy, server
from ..checks import Checker, section
from ..lab import MAIN
from ..program import METADATA_URL, MAC_PATH, ROUTE_CMD, commands_for, fetch_paths
from .common import WANT1, new_lab, setup_one

INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
CONNECTIONS = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
PROXY_PORT = 3128
DECOY_SCRIPT = os.path.abspath(decoy_proxy.__file__)
PROXY = b"127.0.0.1:%d" % PROXY_PORT


def _winhttp_settings(proxy):
    """The machine-wide WinHTTP proxy as `netsh winhttp set proxy` stores it:
    its mark 0x18, a counter, the flags (2: a named proxy), then the proxy and
    the bypass list, each as a length and its ANSI characters."""
    blob = struct.pack("<III", 0x18, 0, 2) + struct.pack("<I", len(proxy)) + proxy + struct.pack("<I", 0)
    return blob.hex().upper()  # as `reg query` shows it


# (key, value) -> (type, data). WinHTTP sessions that follow the default
# proxy, as the tool's do for any host but the service, read the machine's
# WinHttpSettings; the user's WinINet proxy is set as well, as a machine
# often has both, and the tool must follow neither to the service.
PROXY_SETTINGS = {
    (CONNECTIONS, "WinHttpSettings"): ("REG_BINARY", _winhttp_settings(PROXY)),
    (INTERNET_SETTINGS, "ProxyEnable"): ("REG_DWORD", "0x1"),
    (INTERNET_SETTINGS, "ProxyServer"): ("REG_SZ", PROXY.decode()),
}
# How long the settings may take to be in effect for a new session; past
# that the machine under the test is broken, whatever the program does.
PREMISE_SECONDS = 60


def _reg(env, argv_prefix, *args):
    return subprocess.run(argv_prefix + ["wine", "reg"] + list(args), env=env.prefix.env(),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)


def _write_settings(env, inside):
    for (key, name), (kind, data) in PROXY_SETTINGS.items():
        _reg(env, inside, "add", key, "/v", name, "/t", kind, "/d", data, "/f")


def _settings_read_back(lab):
    """The proxy values as a new session reads them: {(key, name): (type, data)}."""
    return {(key, name): (kind, data.strip()) for key in {key for key, _name in PROXY_SETTINGS}
            for name, (kind, data) in lab.registry_values(key).items() if (key, name) in PROXY_SETTINGS}


def _wait_for_proxy(env, lab, inside, probe, log_path):
    """Probe until a session that follows the default proxy gets the
    decoy's answer through it, writing the settings again whenever they do
    not read back as written, for at most PREMISE_SECONDS. Returns whether
    it did, the decoy's request lines then, and what each miss saw."""
    deadline, misses = time.time() + PREMISE_SECONDS, []
    _write_settings(env, inside)
    while True:
        probed = subprocess.run(inside + ["wine", probe, METADATA_URL + MAC_PATH], env=env.prefix.env(),
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60)
        with open(log_path, encoding="utf-8") as f:
            requests = f.read().splitlines()
        if probed.stdout == decoy_proxy.ANSWER and requests and MAC_PATH in requests[-1]:
            return True, requests, misses
        settings = _settings_read_back(lab)
        misses.append("%.1f s: probe exit %d, %r; settings read back %r" % (
            PREMISE_SECONDS - (deadline - time.time()), probed.returncode, probed.stdout[:40], settings))
        if time.time() > deadline:
            return False, requests, misses
        if settings != PROXY_SETTINGS:
            _write_settings(env, inside)
        time.sleep(1)


def proxy_configured(env):
    """A proxy set in the prefix, for WinHTTP and for WinINet, answers with another
    machine's address: the tool asks the service straight."""
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
            for key, value in PROXY_SETTINGS:
                _reg(env, [], "delete", key, "/v", value, "/f")
            env.prefix.kill_server()  # writes the registry back to the prefix
            cleanup.unregister("proxy-settings")

        cleanup.register("proxy-settings", "proxy settings in the prefix", remove_settings)
        inside = lab.machine.exec_argv([])
        try:
            # The premise: the proxy is in effect for a session that follows
            # the settings. Without it the run below proves nothing.
            in_effect, probe_requests, misses = _wait_for_proxy(env, lab, inside, probe, log_path)
            if not in_effect:
                ck.broken = ("the proxy settings were not in effect for a session that follows them "
                             "within %d s; %s" % (PREMISE_SECONDS, "; ".join(misses[:3] + misses[-1:])))
                return [ck]
            if misses:
                ck.note = "proxy in effect after %d missed probes: %s" % (len(misses), "; ".join(misses[:2]))
            out = lab.run()
        finally:
            remove_settings()
            stop_proxy()
        env.show(ck, out)
        left = []
        for hive, value in (("user.reg", "ProxyServer"), ("system.reg", "WinHttpSettings")):
            with open(os.path.join(env.prefix.path, hive), encoding="utf-8", errors="replace") as f:
                left += [value] if value in f.read() else []
        ck.eq(left, [], "the proxy settings are gone from the prefix again")
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
