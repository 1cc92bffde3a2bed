"""Wine prefix, command doubles, and running a Windows program on a pty."""
import errno
import fcntl
import os
import re
import select
import shutil
import struct
import subprocess
import termios
import threading
import time
import pty
import tty

from . import cleanup, program

HERE = os.path.dirname(os.path.abspath(__file__))
DOUBLES_SRC = os.path.join(os.path.dirname(HERE), "doubles")
SOURCE_DIR = os.path.join(os.path.dirname(os.path.dirname(HERE)), "src")  # the tool's, for its fetch
COM1_SCRIPT = os.path.join(os.path.dirname(os.path.dirname(HERE)), "tests", "win32", "wine_prefix.sh")
CXX = "x86_64-w64-mingw32-g++"
OBJDUMP = "x86_64-w64-mingw32-objdump"

# Wine's console draws a blank as "erase to end of line, cursor forward";
# turn cursor-forward back into blanks before dropping the other sequences.
CURSOR_FORWARD = re.compile(r"\x1b\[(\d*)C")
ANSI = re.compile(r"\x1b\[[0-9;?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(\x07|\x1b\\)|\x1b[()][0-9A-B]|\x1b[=>78]")


# Program -> (source, libraries): the command doubles, the yardsticks the
# figures time the tool against, and the proxy probe.
DOUBLES = {
    "command_double.exe": ("command_double.cpp", []),  # netsh.exe and route.exe
    "trivial.exe": ("trivial.cpp", []),
    "two_children.exe": ("two_children.cpp", []),
    "winhttp_sessions.exe": ("winhttp_sessions.cpp", ["-lwinhttp"]),  # the tool's own fetch
    "adapter_table.exe": ("adapter_table.cpp", ["-liphlpapi"]),
    "proxy_probe.exe": ("proxy_probe.cpp", ["-lwinhttp"]),
    "decoy.exe": ("decoy.cpp", []),  # planted as route.exe and netsh.exe where they must never run
}


def build_doubles(outdir):
    """Every program of DOUBLES, built into `outdir`; name -> path."""
    os.makedirs(outdir, exist_ok=True)
    flags = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-static", "-s", "-I" + SOURCE_DIR]
    built = {}
    for name, (source, libraries) in DOUBLES.items():
        target = os.path.join(outdir, name)
        subprocess.run([CXX] + flags + ["-o", target, os.path.join(DOUBLES_SRC, source)] + libraries,
                       check=True)
        built[name] = target
    return built


class Prefix:
    """One Wine prefix for the whole harness run, with the doubles installed
    and COM1 on a pseudo-terminal of the harness's own."""

    def __init__(self, path):
        self.path = path
        self.spool = os.path.join(path, "drive_c", "e2e-spool")

    def env(self, extra=None):
        env = {
            "PATH": os.environ.get("PATH", "/usr/local/bin:/usr/bin:/bin"),
            "HOME": os.environ.get("HOME", "/root"),
            "TERM": os.environ.get("TERM") or "xterm",
            "WINEPREFIX": self.path,
            "WINEDEBUG": "-all",
            # The doubles must win over Wine's own netsh; no Mono/Gecko prompts.
            "WINEDLLOVERRIDES": "netsh.exe=n;mscoree,mshtml=",
            "LC_ALL": "C",
        }
        if extra:
            env.update(extra)
        return env

    @property
    def windows(self):
        return os.path.join(self.path, "drive_c", "windows")

    @property
    def system32(self):
        return os.path.join(self.windows, "system32")

    def win_path(self, unix_path):
        """The Z: form Wine gives an absolute Unix path."""
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def create(self, doubles):
        if not os.path.exists(os.path.join(self.path, "system.reg")):
            os.makedirs(self.path, exist_ok=True)
            cleanup.register("wineserver:" + self.path, "wineserver", self.kill_server)
            subprocess.run(["wineboot", "-i"], env=self.env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True, timeout=300)
            subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\DllOverrides", "/v",
                            "netsh.exe", "/t", "REG_SZ", "/d", "native", "/f"], env=self.env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=120)
        # Before the program first runs: it writes to COM1, which a new
        # prefix links to this machine's own serial port. The terminal's
        # other end stays open here, so that reading it never fails.
        self.serial, self._serial_end = os.openpty()
        tty.setraw(self._serial_end)  # the bytes as written
        self.map_com1(os.ttyname(self._serial_end))
        for name in ("netsh.exe", "route.exe"):
            shutil.copyfile(doubles["command_double.exe"], os.path.join(self.system32, name))
        os.makedirs(self.spool, exist_ok=True)
        return self

    def map_com1(self, target):
        """COM1 to `target`, as for the Windows-layer tests' prefixes."""
        subprocess.run(["sh", COM1_SCRIPT, target], env=self.env(), check=True, timeout=120)
        self.kill_server()

    def take_serial(self):
        """What arrived on COM1 since the last call (one run's line or two:
        far less than a terminal holds)."""
        data = b""
        while select.select([self.serial], [], [], 0)[0]:
            data += os.read(self.serial, 65536)
        return data

    def kill_server(self):
        """Stop wineserver and every Wine process of this prefix."""
        if not os.path.isdir(self.path):
            return
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    # -- the files the program reads and writes -------------------------
    @property
    def ini(self):
        return os.path.join(self.windows, program.INI_NAME)

    @property
    def backup(self):
        return os.path.join(self.windows, program.BACKUP_NAME)

    @property
    def log(self):
        return os.path.join(self.windows, program.LOG_NAME)

    @property
    def lastrun(self):
        return os.path.join(self.windows, program.LASTRUN_NAME)

    def make_immutable(self, path, on):
        """chattr +i / -i: the one way to stop root (and Wine run as root)
        writing a file. False when the file system or tool does not allow it."""
        key = "immutable:" + path
        if on:
            cleanup.register(key, "chattr -i " + path, lambda: self.make_immutable(path, False))
        result = subprocess.run(["chattr", "+i" if on else "-i", path], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL) if shutil.which("chattr") else None
        if not on:
            cleanup.unregister(key)
        return result is not None and result.returncode == 0

    def reset_files(self, ini_text):
        for path in (self.ini, self.ini + ".new", self.backup, self.log, self.lastrun):
            # A scenario may have left a folder in a file's place.
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                try:
                    os.unlink(path)
                except PermissionError:  # left immutable by an interrupted run
                    self.make_immutable(path, False)
                    os.unlink(path)
        if ini_text is not None:
            with open(self.ini, "wb") as f:
                f.write(ini_text.replace("\r\n", "\n").replace("\n", "\r\n").encode("ascii"))


