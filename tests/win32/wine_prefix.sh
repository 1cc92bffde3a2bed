#!/bin/sh
# Makes the Wine prefix $WINEPREFIX if missing and, before any program runs
# there, maps its COM1 (which the program writes to) to TARGET: a new prefix
# links it to this machine's own serial port, maybe its console.
#
#   WINEPREFIX=... wine_prefix.sh [TARGET]    (default /dev/null)
set -eu
export WINEPREFIX="${WINEPREFIX:?}" WINEDEBUG="${WINEDEBUG:--all}"
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "${1:-/dev/null}" /f >/dev/null 2>&1
wineserver -w
# Wine follows the value when its services next start; set its link now too.
ln -sfn "${1:-/dev/null}" "$WINEPREFIX/dosdevices/com1"
