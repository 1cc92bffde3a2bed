#!/usr/bin/env bash
# Shows the tool at work: builds it and runs the real addrsmith.exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh >/dev/null
if [ -x e2e/run.sh ]; then
  exec e2e/run.sh demo
fi
export WINEPREFIX=${WINEPREFIX:-$PWD/build/windows/wineprefix} WINEDEBUG=-all
python3 tests/win32/exe_run_test.py build/windows/addrsmith.exe
