#!/usr/bin/env python3
"""Checks that addrsmith.exe is the same byte for byte wherever and whenever
it is built, so that anyone can rebuild a release and compare its SHA-256.

Builds the program once more (only the addrsmith target) from a copy of the
sources in another folder, into another build folder, in another time zone
and locale, with SOURCE_DATE_EPOCH set where it was unset (or the other way
round), and compares the result with EXE. On a difference it names the first
differing offset and what lies there (a PE header field or a section).

    tools/check_reproducible.py [EXE]        EXE: build/windows/addrsmith.exe;
                                             the second build goes to build/repro-check
    tools/check_reproducible.py --self-test EXE   prove that it finds and names differences
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join("build", "repro-check")
SHOWN = 5  # differing places listed, at most


def regions(data):
    """(start, end, name) of the header fields a rebuild may change and of
    each section, from the PE headers of data."""
    coff = struct.unpack_from("<I", data, 0x3C)[0] + 4
    sections, optional_size = struct.unpack_from("<H", data, coff + 2)[0], \
        struct.unpack_from("<H", data, coff + 16)[0]
    optional = coff + 20
    found = [(coff + 4, coff + 8, "PE header: TimeDateStamp (the link time)"),
             (optional + 64, optional + 68, "PE header: CheckSum (covers the whole file)")]
    found.append((0, struct.unpack_from("<I", data, optional + 60)[0], "PE headers"))
    table = optional + optional_size
    for i in range(sections):
        entry = table + 40 * i
        name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        size, start = struct.unpack_from("<II", data, entry + 16)
        if size:  # .bss and the like take no room in the file
            found.append((start, start + size, "section %s" % name))
    return found


def where(data, offset):
    """What lies at offset in data, in words."""
    try:
        found = regions(data)
    except struct.error:
        return "not a PE file"
    for start, end, name in found:
        if start <= offset < end:
            return name if name.startswith("PE") else "%s +0x%x" % (name, offset - start)
    return "outside the headers and every section"


def differences(a, b):
    """[(offset, length)] of the runs of differing bytes, and a length
    difference as one run from the end of the shorter."""
    runs = []
    for offset in range(min(len(a), len(b))):
        if a[offset] != b[offset]:
            if runs and runs[-1][0] + runs[-1][1] == offset:
                runs[-1] = (runs[-1][0], runs[-1][1] + 1)
            else:
                runs.append((offset, 1))
    if len(a) != len(b):
        runs.append((min(len(a), len(b)), abs(len(a) - len(b))))
    return runs


def report(name_a, a, name_b, b):
    """Lines that say how a and b differ; empty when they do not."""
    runs = differences(a, b)
    if not runs:
        return []
    lines = ["%s and %s differ in %d places; the first at offset 0x%x: %s"
             % (name_a, name_b, len(runs), runs[0][0], where(a, runs[0][0]))]
    if len(a) != len(b):
        lines.append("  sizes: %d and %d bytes" % (len(a), len(b)))
    for offset, length in runs[:SHOWN]:
        lines.append("  0x%06x, %d bytes: %s: %s / %s"
                     % (offset, length, where(a, offset),
                        a[offset:offset + min(length, 8)].hex(), b[offset:offset + min(length, 8)].hex()))
    if len(runs) > SHOWN:
        lines.append("  ... and %d more" % (len(runs) - SHOWN))
    return lines


def build_settings(exe):
    """The metadata address and the build type EXE was built with, from the
    CMake cache beside it, as settings for the second build: the address is
    part of the program, and another type optimizes another way."""
    try:
        with open(os.path.join(os.path.dirname(exe), "CMakeCache.txt")) as cache:
            return ["-D" + line.strip().replace(":STRING", "", 1) for line in cache
                    if line.startswith(("METADATA_BASE_URL:STRING=", "CMAKE_BUILD_TYPE:STRING="))]
    except OSError:
        return []


def rebuild(settings):
    """Builds addrsmith.exe from a copy of the sources under WORK, with another
    time zone, locale and SOURCE_DATE_EPOCH and the given settings; returns its
    path and what varied."""
    work = os.path.join(ROOT, WORK)
    shutil.rmtree(work, ignore_errors=True)
    source, build = os.path.join(work, "source-copy"), os.path.join(work, "out")
    top = {"build", "dist", ".git"}
    shutil.copytree(ROOT, source, ignore=lambda d, names:
                    [n for n in names if d == ROOT and n in top])
    env = dict(os.environ)
    locale = env.get("LC_ALL") or env.get("LC_CTYPE") or env.get("LANG") or "C"
    env["LC_ALL"] = "C" if locale == "C.UTF-8" else "C.UTF-8"
    env["TZ"] = "XST-14"  # 14 hours ahead of UTC: for most of the day another date
    if env.pop("SOURCE_DATE_EPOCH", None) is None:
        env["SOURCE_DATE_EPOCH"] = "946684800"
    varied = "sources copied to %s, TZ=%s, LC_ALL=%s, SOURCE_DATE_EPOCH%s" % (
        os.path.relpath(source, ROOT), env["TZ"], env["LC_ALL"],
        "=" + env["SOURCE_DATE_EPOCH"] if "SOURCE_DATE_EPOCH" in env else " unset")
    log = os.path.join(work, "build.log")
    with open(log, "w") as out:
        for command in (["cmake", "-S", source, "-B", build, "-G", "Unix Makefiles",
                         "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-w64-x86_64.cmake" % source] + settings,
                        ["cmake", "--build", build, "--target", "addrsmith",
                         "-j%d" % (os.cpu_count() or 2)]):
            if subprocess.run(command, env=env, stdout=out, stderr=subprocess.STDOUT).returncode:
                return None, "the second build failed; see %s" % os.path.relpath(log, ROOT)
    return os.path.join(build, "addrsmith.exe"), varied


def self_test(exe):
    """Changes the link time, a byte of the first section and the length of a
    copy of exe, and expects each to be found and named."""
    with open(exe, "rb") as f:
        data = f.read()
    stamp, section = regions(data)[0][0], regions(data)[3]
    failures = []
    if report("a", data, "b", data):
        failures.append("a file differs from itself")
    for change, expected in ((stamp, "TimeDateStamp"), ((section[0] + section[1]) // 2, section[2])):
        changed = bytearray(data)
        changed[change] ^= 0xFF
        lines = report("a", data, "b", bytes(changed))
        if not lines or "offset 0x%x: " % change not in lines[0] or expected not in lines[0]:
            failures.append("a byte changed at 0x%x (%s): %s" % (change, expected, lines))
    lines = report("a", data, "b", data + b"\0")
    if not lines or "offset 0x%x" % len(data) not in lines[0]:
        failures.append("one byte more was not found: %s" % lines)
    for failure in failures:
        print("self-test: " + failure)
    print("self-test: %s" % ("failed" if failures else
                             "a changed link time, a changed section byte and a longer file are named"))
    return 1 if failures else 0


def main(argv):
    if len(argv) == 3 and argv[1] == "--self-test":
        return self_test(argv[2])
    if len(argv) > 2 or (len(argv) == 2 and argv[1].startswith("-")):
        print(__doc__.strip())
        return 2
    exe = os.path.abspath(argv[1]) if len(argv) == 2 else \
        os.path.join(ROOT, "build", "windows", "addrsmith.exe")
    other, varied = rebuild(build_settings(exe))
    if other is None:
        print("reproducible: " + varied)
        return 1
    with open(exe, "rb") as f:
        a = f.read()
    with open(other, "rb") as f:
        b = f.read()
    exe, other = os.path.relpath(exe, ROOT), os.path.relpath(other, ROOT)
    lines = report(exe, a, other, b)
    for line in lines:
        print("reproducible: " + line if line is lines[0] else line)
    print("reproducible: %s (second build: %s)" % (
        "NOT the same bytes" if lines else
        "%s and %s are the same %d bytes, sha256 %s" % (exe, other, len(a), hashlib.sha256(a).hexdigest()),
        varied))
    return 1 if lines else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
