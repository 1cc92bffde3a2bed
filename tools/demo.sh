#!/usr/bin/env bash
# Shows the tool at work: builds it and runs the real addrsmith.exe under Wine
# on a simulated cloud machine (a network namespace with three secondary
# adapters and a metadata service), then shows what changed.
set -euo pipefail
. "$(dirname "$0")/need-root.sh"
need_root "$@"
cd "$(dirname "$0")/.."
tools/setup.sh >/dev/null
ADDRSMITH_BUILD_DIR=build/windows exec e2e/run.sh demo
