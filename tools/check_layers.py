#!/usr/bin/env python3
"""Holds the includes of src/ and of the simulated machine to the layer order.

    app -> metadata | adapters | savedconfig -> core -> platform

A layer may include its own headers and those of the layers below it; the
three subsystems never include one another; nothing includes app. The
platform's headers include only each other; its real implementation
(platform/win32) is included by nothing outside it, and it is the only
place that may include the Windows headers. The simulated machine
(tests/sim) implements the platform headers and uses nothing of the logic.

Prints one line per include against the order, naming the file, the line
and the include, and exits 1 when there is any.

    tools/check_layers.py [ROOT]     check the tree at ROOT (default: this repository)
    tools/check_layers.py --self-test   prove that the check catches what it should
"""
import os
import re
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')

# What each layer may include (by the first part of the include's path).
SUBSYSTEM = {"core", "platform"}
ALLOWED = {
    "platform": {"platform"},
    "platform/win32": {"platform", "platform/win32"},
    "core": {"core", "platform"},
    "metadata": {"metadata"} | SUBSYSTEM,
    "adapters": {"adapters"} | SUBSYSTEM,
    "savedconfig": {"savedconfig"} | SUBSYSTEM,
    "app": {"app", "metadata", "adapters", "savedconfig"} | SUBSYSTEM,
    "sim": {"sim", "platform"},
}
SOURCE_SUFFIXES = (".h", ".cpp", ".h.in")
# Headers of the Windows SDK: only the real platform layer talks to Windows.
WINDOWS_HEADERS = re.compile(r"^(windows|winsock2|ws2tcpip|wininet|winhttp|iphlpapi|iptypes|shlwapi|"
                             r"winver|winbase|winnt|winerror|netioapi|share)\.h$", re.I)


def layer_of_include(path):
    """The layer an include path names, or None when it names none."""
    parts = path.split("/")
    if len(parts) < 2:
        return None
    if parts[0] == "platform":
        return "platform/win32" if len(parts) > 2 and parts[1] == "win32" else "platform"
    return parts[0] if parts[0] in ALLOWED else None


def layer_of_file(relative):
    """The layer a source file belongs to, from its place in the tree."""
    parts = relative.split("/")
    if parts[0] == "tests":
        return "sim" if len(parts) > 2 and parts[1] == "sim" else None
    if parts[0] != "src" or len(parts) < 3:
        return None
    if parts[1] == "platform":
        return "platform/win32" if len(parts) > 3 and parts[2] == "win32" else "platform"
    return parts[1]


def files_to_check(root):
    for top in ("src", os.path.join("tests", "sim")):
        for folder, _dirs, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if name.endswith(SOURCE_SUFFIXES) and not name.endswith("_test.cpp"):
                    yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")


def check(root):
    """Every include against the order, as printable lines."""
    findings = []
    for relative in files_to_check(root):
        layer = layer_of_file(relative)
        if layer is None:
            findings.append("%s: not in any layer (put it under one of src/%s)"
                            % (relative, ", src/".join(sorted(k for k in ALLOWED if k != "sim"))))
            continue
        with open(os.path.join(root, relative), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                kind, path = match.groups()
                if kind == "<":
                    if WINDOWS_HEADERS.match(path) and layer != "platform/win32":
                        findings.append('%s:%d: includes <%s>: only src/platform/win32 may include '
                                        'Windows headers' % (relative, number, path))
                    continue
                target = layer_of_include(path)
                if target is None or target not in ALLOWED[layer]:
                    findings.append('%s:%d: includes "%s": %s may use only %s'
                                    % (relative, number, path, layer,
                                       ", ".join(sorted(ALLOWED[layer]))))
    return findings


def self_test():
    """A tree with one include of each forbidden kind, and one without any."""
    good = {
        "src/core/a.h": '#include "platform/system.h"\n',
        "src/metadata/b.cpp": '#include "metadata/b.h"\n#include "core/a.h"\n',
        "src/app/c.cpp": '#include "adapters/d.h"\n#include "savedconfig/e.h"\n',
        "src/platform/win32/f.cpp": '#include <windows.h>\n#include "platform/win32/win.h"\n',
        "tests/sim/g.cpp": '#include "sim/sim.h"\n#include "platform/adapters.h"\n',
    }
    bad = {
        "src/metadata/x.cpp": '#include "adapters/apply.h"\n',         # sideways
        "src/core/y.cpp": '#include "app/driver.h"\n',                  # upwards
        "src/adapters/z.cpp": '#include "platform/win32/win.h"\n',      # past the seam
        "src/savedconfig/w.cpp": '#include <windows.h>\n',              # Windows outside win32
        "src/platform/v.h": '#include "core/settings.h"\n',             # seam on the logic
        "tests/sim/u.cpp": '#include "metadata/parse.h"\n',             # simulation on the logic
        "src/app/t.cpp": '#include "sim/sim.h"\n',                      # tests in what ships
    }
    failures = []
    with tempfile.TemporaryDirectory() as root:
        def write(files):
            for relative, text in files.items():
                path = os.path.join(root, relative)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as f:
                    f.write(text)
        write(good)
        if check(root):
            failures.append("a tree in order was refused: %s" % check(root))
        write(bad)
        found = check(root)
        for relative in bad:
            if not any(line.startswith(relative + ":1: ") for line in found):
                failures.append("not caught: %s %s" % (relative, bad[relative].strip()))
        if len(found) != len(bad):
            failures.append("expected %d findings, got %s" % (len(bad), found))
    for failure in failures:
        print("self-test: " + failure)
    print("self-test: %s" % ("failed" if failures else "every forbidden include caught"))
    return 1 if failures else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    findings = check(root)
    for line in findings:
        print(line)
    print("layers: %s" % ("%d includes against the order" % len(findings) if findings else "in order"))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
