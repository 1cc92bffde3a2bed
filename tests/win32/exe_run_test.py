#!/usr/bin/env python3
"""Runs the real addrsmith.exe under Wine on a pseudo-terminal and checks the
block it appends to its run log and the line it leaves on the console.

Without a saved configuration file the run must stop at once: the block then
holds exactly the stamps, the missing-file line and the driver's failure line.
Run twice, the log holds two blocks, each ended by an empty line. Run a third
time with its output captured in a file, the closing line lands in that file.
"""
import os
import pty
import re
import select
import subprocess
import sys
import time

EXE = sys.argv[1]
PREFIX = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
WINDOWS = os.path.join(PREFIX, "drive_c", "windows")
LOG = os.path.join(WINDOWS, "ipconfig_addrsmith.log")
INI = os.path.join(WINDOWS, "ipconfig_xen_vm.ini")

# The log is a text file written by the C runtime: lines end in CR LF.
STAMP = r"%s time \d{4}-\d{1,2}-\d{1,2},[ \d]\d:[ \d]\d:[ \d]\d\r\n"
BLOCK = re.compile(
    STAMP % "start"
    + r"starting config ip address\r\n"
    + r"config file not exist\r\n"
    + r"config file error , enable local network fail\r\n"
    + r"configure end\r\n"
    + STAMP % "end"
    + r"\r\n"
)


def ensure_prefix():
    """Made if missing, and COM1 mapped away from this machine's serial port
    before the program (which writes to COM1) runs there."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine_prefix.sh")
    subprocess.run(["sh", script], check=True, env=dict(os.environ, WINEPREFIX=PREFIX), timeout=300)


def run_on_terminal():
    """Runs the program with a terminal as its console; answers "pause"."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp("wine", ["wine", EXE])
    seen = b""
    answered = False
    deadline = time.time() + 180
    while time.time() < deadline:
        ready, _, _ = select.select([fd], [], [], 1.0)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        # "pause" takes a key only once it is asking for one.
        if not answered and b"continue" in seen:
            time.sleep(0.5)
            os.write(fd, b"x")
            answered = True
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    # Wine's console draws with terminal escapes between the characters.
    # A blank is drawn as "cursor forward".
    text = re.sub(r"\x1b\[(\d*)C", lambda m: " " * int(m.group(1) or 1), seen.decode("latin-1"))
    text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", text)
    return text, os.waitstatus_to_exitcode(status)


def main():
    ensure_prefix()
    for path in (LOG, INI, INI + ".new"):  # a working copy would be put back and the run go on
        if os.path.exists(path):
            os.remove(path)

    failures = []
    for run in (1, 2):
        console, status = run_on_terminal()
        if status != 0:
            failures.append(f"run {run}: exit status {status}")
        want = "set netcard info fail, detail log in c:\\windows\\ipconfig_addrsmith.log"
        if want not in console:
            failures.append(f"run {run}: console line missing; console showed {console!r}")
        with open(LOG, "rb") as f:
            log = f.read().decode("latin-1")
        blocks = BLOCK.findall(log)
        if len(blocks) != run or "".join(blocks) != log:
            failures.append(f"run {run}: log is not {run} well-formed block(s):\n{log}")

    # Output captured by the caller (`addrsmith.exe > result.txt`): the run
    # gives standard output back, not the console, so the line is in the file.
    captured = os.path.join(WINDOWS, "..", "addrsmith-captured.txt")
    with open(captured, "wb") as out, open(os.devnull, "rb") as nothing:
        status = subprocess.run(["wine", EXE], stdout=out, stdin=nothing, stderr=subprocess.DEVNULL,
                                env=os.environ, timeout=120).returncode
    with open(captured, "rb") as f:
        text = f.read().decode("latin-1")
    os.remove(captured)
    want = "set netcard info fail, detail log in c:\\windows\\ipconfig_addrsmith.log\r\n"
    if status != 0 or not text.startswith(want):
        failures.append(f"captured run: exit {status}, standard output held {text!r}")

    for failure in failures:
        print("FAIL:", failure)
    print(f"{3 - min(3, len(failures))} passed, {min(3, len(failures))} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
