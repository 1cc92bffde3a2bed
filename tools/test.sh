#!/usr/bin/env bash
# Runs every test: the native unit tests, the Windows-layer tests under Wine
# and the end-to-end scenarios (those need root for network namespaces).
set -uo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh || exit 1

status=0
echo "== native unit tests"
(cd build/native && ctest --output-on-failure) || status=1
echo "== native unit tests with AddressSanitizer and UndefinedBehaviorSanitizer"
if CC=clang CXX=clang++ cmake -S . -B build/asan -G "Unix Makefiles" \
       -DADDRSMITH_SANITIZE=address,undefined >/dev/null &&
   cmake --build build/asan -j"$(nproc 2>/dev/null || echo 2)"; then
  (cd build/asan && ctest --output-on-failure) || status=1
else
  status=1
fi
echo "== Windows-layer tests under Wine"
(cd build/windows && ctest --output-on-failure) || status=1
if [ -x e2e/run.sh ]; then
  echo "== end-to-end scenarios"
  e2e/run.sh test || status=1
fi
exit $status
