"""What addrsmith.exe itself asks, runs, prints and writes, as the harness expects it.

Everything else in the harness describes the simulated machine; this is the
one place that knows the program: the metadata resources it fetches, the
command lines it runs, the lines it logs and prints, and its files. A change
in the program's texts is made here once.
"""
import datetime
import re

# -- metadata service ---------------------------------------------------
# The default METADATA_BASE_URL the program is built with.
METADATA_URL = "http://169.254.0.254"
MAC_PATH = "/meta-data/mac"
MACS = "/meta-data/network/interfaces/macs/"


def adapter_paths(mac, primary):
    """The resources the program fetches for one listed adapter."""
    base = MACS + mac + "/"
    return {
        "primary": base + "primary-local-ipv4/",
        "ips": base + "local-ipv4s/",
        "gateway": base + "local-ipv4s/" + primary + "/gateway",
        "mask": base + "local-ipv4s/" + primary + "/subnet-mask",
    }


def fetch_paths(*desired, upto="mask"):
    """The requests of one run, in order: the main MAC, the listing, then per
    adapter its resources up to `upto` (where a failed check stops it)."""
    order = ["primary", "ips", "gateway", "mask"]
    paths = [MAC_PATH, MACS]
    for d in desired:
        p = d.paths()
        paths += [p[k] for k in order[:order.index(upto) + 1]]
    return paths


# -- commands -----------------------------------------------------------
NETSH = r"c:\windows\system32\netsh.exe"
ROUTE_CMD = "route add 169.254.0.0 mask 255.255.128.0 10.0.0.1"


def set_command(dev, address, mask, gateway):
    return '%s interface ip set address name="%s" static %s %s %s' % (NETSH, dev, address, mask, gateway)


def add_command(dev, address, mask):
    return '%s interface ip add address name="%s" %s %s' % (NETSH, dev, address, mask)


def commands_for(dev, desired):
    ips = desired.ip_list()
    return [set_command(dev, ips[0], desired.mask, desired.gateway)] + \
        [add_command(dev, ip, desired.mask) for ip in ips[1:]]


# -- files --------------------------------------------------------------
WINDOWS_DIR = r"c:\windows"
INI_NAME = "ipconfig_xen_vm.ini"
BACKUP_NAME = "ipconfig_xen_vm_backup.ini"
LOG_NAME = "ipconfig_addrsmith.log"
INI_PATH = WINDOWS_DIR + "\\" + INI_NAME
LOG_PATH = WINDOWS_DIR + "\\" + LOG_NAME

# -- console ------------------------------------------------------------
CONSOLE_LINE_START = "set netcard info"
SUCCESS_LINE = CONSOLE_LINE_START + " success"
FAIL_LINE = CONSOLE_LINE_START + " fail, detail log in " + LOG_PATH
SERIAL_PREFIX = r"addrsmith \d+\.\d+\.\d+: "  # before the closing line on COM1
NOTHING_LINE = "nothing to configure, no additional adapter listed"  # on COM1 for a failure line
# The Application log's source, which the program registers itself.
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\addrsmith"

# -- run log ------------------------------------------------------------
STAMP = re.compile(r"^(start|end) time \d{4}-\d{1,2}-\d{1,2},[ 1-2]\d:[ 1-5]\d:[ 1-5]\d$")


def stamp_time(line):
    """The local time a start or end stamp gives (whole seconds), or None."""
    if not STAMP.match(line):
        return None
    return datetime.datetime(*map(int, re.findall(r"\d+", line)))


# While nothing answers the first request, or the service answers it "busy",
# the run waits up to 120 s for the service, adding the metadata route again
# every 12 s while its lines allow. A later request answered "busy" is asked
# again, with one line.
SERVICE_WAIT = "no answer from the metadata service, waiting up to 120 s for it"
SERVICE_BUSY = "metadata service busy (HTTP %d), waiting up to 120 s for it"
ASKED_AGAIN = "metadata service busy (HTTP %d) for " + METADATA_URL + "%s, asking again"
SERVICE_ANSWERED = re.compile(r"^metadata service answered \d+ s after the first request$")
SERVICE_GAVE_UP = re.compile(r"^metadata service still unreachable (\d+) s after the first request$")
SERVICE_WAIT_SECONDS = 120


def builder_lines(d):
    """The builder's lines for one adapter that passes every check."""
    lines = ["config main ip=" + d.primary, "vecIps.size:%d" % len(d.ips)]
    lines += ["config ip=" + ip for ip in d.ips]
    lines += ["config gateway=" + d.gateway, "config mask=" + d.mask, "config macaddr=" + d.mac]
    return lines


def snapshot_lines(dev, addresses, masks, gateway):
    """The lines of reading one adapter's current settings."""
    lines = ["Find Adapter Name: " + dev, "begin getCurrentConfig",
             re.compile(r"^current config AdapterName: \S+$")]
    for address, mask in zip(addresses, masks):
        lines += ["current config ip=" + address, "current config mask=" + mask]
    if gateway:
        lines.append("current config gateway=" + gateway)
    return lines
