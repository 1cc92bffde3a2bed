"""The Windows Installer package, in a fresh prefix: installed, upgraded, removed; a refused INTERVAL leaves nothing."""
import os
import re
import subprocess

from .. import wine
from ..checks import Checker
from ..env import REPO
from ..lab import Lab, read_bytes
from ..program import EVENT_SOURCE_KEY, SUCCESS_LINE
from .common import setup_one
from .service import EXE, SERVICE_KEY, wait_for_blocks


def package_lifecycle(env):
    """The package installed, upgraded and removed in a fresh prefix; a refused INTERVAL leaves nothing."""
    ck, versions = Checker("package_lifecycle"), ["1.0.0", "1.0.1"]
    path = os.path.join(env.workdir, "package-%d" % os.getpid())  # fresh: nothing installed, no service to boot
    msis = [os.path.join(env.workdir, "addrsmith-%s-x64.msi" % version) for version in versions]
    for version, msi in zip(versions, msis):
        subprocess.run([os.path.join(REPO, "tools", "msi", "build.sh"), env.exe, version, msi], check=True)
    prefix, folder = wine.Prefix(path).create(env.doubles), os.path.join(path, "drive_c", "Program Files", "addrsmith")
    with Lab("package", prefix, env.exe, env.workdir) as lab:
        def msiexec(action, msi, *properties):
            return lab.wine(["msiexec", action, prefix.win_path(msi), "/qn"] + list(properties), timeout=300).returncode

        def left():  # folder, service, keys, and the versions in Programs and Features (only ours, in this prefix)
            keys = (SERVICE_KEY, EVENT_SOURCE_KEY, r"HKLM\Software\addrsmith")
            found = lab.wine(["reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s"]).stdout
            return ([os.path.exists(folder)] + [lab.wine(["reg", "query", key]).returncode == 0 for key in keys] +
                    re.findall(r"DisplayVersion\s+REG_SZ\s+(\S+)", found.decode("latin-1")))

        setup_one(lab)
        lab.start_services()
        try:
            ck.eq((msiexec("/i", msis[0], "INTERVAL=4") != 0, left()), (True, [False] * 4), "INTERVAL=4 fails, clean")
            for runs, (msi, version) in enumerate(zip(msis, versions), 1):  # the upgrade keeps INTERVAL=120
                ck.eq(msiexec("/i", msi, *(["INTERVAL=120"] if runs == 1 else [])), 0, "install " + version)
                out = wait_for_blocks(lab, runs, 60)
                ck.eq((left()[4:], read_bytes(os.path.join(folder, "addrsmith.exe")) == read_bytes(env.exe),
                       lab.registry_values(SERVICE_KEY).get("ImagePath", [None])[-1],
                       "RUNNING" in lab.wine(["sc", "query", "addrsmith"]).stdout.decode(),
                       len(out.blocks) == runs and SUCCESS_LINE in out.serial),
                      ([version], True, '"%s" --service --interval 120' % EXE, True, True),
                      version + ": one product, the exe, the image path quoted, the service running, its run done")
                ck.event_source(lab, EXE)
            ck.eq((msiexec("/x", msis[1]), left(), [read_bytes(p) is None for p in (prefix.ini, prefix.backup,
                   prefix.log)]), (0, [False] * 4, [False] * 3), "all removed but the machine's INI, backup and log")
        finally:
            lab.wine(["cmd", "/c", "sc stop addrsmith & sc delete addrsmith"])
    return [ck]
