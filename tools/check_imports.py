#!/usr/bin/env python3
"""Holds addrsmith.exe to what the oldest supported Windows (5.2) has.

Reads the program's PE header and import tables (x86_64-w64-mingw32-objdump -p)
and refuses:
  - any imported function that tools/imports-allowed.txt does not list, naming
    it; a line is added there only once the function's minimum Windows
    version has been looked up and noted beside it;
  - a subsystem or OS version in the header other than 5.0 to 5.2: Windows
    will not start an image that asks for a newer system than itself.
Listed functions the program no longer imports are reported, not refused.

    tools/check_imports.py EXE [ALLOWED]   check EXE (default list: beside this script)
    tools/check_imports.py --self-test EXE   prove that the check refuses what it should
"""
import os
import re
import subprocess
import sys

OBJDUMP = "x86_64-w64-mingw32-objdump"
DEFAULT_LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "imports-allowed.txt")
HEADER_VERSIONS = (("MajorSubsystemVersion", "MinorSubsystemVersion"),
                   ("MajorOSystemVersion", "MinorOSystemVersion"))
# Under a "DLL Name:" line and its column heads, one "\t<RVA>\t <hint> <name>"
# line per function, up to an empty line. Any other line there (an import
# by ordinal, say) is kept as it stands, so that it is refused, not skipped.
NAMED = re.compile(r"^\t[0-9a-f]+\t\s*\d+\s+(\S+)\s*$")


def read_allowed(path):
    """The list as a set of (dll in lower case, function)."""
    allowed = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if words:
                allowed.add((words[0].lower(), words[1]))
    return allowed


def parse(dump):
    """Header fields and imports (dll, function) from objdump -p's text."""
    fields = dict(re.findall(r"^(\w+)\t+(\S+)$", dump, re.M))
    imports = []
    dll = None
    for line in dump.splitlines():
        name = re.match(r"^\tDLL Name: (\S+)", line)
        if name:
            dll = name.group(1)
            continue
        if dll is None or line.startswith("\tvma:"):
            continue
        if not line.strip():
            dll = None
            continue
        named = NAMED.match(line)
        imports.append((dll, named.group(1) if named else "[%s]" % line.strip()))
    return fields, imports


def check(dump, allowed):
    """Findings (lines to print, each a reason to refuse) and notes."""
    fields, imports = parse(dump)
    findings, notes = [], []
    if not imports:
        findings.append("no imports found in the objdump output: cannot check")
    for dll, function in imports:
        if (dll.lower(), function) not in allowed:
            findings.append("import not reviewed: %s %s (look up its minimum Windows version, "
                            "then add it to the list)" % (dll, function))
    for major_name, minor_name in HEADER_VERSIONS:
        try:
            version = (int(fields[major_name]), int(fields[minor_name]))
        except (KeyError, ValueError):
            findings.append("header field missing: %s/%s" % (major_name, minor_name))
            continue
        if not (5, 0) <= version <= (5, 2):
            findings.append("%s.%s is %d.%d: must be 5.0 to 5.2"
                            % (major_name, minor_name, version[0], version[1]))
    imported = {(dll.lower(), function) for dll, function in imports}
    for dll, function in sorted(allowed - imported):
        notes.append("listed but no longer imported: %s %s" % (dll, function))
    return findings, notes


def objdump(exe):
    return subprocess.run([OBJDUMP, "-p", exe], check=True, capture_output=True, text=True).stdout


def self_test(exe):
    """The real program against the real list, the list without one of its
    imports, and a header asking for version 6."""
    dump = objdump(exe)
    allowed = read_allowed(DEFAULT_LIST)
    failures = []
    findings, _ = check(dump, allowed)
    if findings:
        failures.append("the reviewed program was refused: %s" % findings)
    _, imports = parse(dump)
    if imports:
        dll, function = imports[len(imports) // 2]
        findings, _ = check(dump, allowed - {(dll.lower(), function)})
        if len(findings) != 1 or "%s %s " % (dll, function) not in findings[0]:
            failures.append("%s %s left out of the list, got %s" % (dll, function, findings))
    newer = re.sub(r"^(MajorSubsystemVersion\t+)5$", r"\g<1>6", dump, flags=re.M)
    findings, _ = check(newer, allowed)
    if newer == dump or len(findings) != 1 or "MajorSubsystemVersion" not in findings[0]:
        failures.append("a header asking for version 6 was not refused: %s" % findings)
    for failure in failures:
        print("self-test: " + failure)
    print("self-test: %s" % ("failed" if failures else
                             "an unreviewed import and a newer header are refused"))
    return 1 if failures else 0


def main(argv):
    if len(argv) == 3 and argv[1] == "--self-test":
        return self_test(argv[2])
    if len(argv) not in (2, 3) or argv[1].startswith("-"):
        print(__doc__.strip())
        return 2
    exe = argv[1]
    dump = objdump(exe)
    findings, notes = check(dump, read_allowed(argv[2] if len(argv) == 3 else DEFAULT_LIST))
    for line in notes:
        print("note: " + line)
    for line in findings:
        print(line)
    _, imports = parse(dump)
    print("imports: %s" % ("%d reasons to refuse %s" % (len(findings), exe) if findings else
                           "%d functions, all reviewed; header asks for 5.2 at most" % len(imports)))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
