"""What every harness command needs: the program, the doubles, the prefix."""
import os
import shutil
import sys
import tempfile

from . import cleanup, machine, program, wine

E2E_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(E2E_DIR)
BUILD_CANDIDATES = [os.path.join(REPO, "build", "windows"), os.path.join(REPO, "build")]
NS_PREFIX = "asme2e"


def add_arguments(parser):
    parser.add_argument("--build-dir", default=os.environ.get("ADDRSMITH_BUILD_DIR"),
                        help="Windows build directory holding addrsmith.exe "
                             "(env ADDRSMITH_BUILD_DIR; default: first of %s that has it)"
                             % ", ".join(BUILD_CANDIDATES))
    parser.add_argument("--exe", default=os.environ.get("ADDRSMITH_EXE"),
                        help="path of addrsmith.exe (env ADDRSMITH_EXE; default BUILD_DIR/addrsmith.exe)")
    parser.add_argument("--workdir", default=os.environ.get("ADDRSMITH_E2E_WORKDIR"),
                        help="folder for the Wine prefix, doubles and per-scenario files "
                             "(default: a new folder under /tmp, removed afterwards)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder afterwards")
    parser.add_argument("-v", "--verbose", action="store_true", help="show every run's console and log")


def find_exe(args):
    if args.exe:
        return os.path.abspath(args.exe)
    dirs = [args.build_dir] if args.build_dir else BUILD_CANDIDATES
    for d in dirs:
        candidate = os.path.join(d, "addrsmith.exe")
        if os.path.isfile(candidate):
            return os.path.abspath(candidate)
    sys.exit("addrsmith.exe not found in %s; give --exe or --build-dir" % ", ".join(dirs))


def preflight():
    if os.geteuid() != 0:
        sys.exit("the e2e harness needs root (network namespaces)")
    missing = [tool for tool in ("wine", "wineserver", "ip", wine.CXX) if not shutil.which(tool)]
    if missing:
        sys.exit("missing tools: " + ", ".join(missing))


class Env:
    def __init__(self, args, log=print):
        preflight()
        cleanup.install_handlers()
        machine.sweep_stale(NS_PREFIX)
        self.exe = find_exe(args)
        self.verbose = args.verbose
        self.log = log
        if args.workdir:
            self.workdir = os.path.abspath(args.workdir)
            os.makedirs(self.workdir, exist_ok=True)
        else:
            self.workdir = tempfile.mkdtemp(prefix="addrsmith-e2e-")
            if not args.keep:
                cleanup.register("workdir", "work folder", lambda: shutil.rmtree(self.workdir, True))
        self.outcomes = {}
        self.log("building the command doubles ...")
        self.doubles = wine.build_doubles(os.path.join(self.workdir, "bin"))
        self.prefix = wine.Prefix(os.path.join(self.workdir, "wineprefix"))
        self.log("preparing the Wine prefix %s ..." % self.prefix.path)
        self.prefix.create(self.doubles)
        cleanup.register("wineserver", "wineserver", self.prefix.kill_server)
        if args.workdir or args.keep:  # a kept prefix must not name our terminal once it is gone
            cleanup.register("com1", "COM1 to /dev/null", lambda: self.prefix.map_com1(os.devnull))

    def show(self, checker, out):
        """Remember a part's last run, for the report when it fails."""
        self.outcomes[checker.name] = out
        if self.verbose:
            self.log(describe_run(out))


def describe_run(out):
    lines = ["--- console ---", out.console.strip("\n"), "--- COM1 ---", repr(out.serial), "--- commands ---"]
    for c in out.commands:
        lines.append("%s   [%s, exit %s%s]" % (c.line, c.action, c.exit_code,
                                              ", " + c.error if c.error else ""))
    lines.append("--- metadata requests: %d ---" % len(out.requests))
    lines.append("--- run log (last block) ---")
    lines += out.block
    lines.append("--- %s ---" % program.INI_NAME)
    lines.append((out.ini or b"(none)").decode("latin-1").replace("\r\n", "\n").rstrip("\n"))
    return "\n".join(lines)
