#!/bin/bash
# Builds the release packages from a clean build tree: webprint.exe for 32-bit
# Windows, then the setup program and the MSI, into build/release/:
#   webprint-setup-VERSION.exe, webprint-VERSION.msi and SHA256SUMS.
# The version is the one in the top CMakeLists.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/release-win32
out=build/release
rm -rf "$build" "$out"

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target webprint -j2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
exe=$(find "$build" -name webprint.exe -type f -print -quit)
if [ -z "$exe" ]; then
    echo "$0: the build made no webprint.exe" >&2
    exit 1
fi

installer/build-packages.sh "$exe" "$version" "$out"
(cd "$out" && sha256sum "webprint-setup-$version.exe" "webprint-$version.msi" >SHA256SUMS)
echo "release $version ($(git describe --always --dirty 2>/dev/null || echo "no git")) in $out"
