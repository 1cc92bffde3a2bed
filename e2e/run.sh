#!/bin/sh
# Entry of the end-to-end harness: ./e2e/run.sh demo | test [scenario...] | figures | list
# The program: --exe PATH or ADDRSMITH_EXE, or --build-dir DIR or ADDRSMITH_BUILD_DIR.
exec python3 "$(dirname "$0")/harness.py" "$@"
