#!/bin/sh
# Entry of the end-to-end harness: ./e2e/run.sh demo | test [scenario...] | figures | list
# The program: --exe PATH or ADDRSMITH_EXE, or --build-dir DIR or ADDRSMITH_BUILD_DIR.
# Everything but "list" needs root (network namespaces).
. "$(dirname "$0")/../tools/need-root.sh"
case "${1:-}" in
    list | -h | --help) ;;
    *) need_root "$@" ;;
esac
exec python3 "$(dirname "$0")/harness.py" "$@"
