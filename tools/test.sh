#!/usr/bin/env bash
# Runs every test: the layer check, the check that docs/messages.md explains
# every line the program can print, the native unit tests (also under
# sanitizers), addrsmith.exe once more in the Release build type, the
# Windows-layer tests under Wine, the import check of
# addrsmith.exe, the check that a second build of it gives the same bytes,
# the end-to-end scenarios (root, for network namespaces), a short fuzzing
# run and the static checks.
set -uo pipefail
. "$(dirname "$0")/need-root.sh"
need_root "$@"
cd "$(dirname "$0")/.."
tools/setup.sh || exit 1

status=0
echo "== layer order of the includes"
{ tools/check_layers.py && tools/check_layers.py --self-test; } || status=1
echo "== every line the program can print explained in docs/messages.md"
{ tools/check_messages.py && tools/check_messages.py --self-test; } || status=1
echo "== native unit tests"
(cd build/native && ctest --output-on-failure) || status=1
echo "== native unit tests with AddressSanitizer and UndefinedBehaviorSanitizer"
if CC=clang CXX=clang++ cmake -S . -B build/asan -G "Unix Makefiles" \
       -DADDRSMITH_SANITIZE=address,undefined -DADDRSMITH_WERROR=ON >/dev/null &&
   cmake --build build/asan -j"$(nproc 2>/dev/null || echo 2)"; then
  (cd build/asan && ctest --output-on-failure) || status=1
else
  status=1
fi
echo "== addrsmith.exe in the Release build type (-O3 warns of what -O2 does not see)"
{ cmake -S . -B build/windows-release -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DADDRSMITH_WERROR=ON >/dev/null &&
  cmake --build build/windows-release --target addrsmith -j"$(nproc 2>/dev/null || echo 2)"; } || status=1
echo "== Windows-layer tests under Wine"
(cd build/windows && ctest --output-on-failure) || status=1
echo "== what addrsmith.exe imports, against the reviewed list (oldest Windows: 5.2)"
{ tools/check_imports.py build/windows/addrsmith.exe &&
  tools/check_imports.py --self-test build/windows/addrsmith.exe; } || status=1
echo "== addrsmith.exe built again elsewhere (folders, time zone, locale): the same bytes"
{ tools/check_reproducible.py build/windows/addrsmith.exe &&
  tools/check_reproducible.py --self-test build/windows/addrsmith.exe; } || status=1
echo "== end-to-end scenarios (root: network namespaces)"
ADDRSMITH_BUILD_DIR=build/windows e2e/run.sh test || status=1
echo "== fuzzing, a short run per target"
tools/fuzz.sh 20 || status=1
echo "== static checks"
tools/static-checks.sh || status=1
exit $status
