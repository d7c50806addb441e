#!/bin/bash
# Builds the release packages from a clean tree: the committed sources of HEAD
# are exported and built afresh for 32-bit Windows, then webprint.exe is packed
# into build/release/: webprint-setup-VERSION.exe, webprint-VERSION.msi and
# SHA256SUMS. The version is the one in the top CMakeLists.txt.
#   tools/release.sh [--working-tree]
# --working-tree builds the sources as they are, uncommitted changes included,
# for a trial.
set -euo pipefail
cd "$(dirname "$0")/.."

source=build/release-src
build=build/release-win32
out=build/release
rm -rf "$source" "$build" "$out"

if [ "${1:-}" = "--working-tree" ]; then
    source=.
    origin="working tree of $(git describe --always --dirty 2>/dev/null || echo "no git")"
else
    mkdir -p "$source"
    git archive --format=tar HEAD | tar -x -C "$source"
    origin="commit $(git rev-parse --short HEAD)"
fi

cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$(realpath "$source")/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target webprint -j2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
exe=$(find "$build" -name webprint.exe -type f -print -quit)
if [ -z "$exe" ]; then
    echo "$0: the build made no webprint.exe" >&2
    exit 1
fi

"$source/installer/build-packages.sh" "$exe" "$version" "$out"
(cd "$out" && sha256sum "webprint-setup-$version.exe" "webprint-$version.msi" >SHA256SUMS)

# Beside them, the Linux daemon as webprintd_VERSION_ARCH.deb, from a native
# Release build of the same sources.
linux_build=build/release-linux
rm -rf "$linux_build"
cmake -S "$source" -B "$linux_build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$linux_build" --target webprintd -j2
"$source/installer/debian/build-deb.sh" "$linux_build/app/linux/webprintd" "$version" "$out"
(cd "$out" && sha256sum webprintd_"$version"_*.deb >>SHA256SUMS)
echo "release $version from the $origin in $out"
