#!/bin/sh
# Makes the Wine prefix $WINEPREFIX when it is missing and maps its COM1 to
# /dev/null, before any test program runs there. A new prefix links COM1 to
# this machine's own /dev/ttyS0, which may be its console, and the program
# writes every run's closing line to COM1.
#
#   WINEPREFIX=... wine_prefix.sh
set -eu
: "${WINEPREFIX:?set WINEPREFIX}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
fi
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d /dev/null /f >/dev/null 2>&1
wineserver -w
# Wine follows the value when its services next start; the link is set now
# too, so that nothing in between can reach the old one.
ln -sfn /dev/null "$WINEPREFIX/dosdevices/com1"
if [ "$(readlink "$WINEPREFIX/dosdevices/com1")" != /dev/null ]; then
    echo "wine_prefix: COM1 of $WINEPREFIX is not mapped to /dev/null" >&2
    exit 1
fi
