"""What most scenarios share: the machine's two secondary adapters as they
start, what the service asks for them, and opening a lab set up with them;
and a large machine's many adapters, made to order.
"""
from ..lab import MAIN, STANDARD_INI, Desired, Lab, metadata_tree
from ..machine import Adapter

# The two secondary adapters most scenarios use.
ETH1 = Adapter("eth1", "52:54:00:ab:cd:01", ["10.1.0.99/24"], "10.1.0.254", metric=101)
ETH2 = Adapter("eth2", "52:54:00:ab:cd:02", ["10.2.0.50/24"], None, metric=102)
WANT1 = Desired("52:54:00:ab:cd:01", "10.1.0.5", gateway="10.1.0.1")
# Listed with the primary in the middle: the tool puts it first.
WANT2 = Desired("52:54:00:ab:cd:02", "10.2.0.7", ["10.2.0.8", "10.2.0.7", "10.2.0.9"],
                gateway="10.2.0.1", mask="255.255.0.0")


def secondaries(count):
    """`count` secondary adapters eth1... as they start, each with a stale
    address (every other one a stale gateway too), paired with what the
    service asks for it: every third adapter two addresses in a /16, the
    others one in a /24."""
    pairs = []
    for i in range(1, count + 1):
        mac = "52:54:00:ab:ce:%02x" % i
        net = "10.%d.0." % (100 + i)
        adapter = Adapter("eth%d" % i, mac, [net + "99/24"], net + "254" if i % 2 else None, metric=100 + i)
        if i % 3 == 0:
            want = Desired(mac, net + "5", [net + "6", net + "5"], gateway=net + "1", mask="255.255.0.0")
        else:
            want = Desired(mac, net + "5", gateway=net + "1")
        pairs.append((adapter, want))
    return pairs


def new_lab(env, name):
    return Lab(name, env.prefix, env.exe, env.workdir)


def setup_one(lab, tree=None, ini=STANDARD_INI, scripted=False):
    """The main adapter and eth1, the service asking for WANT1 unless told
    otherwise; nginx serves it, or with `scripted` the server that misbehaves."""
    lab.add(MAIN, ETH1)
    lab.serve(tree or metadata_tree([WANT1]), scripted=scripted)
    lab.files(ini)


def setup_two(lab, tree=None, scripted=False):
    lab.add(MAIN, ETH1, ETH2)
    lab.serve(tree or metadata_tree([WANT1, WANT2]), scripted=scripted)
    lab.files(STANDARD_INI)
