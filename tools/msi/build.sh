#!/bin/sh
# Builds the Windows Installer package of an addrsmith.exe with wixl:
#
#   tools/msi/build.sh EXE VERSION OUTPUT.msi
#
# Two builds of one exe differ in bytes (time stamps, package code): check the
# exe inside a package with msiextract, not the package's hash.
set -eu
[ $# -eq 3 ] || { echo "usage: $0 EXE VERSION OUTPUT.msi" >&2; exit 2; }
wxs=$(cd "$(dirname "$0")" && pwd)/addrsmith.wxs
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
output=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
# Every version of the package shares the upgrade code; the product code
# follows from it and the version, so that a rebuild of a version is the same
# product, never a second one beside it.
upgrade=4617135c-2f31-439c-aecd-3f4164c4b0ea
product=$(python3 -c 'import sys, uuid; print(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2]))' "$upgrade" "$2")
# wixl looks for sources only relative to its current directory.
cd "$(dirname "$exe")"
wixl --arch x64 -D Version="$2" -D Exe="$(basename "$exe")" -D UpgradeCode="$upgrade" -D ProductCode="$product" \
     -o "$output" "$wxs"
# wixl 0.101 writes Execute="rollback" as an action of the moment (2130),
# which would run at once: the undoing of the service's install and removal
# must be rollback actions of the script (+ 1024 + 256), run only when a
# later step fails.
msibuild "$output" -q "UPDATE CustomAction SET Type = 3410 WHERE Action = 'UndoInstallService' OR Action = 'UndoRemoveService'"
