#!/bin/bash
# Builds the release packages from a clean tree: the committed sources of HEAD
# are exported and built afresh for 32-bit Windows, then webprint.exe is packed
# into build/release/: webprint-setup-VERSION.exe, webprint-VERSION.msi and
# SHA256SUMS. The version is the one in the top CMakeLists.txt.
#   tools/release.sh [--working-tree] [--sign CERT KEY [--timestamp URL]]
# --working-tree builds the sources as they are, uncommitted changes included,
# for a trial.
# The Windows packages are built twice, in two build trees, and the release
# stops unless both give the same bytes. --sign signs webprint.exe, the setup
# program and the MSI with Authenticode (CERT and KEY are PEM files; see
# installer/sign-files.sh), after that comparison; --timestamp adds a time
# stamp from an RFC 3161 server. Unsigned is the default.
set -euo pipefail
cd "$(dirname "$0")/.."

working_tree=""
sign_cert="" sign_key="" timestamp=""
while [ $# -gt 0 ]; do
    case $1 in
    --working-tree) working_tree=yes; shift ;;
    --sign) [ $# -ge 3 ] || { echo "$0: --sign needs CERT and KEY" >&2; exit 2; }
        sign_cert=$(realpath "$2") sign_key=$(realpath "$3"); shift 3 ;;
    --timestamp) [ $# -ge 2 ] || { echo "$0: --timestamp needs a URL" >&2; exit 2; }
        timestamp=$2; shift 2 ;;
    *) echo "usage: $0 [--working-tree] [--sign CERT KEY [--timestamp URL]]" >&2; exit 2 ;;
    esac
done
if [ -n "$timestamp" ] && [ -z "$sign_cert" ]; then
    echo "$0: --timestamp goes with --sign" >&2
    exit 2
fi

source=build/release-src
build=build/release-win32
out=build/release
rm -rf "$source" "$build" "$build-again" "$out"

if [ -n "$working_tree" ]; then
    source=.
    origin="working tree of $(git describe --always --dirty 2>/dev/null || echo "no git")"
else
    mkdir -p "$source"
    git archive --format=tar HEAD | tar -x -C "$source"
    origin="commit $(git rev-parse --short HEAD)"
fi
# The time every packed file carries: the commit's.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
export SOURCE_DATE_EPOCH

# ---------------------------------------------------------------------------
# Windows packages
# ---------------------------------------------------------------------------

# Builds webprint.exe and the MSI's custom actions in a build tree and packs
# them into a folder.
build_windows_packages() {
    local tree=$1 packages=$2
    cmake -S "$source" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$(realpath "$source")/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$tree" --target webprint webprint_msi_actions -j2 >/dev/null
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")
    exe=$tree/app/webprint.exe
    dll=$tree/installer/webprint-msi-actions.dll
    "$source/installer/build-packages.sh" "$exe" "$dll" "$version" "$packages" >/dev/null
}

build_windows_packages "$build" "$out"
build_windows_packages "$build-again" "$build-again/packages"
for file in "webprint-setup-$version.exe" "webprint-$version.msi"; do
    if ! cmp -s "$out/$file" "$build-again/packages/$file"; then
        echo "$0: two builds of $file differ; the release is not reproducible" >&2
        exit 1
    fi
done
echo "two builds gave the same packages"

if [ -n "$sign_cert" ]; then
    signed=$build/signed
    mkdir -p "$signed"
    cp "$build/app/webprint.exe" "$build/installer/webprint-msi-actions.dll" "$signed/"
    "$source/installer/sign-files.sh" "$sign_cert" "$sign_key" "$timestamp" "$signed"/*
    "$source/installer/build-packages.sh" "$signed/webprint.exe" "$signed/webprint-msi-actions.dll" "$version" "$out" >/dev/null
    "$source/installer/sign-files.sh" "$sign_cert" "$sign_key" "$timestamp" \
        "$out/webprint-setup-$version.exe" "$out/webprint-$version.msi"
fi

(cd "$out" && sha256sum "webprint-setup-$version.exe" "webprint-$version.msi" >SHA256SUMS)

# Beside them, the Linux daemon as webprintd_VERSION_ARCH.deb, from a native
# Release build of the same sources with Debian's hardening flags (fortified
# functions, stack protector, read-only relocations bound at start), which
# lintian then checks along with the rest of the package.
linux_build=build/release-linux
rm -rf "$linux_build"
debian_flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
CFLAGS="$(debian_flags CPPFLAGS) $(debian_flags CFLAGS)" CXXFLAGS="$(debian_flags CPPFLAGS) $(debian_flags CXXFLAGS)" \
    LDFLAGS="$(debian_flags LDFLAGS)" cmake -S "$source" -B "$linux_build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$linux_build" --target webprintd -j2
"$source/installer/debian/build-deb.sh" "$linux_build/app/linux/webprintd" "$version" "$out"
lintian --fail-on error,warning "$out/webprintd_${version}_"*.deb
# And the print hub, architecture-independent Python.
"$source/installer/debian/build-hub-deb.sh" "$version" "$out"
lintian --fail-on error,warning "$out/webprint-hub_${version}_all.deb"
(cd "$out" && sha256sum webprintd_"$version"_*.deb "webprint-hub_${version}_all.deb" >>SHA256SUMS)
echo "release $version from the $origin in $out"
