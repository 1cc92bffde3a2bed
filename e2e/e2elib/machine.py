"""A simulated cloud machine: one network namespace with veth adapters.

The adapters' far ends live in a second namespace of their own, so the
machine's namespace holds only `lo` and the adapters the scenario asked for.
Every adapter that has a default gateway gets its own default route with a
metric of its own (Wine reports one gateway per adapter only then), and `lo`
carries the metadata service's address.
"""
import ipaddress
import json
import os
import shutil
import signal
import subprocess
import time

from . import cleanup

METADATA_ADDRESS = "169.254.0.254"
METADATA_NETWORK = "169.254.0.0/17"


def run(argv, check=True, capture=True):
    result = subprocess.run(argv, stdout=subprocess.PIPE if capture else None,
                            stderr=subprocess.PIPE if capture else None, text=True)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(argv), result.returncode,
                                                   (result.stderr or "").strip()))
    return result


def mask_to_prefix(mask):
    """Dotted mask to prefix length; None for a mask that is not contiguous."""
    try:
        return ipaddress.IPv4Network("0.0.0.0/" + mask).prefixlen
    except ValueError:
        return None


def prefix_to_mask(prefix):
    return str(ipaddress.IPv4Network("0.0.0.0/%d" % prefix).netmask)


class Adapter:
    """One veth adapter as a scenario wants it at the start."""

    def __init__(self, name, mac, addresses=(), gateway=None, metric=None):
        self.name = name
        self.mac = mac.lower()
        self.addresses = list(addresses)  # "10.1.0.5/24"
        self.gateway = gateway
        self.metric = metric


