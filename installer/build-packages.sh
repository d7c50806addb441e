#!/bin/bash
# Packs a built webprint.exe into the two installation packages:
#   installer/build-packages.sh CLIENT_EXE VERSION OUT_DIR
# writes OUT_DIR/webprint-setup-VERSION.exe (NSIS) and OUT_DIR/webprint-VERSION.msi.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 CLIENT_EXE VERSION OUT_DIR" >&2
    exit 2
fi
installer=$(cd "$(dirname "$0")" && pwd)
client_exe=$(realpath "$1")
version=$2
mkdir -p "$3"
out=$(realpath "$3")

for tool in makensis wixl msibuild; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing (Debian packages nsis, wixl, msitools)" >&2; exit 1; }
done
# Installer versions have three numbers; NSIS adds a fourth.
if ! [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    echo "$0: version '$version' is not MAJOR.MINOR.PATCH" >&2
    exit 2
fi

makensis -V2 -DVERSION="$version" -DCLIENT_EXE="$client_exe" \
    -DOUTFILE="$out/webprint-setup-$version.exe" "$installer/webprint.nsi"

# wixl 0.101 finds source files only relative to the working directory.
staging=$(mktemp -d "$out/msi-staging.XXXXXX")
trap 'rm -rf "$staging"' EXIT
cp "$client_exe" "$staging/webprint.exe"
msi="$out/webprint-$version.msi"
(cd "$staging" && wixl --arch x86 --define Version="$version" --output "$msi" "$installer/webprint.wxs")
while IFS= read -r statement; do
    case $statement in ''|--*) continue ;; esac
    msibuild "$msi" -q "$statement"
done <"$installer/webprint-msi.sql"

echo "built $out/webprint-setup-$version.exe and $msi"
