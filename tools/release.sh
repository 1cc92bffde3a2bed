#!/usr/bin/env bash
# Builds the release from nothing: addrsmith.exe in a freshly configured
# build/release, with the same toolchain as build/windows,
# dist/addrsmith-<version>-x64.zip holding it, INSTALL.txt (the deployment
# guide, docs/deployment.md) and SHA256SUMS, and
# dist/addrsmith-<version>-x64.msi, the Windows Installer package of the
# same exe (tools/msi/build.sh). The metadata service's address comes from
# METADATA_BASE_URL, as the build setting of that name (its default when
# unset or empty): a platform that builds and tests with its own host must
# ship that host, or every boot waits for a service that is not there.
# The exe carries no build time or folder (tools/check_reproducible.py
# checks that); the zip's members have a fixed order and the commit's time.
# An address that is not http://host[:port][/prefix] stops it at the
# configure step; a host outside 169.254.0.0/16 is built with a warning.
# Names the service's address, then prints the exe's SHA-256 last: a rebuild
# of the same commit with the same address on Debian 12 prints the same. The
# package's own bytes differ from build to build; the release stops unless
# the exe inside it is the zip's.
#
#   [METADATA_BASE_URL=http://...] tools/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# The build needs only these; anything missing comes with the test setup's
# packages (root only then).
for tool in cmake make x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-windres python3 wixl msiextract msibuild; do
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
url_setting=()
if [ -n "${METADATA_BASE_URL:-}" ]; then url_setting=("-DMETADATA_BASE_URL=$METADATA_BASE_URL"); fi
# Flags from the environment would go into the first configure: none here.
# Warnings are errors: what ships is built as the tests built it, by the
# compilers Debian 12 has (a new warning there is looked at, not shipped).
env -u CFLAGS -u CXXFLAGS -u CPPFLAGS -u LDFLAGS -u RCFLAGS -u CMAKE_BUILD_TYPE \
  cmake -S . -B build/release -G "Unix Makefiles" \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DADDRSMITH_WERROR=ON \
        "${url_setting[@]}" >/dev/null
cmake --build build/release --target addrsmith -j"$(nproc 2>/dev/null || echo 2)"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
url=$(sed -n 's/^METADATA_BASE_URL:STRING=//p' build/release/CMakeCache.txt)
# What the configure step warned of the address (a host asked through the
# system's proxy settings), said again where it cannot scroll away.
url_warning=$(sed -n 's/^ADDRSMITH_METADATA_URL_WARNING:INTERNAL=//p' build/release/CMakeCache.txt)

mkdir -p dist
zip=dist/addrsmith-$version-x64.zip
python3 - "$zip" "addrsmith-$version-x64" "$SOURCE_DATE_EPOCH" "$version" "$commit" "$url" <<'EOF'
import hashlib, sys, time, zipfile
zip_path, folder, epoch, version, commit, url = sys.argv[1:]
with open("build/release/addrsmith.exe", "rb") as f:
    exe = f.read()
# What INSTALL.txt names must be what the exe asks (a wide, terminated text).
if (url + "\0").encode("utf-16-le") not in exe:
    sys.exit("release.sh: the exe does not hold the metadata address %s" % url)
guide = open("docs/deployment.md", encoding="utf-8").read()
install = ("addrsmith %s for Windows x64, built from commit %s.\n\n"
           "It asks the instance-metadata service at %s: a rebuild that is to give\n"
           "the same exe sets METADATA_BASE_URL to that (\"Checking a release\" below).\n\n"
           "SHA256SUMS holds the SHA-256 of both files here: on Windows compare it with\n"
           "`certutil -hashfile addrsmith.exe SHA256`. \"Checking a release\" below\n"
           "says how to rebuild the exe from the source and get the same hash.\n\n"
           "What follows is the deployment guide (docs/deployment.md) of that commit;\n"
           "the other guides it names are in docs/ of the source at that commit.\n\n"
           % (version, commit, url)) + guide.rstrip() + "\n"
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

msi=dist/addrsmith-$version-x64.msi
tools/msi/build.sh build/release/addrsmith.exe "$version" "$msi"
# What the package installs is what the zip holds: taken out of both again.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
msiextract -C "$unpacked" "$msi" >/dev/null
in_msi=$(sha256sum "$unpacked/addrsmith/addrsmith.exe" | cut -d' ' -f1)
in_zip=$(python3 -c 'import hashlib, sys, zipfile; print(hashlib.sha256(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2])).hexdigest())' \
         "$zip" "addrsmith-$version-x64/addrsmith.exe")
if [ "$in_msi" != "$in_zip" ]; then
  echo "release.sh: the exe in $msi ($in_msi) is not the zip's ($in_zip)" >&2
  rm -f "$msi"
  exit 1
fi
echo "== $msi: its addrsmith.exe is the zip's"
echo "zip sha256: $(sha256sum "$zip" | cut -d' ' -f1)"
echo "msi sha256: $(sha256sum "$msi" | cut -d' ' -f1)"
if [ -n "$url_warning" ]; then echo "release.sh: warning: $url_warning" >&2; fi
echo "metadata service: $url (METADATA_BASE_URL)"
sha256sum build/release/addrsmith.exe | sed 's| .*|  addrsmith.exe|'