class Machine:
    """Owns the namespace pair; every method acts on the machine's namespace."""

    def __init__(self, name):
        self.name = name
        self.peer = name + "-far"
        self.metrics = {}  # adapter name -> metric of its default route
        self._next_metric = 100
        self._key = "machine:" + name

    # -- life cycle -----------------------------------------------------
    def create(self):
        cleanup.register(self._key, "namespace " + self.name, self.destroy)
        run(["ip", "netns", "add", self.name])
        run(["ip", "netns", "add", self.peer])
        # Name resolution inside the namespace must never reach the host's
        # resolver; `ip netns exec` mounts this file over /etc/resolv.conf.
        os.makedirs(self.etc_dir, exist_ok=True)
        with open(os.path.join(self.etc_dir, "resolv.conf"), "w") as f:
            f.write("nameserver 10.0.0.2\n")
        self.ip("link", "set", "lo", "up")
        self.ip("addr", "add", METADATA_ADDRESS + "/32", "dev", "lo")
        run(["ip", "-n", self.peer, "link", "set", "lo", "up"])
        return self

    @property
    def etc_dir(self):
        return os.path.join("/etc/netns", self.name)

    def destroy(self):
        self.kill_processes()
        for ns in (self.name, self.peer):
            run(["ip", "netns", "del", ns], check=False)
        shutil.rmtree(self.etc_dir, ignore_errors=True)
        cleanup.unregister(self._key)

    def pids(self):
        result = run(["ip", "netns", "pids", self.name], check=False)
        return [int(p) for p in result.stdout.split()] if result.returncode == 0 else []

    def kill_processes(self):
        """Everything running in our namespace was started by this harness."""
        for _ in range(20):
            pids = [p for p in self.pids() if p != os.getpid()]
            if not pids:
                return
            for pid in pids:
                cleanup.kill_pid(pid, signal.SIGKILL)
            time.sleep(0.1)

    # -- commands -------------------------------------------------------
    def ip(self, *args, check=True):
        return run(["ip", "-n", self.name] + list(args), check=check)

    def exec_argv(self, argv):
        return ["ip", "netns", "exec", self.name] + list(argv)

    # -- adapters -------------------------------------------------------
    def metric_of(self, name):
        if name not in self.metrics:
            self.metrics[name] = self._next_metric
            self._next_metric += 1
        return self.metrics[name]

    def add_adapter(self, adapter):
        far = "f-" + adapter.name
        run(["ip", "link", "add", adapter.name, "address", adapter.mac, "netns", self.name,
             "type", "veth", "peer", "name", far, "netns", self.peer])
        run(["ip", "-n", self.peer, "link", "set", far, "up"])
        self.ip("link", "set", adapter.name, "up")
        if adapter.metric is not None:
            self.metrics[adapter.name] = adapter.metric
        self.metric_of(adapter.name)
        for address in adapter.addresses:
            self.ip("addr", "add", address, "dev", adapter.name)
        if adapter.gateway:
            self.set_default_route(adapter.name, adapter.gateway)

    def set_default_route(self, dev, gateway):
        """The adapter's one default route, with the adapter's own metric."""
        self.ip("route", "flush", "exact", "0.0.0.0/0", "dev", dev, check=False)
        metric = str(self.metric_of(dev))
        result = self.ip("route", "add", "default", "via", gateway, "dev", dev, "metric", metric,
                         check=False)
        if result.returncode != 0:
            # Windows accepts a gateway outside the adapter's subnet; so do we.
            result = self.ip("route", "add", "default", "via", gateway, "dev", dev, "metric", metric,
                             "onlink", check=False)
        return result

    def has_link(self, dev):
        return self.ip("link", "show", "dev", dev, check=False).returncode == 0

    def addresses(self, dev):
        """IPv4 addresses of one adapter as "a.b.c.d/len", in kernel order."""
        data = json.loads(self.ip("-j", "-4", "addr", "show", "dev", dev).stdout or "[]")
        out = []
        for link in data:
            for info in link.get("addr_info", []):
                out.append("%s/%d" % (info["local"], info["prefixlen"]))
        return out

    def default_routes(self):
        """[(dev, gateway, metric)] of every default route."""
        data = json.loads(self.ip("-j", "-4", "route", "show", "default").stdout or "[]")
        return [(r.get("dev"), r.get("gateway"), r.get("metric", 0)) for r in data]

    def routes_to(self, prefix):
        data = json.loads(self.ip("-j", "-4", "route", "show", prefix).stdout or "[]")
        return [(r.get("dst"), r.get("gateway"), r.get("dev")) for r in data]

    def state(self):
        """Adapter name -> {"mac", "addresses", "default"} for the whole machine."""
        data = json.loads(self.ip("-j", "-4", "addr", "show").stdout or "[]")
        links = json.loads(self.ip("-j", "link", "show").stdout or "[]")
        macs = {link["ifname"]: link.get("address") for link in links}
        defaults = {}
        for dev, gateway, metric in self.default_routes():
            defaults.setdefault(dev, []).append((gateway, metric))
        out = {}
        for name in macs:
            out[name] = {"mac": macs[name], "addresses": [], "default": defaults.get(name, [])}
        for link in data:
            out[link["ifname"]]["addresses"] = ["%s/%d" % (i["local"], i["prefixlen"])
                                                for i in link.get("addr_info", [])]
        return out

    def show(self):
        """What `ip -4 addr` and `ip -4 route` say, for people to read."""
        addr = self.ip("-4", "-br", "addr", "show").stdout
        route = self.ip("-4", "route", "show").stdout
        return addr.rstrip("\n") + "\n-- routes --\n" + route.rstrip("\n")


def sweep_stale(prefix):
    """Remove namespaces left behind by a harness run that was killed hard."""
    result = run(["ip", "netns", "list"], check=False)
    for line in result.stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        if not name.startswith(prefix):
            continue
        try:
            owner = int(name[len(prefix):].split("-")[0])
        except ValueError:
            continue
        if owner == os.getpid() or os.path.exists("/proc/%d" % owner):
            continue
        stale = Machine(name[:-4] if name.endswith("-far") else name)
        stale.destroy()
