#!/usr/bin/env bash
# Installs what building and testing need (Debian; root only when something
# is missing) and builds both configurations: native (logic + simulated
# machine + unit tests) in build/native, Windows (addrsmith.exe +
# Windows-layer tests) in build/windows. With --install-only it stops after
# installing (tools/release.sh, which builds on its own). Warnings are errors
# here: this is the compiler the project is tested with.
set -euo pipefail
. "$(dirname "$0")/need-root.sh"
cd "$(dirname "$0")/.."

# e2fsprogs for chattr: the e2e harness makes a file that root cannot write.
packages=(cmake make g++ clang libclang-rt-14-dev clang-tidy cppcheck libgtest-dev googletest
          g++-mingw-w64-x86-64 wine wine64
          iproute2 python3 procps psmisc nginx-light wixl msitools e2fsprogs)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  need_root "$@"
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  # With recommends: that is how Wine was proven to run here.
  apt-get install -y "${missing[@]}"
fi
if [ "${1:-}" = --install-only ]; then
  exit 0
fi

jobs=$(nproc 2>/dev/null || echo 2)
echo "== native build"
cmake -S . -B build/native -G "Unix Makefiles" -DADDRSMITH_WERROR=ON >/dev/null
cmake --build build/native -j"$jobs"
echo "== windows build"
cmake -S . -B build/windows -G "Unix Makefiles" \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DADDRSMITH_WERROR=ON >/dev/null
cmake --build build/windows -j"$jobs"
