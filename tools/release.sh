#!/usr/bin/env bash
# Builds the release from nothing: addrsmith.exe in a freshly configured
# build/release, with the same settings as build/windows (so what the tests
# ran is what ships), and dist/addrsmith-<version>-x64.zip holding it,
# INSTALL.txt (the README's deployment section) and SHA256SUMS. The exe
# carries no build time or folder (tools/check_reproducible.py checks that);
# the zip's members have a fixed order and the commit's time. Prints the
# exe's SHA-256 last: a rebuild of the same commit with this command on
# Debian 12 prints the same.
#
#   tools/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# The build needs only these; anything missing comes with the test setup's
# packages (root only then).
for tool in cmake make x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-windres python3; do
  command -v "$tool" >/dev/null || { tools/setup.sh --install-only; break; }
done

# The members' time: SOURCE_DATE_EPOCH where set, else the commit's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || {
    echo "release.sh: not a git checkout: set SOURCE_DATE_EPOCH (the commit's time)" >&2
    exit 1
  }
fi
commit=$(git rev-parse HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
  echo "release.sh: warning: uncommitted changes: this is not what commit $commit builds" >&2
  commit="$commit with uncommitted changes"
fi

echo "== release build (build/release, configured afresh)"
rm -rf build/release
# Flags from the environment would go into the first configure: none here.
env -u CFLAGS -u CXXFLAGS -u CPPFLAGS -u LDFLAGS -u RCFLAGS -u CMAKE_BUILD_TYPE \
  cmake -S . -B build/release -G "Unix Makefiles" \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build/release --target addrsmith -j"$(nproc 2>/dev/null || echo 2)"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)

mkdir -p dist
zip=dist/addrsmith-$version-x64.zip
python3 - "$zip" "addrsmith-$version-x64" "$SOURCE_DATE_EPOCH" "$version" "$commit" <<'EOF'
import hashlib, sys, time, zipfile
zip_path, folder, epoch, version, commit = sys.argv[1:]
with open("build/release/addrsmith.exe", "rb") as f:
    exe = f.read()
readme = open("README.md", encoding="utf-8").read()
start = readme.index("\n## Deployment\n") + 1
end = readme.find("\n## ", start)
install = ("addrsmith %s for Windows x64, built from commit %s.\n\n"
           "SHA256SUMS holds the SHA-256 of both files here: on Windows compare it with\n"
           "`certutil -hashfile addrsmith.exe SHA256`. The README's \"Checking a release\"\n"
           "says how to rebuild the exe from the source and get the same hash.\n\n"
           "What follows is the Deployment section of the README of that commit.\n\n"
           % (version, commit)) + readme[start:end if end >= 0 else None].rstrip() + "\n"
install = install.replace("\n", "\r\n").encode("utf-8")  # for Notepad
members = [("addrsmith.exe", exe), ("INSTALL.txt", install)]
sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in members)
members.append(("SHA256SUMS", sums.encode()))
stamp = time.gmtime(max(int(epoch), 315532800))[:6]  # zip times start in 1980
with zipfile.ZipFile(zip_path, "w") as z:
    for name, data in members:
        info = zipfile.ZipInfo("%s/%s" % (folder, name), stamp)
        info.create_system, info.external_attr = 3, 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, data, compresslevel=9)
EOF
echo "== $zip"
python3 -m zipfile -l "$zip"
echo "zip sha256: $(sha256sum "$zip" | cut -d' ' -f1)"
sha256sum build/release/addrsmith.exe | sed 's| .*|  addrsmith.exe|'