class PtyRun:
    def __init__(self):
        self.output = b""
        self.started = None  # time.time() at the start and at the end
        self.ended = None
        self.status = None
        self.rusage = None
        self.seconds = None
        self.timed_out = False
        self.answered_at = None
        self.vm_hwm_kib = None  # peak resident size of the program's own process

    @property
    def text(self):
        raw = self.output.decode("utf-8", errors="replace")
        raw = CURSOR_FORWARD.sub(lambda m: " " * int(m.group(1) or 1), raw)
        lines = ANSI.sub("", raw).replace("\r", "").split("\n")
        return "\n".join(line.rstrip() for line in lines)

    @property
    def exit_code(self):
        if self.status is None:
            return None
        return os.waitstatus_to_exitcode(self.status)

    @property
    def peak_rss_kib(self):
        return self.rusage.ru_maxrss if self.rusage else None


def run_on_pty(argv, env, timeout, answer_when=(b"Press any key", program.CONSOLE_LINE_START.encode()),
               on_tick=None, cwd=None):
    """Run `argv` on a fresh pseudo-terminal and answer "pause" with Enter.

    Wine writes console output only to a terminal. Enter is sent once any of
    `answer_when` has shown up and again every second while the program is
    still there, so a pause that began before its prompt was seen is still
    answered. `on_tick(run)` is called a few times a second.
    """
    run = PtyRun()
    start = run.started = time.time()
    pid, fd = pty.fork()
    if pid == 0:  # child
        try:
            if cwd:
                os.chdir(cwd)
            os.execvpe(argv[0], argv, env)
        finally:
            os._exit(127)
    key = "pty:%d" % pid
    cleanup.register(key, "pty child", lambda: cleanup.kill_pid(pid))
    try:
        fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 132, 0, 0))
        last_enter = 0.0
        while True:
            ready, _, _ = select.select([fd], [], [], 0.2)
            if ready:
                try:
                    chunk = os.read(fd, 65536)
                except OSError as error:
                    if error.errno != errno.EIO:
                        raise
                    chunk = b""
                run.output += chunk
            hwm = _vm_hwm(pid)
            if hwm is not None:
                run.vm_hwm_kib = max(run.vm_hwm_kib or 0, hwm)
            done_pid, status, rusage = os.wait4(pid, os.WNOHANG)
            if done_pid == pid:
                run.status, run.rusage = status, rusage
                break
            now = time.time()
            if any(marker in run.output for marker in answer_when) and now - last_enter > 1.0:
                if run.answered_at is None:
                    run.answered_at = now - start
                try:
                    os.write(fd, b"\r")
                except OSError:
                    pass
                last_enter = now
            if on_tick:
                on_tick(run)
            if now - start > timeout:
                run.timed_out = True
                cleanup.kill_pid(pid)
                _, run.status, run.rusage = os.wait4(pid, 0)
                break
        # Drain what is left.
        while True:
            try:
                ready, _, _ = select.select([fd], [], [], 0.05)
                if not ready:
                    break
                chunk = os.read(fd, 65536)
                if not chunk:
                    break
                run.output += chunk
            except OSError:
                break
    finally:
        os.close(fd)
        cleanup.unregister(key)
    run.ended = time.time()
    run.seconds = run.ended - start
    return run


def run_together(argvs, env, timeout):
    """Start every argv at the same moment, each on a pseudo-terminal of its
    own with "pause" answered as run_on_pty does; their runs, in argv order."""
    barrier = threading.Barrier(len(argvs))
    runs = [None] * len(argvs)
    errors = []

    def one(index):
        try:
            barrier.wait(timeout=30)
            runs[index] = run_on_pty(argvs[index], env, timeout)
        except Exception as error:  # reported by the caller's thread
            errors.append(error)

    threads = [threading.Thread(target=one, args=(i,), name="run%d" % i, daemon=True)
               for i in range(len(argvs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return runs


def _vm_hwm(pid):
    """VmHWM of a live process in KiB; the pid keeps through ip netns exec and
    Wine's loader, which exec in place, so it is the program's own process."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


def imported_dlls(exe):
    out = subprocess.run([OBJDUMP, "-p", exe], stdout=subprocess.PIPE, text=True, check=True).stdout
    return [m.group(1) for m in re.finditer(r"DLL Name:\s*(\S+)", out)]
