"""What most scenarios share: the machine's two secondary adapters as they
start, what the service asks for them, and opening a lab set up with them.
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


def new_lab(env, name):
    return Lab(name, env.prefix, env.exe, env.workdir)


def setup_one(lab, tree=None, ini=STANDARD_INI, scripted=False):
    """The main adapter and eth1, the service asking for WANT1 unless told
    otherwise; nginx serves it, or with `scripted` the server that misbehaves."""
    lab.add(MAIN, ETH1)
    lab.serve(tree or metadata_tree([WANT1]), scripted=scripted)
    lab.files(ini)


def setup_two(lab, tree=None):
    lab.add(MAIN, ETH1, ETH2)
    lab.serve(tree or metadata_tree([WANT1, WANT2]))
    lab.files(STANDARD_INI)
