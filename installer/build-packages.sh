#!/bin/bash
# Packs a built webprint.exe into the two installation packages:
#   installer/build-packages.sh CLIENT_EXE MSI_ACTIONS_DLL VERSION OUT_DIR
# writes OUT_DIR/webprint-setup-VERSION.exe (NSIS) and OUT_DIR/webprint-VERSION.msi.
# The same inputs give the same bytes: files carry the time SOURCE_DATE_EPOCH
# (default 1980-01-01), and the MSI's product and package codes are derived
# from the version and the packed files.
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 CLIENT_EXE MSI_ACTIONS_DLL VERSION OUT_DIR" >&2
    exit 2
fi
installer=$(cd "$(dirname "$0")" && pwd)
client_exe=$(realpath "$1")
actions_dll=$(realpath "$2")
version=$3
mkdir -p "$4"
out=$(realpath "$4")
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-315532800}

for tool in makensis wixl msibuild python3; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing (Debian packages nsis, wixl, msitools, python3)" >&2; exit 1; }
done
# Installer versions have three numbers; NSIS adds a fourth.
if ! [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    echo "$0: version '$version' is not MAJOR.MINOR.PATCH" >&2
    exit 2
fi

# wixl 0.101 finds source files only relative to the working directory.
staging=$(mktemp -d "$out/staging.XXXXXX")
trap 'rm -rf "$staging"' EXIT
cp "$client_exe" "$staging/webprint.exe"
cp "$actions_dll" "$staging/webprint-msi-actions.dll"
touch -d "@$SOURCE_DATE_EPOCH" "$staging"/*

makensis -V2 -DVERSION="$version" -DCLIENT_EXE="$staging/webprint.exe" \
    -DMSI_ACTIONS_DLL="$staging/webprint-msi-actions.dll" \
    -DOUTFILE="$out/webprint-setup-$version.exe" "$installer/webprint.nsi"

# A product code per version (so one version cannot be installed twice) and a
# package code per version and content, both name-based UUIDs.
codes=$(python3 - "$version" "$staging/webprint.exe" "$staging/webprint-msi-actions.dll" <<'PY'
import hashlib, sys, uuid
namespace = uuid.UUID("E7A411E0-E62F-4121-9DDB-DC3709564DC3")  # the upgrade code
content = hashlib.sha256()
for name in sys.argv[2:]:
    content.update(open(name, "rb").read())
print(str(uuid.uuid5(namespace, "product " + sys.argv[1])).upper(),
      str(uuid.uuid5(namespace, "package " + sys.argv[1] + " " + content.hexdigest())).upper())
PY
)
read -r product_code package_code <<<"$codes"
msi="$out/webprint-$version.msi"
(cd "$staging" && wixl --arch x86 --define Version="$version" --define ProductCode="$product_code" \
    --define PackageCode="$package_code" --output "$msi" "$installer/webprint.wxs")
while IFS= read -r statement; do
    case $statement in ''|--*) continue ;; esac
    msibuild "$msi" -q "$statement"
done <"$installer/webprint-msi.sql"

# wixl and msibuild stamp the summary information with the time of the build
# and a random package code: set both in place (same lengths), and fail loudly
# should the values not be found exactly where expected.
python3 - "$msi" "$package_code" "$SOURCE_DATE_EPOCH" <<'PY'
import re, struct, subprocess, sys, time
msi, package_code, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
info = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True, check=True).stdout
data = open(msi, "rb").read()
def filetime(seconds):
    return struct.pack("<Q", (seconds + 11644473600) * 10**7)
replacements = {re.search(r"Revision number \(UUID\): (\{[0-9A-F-]+\})", info).group(1).encode():
                ("{" + package_code + "}").encode()}
for label in ("Created", "Last saved"):
    shown = re.search(label + r": (.*)", info).group(1)
    replacements[filetime(int(time.mktime(time.strptime(shown, "%a %b %d %H:%M:%S %Y"))))] = filetime(epoch)
for old, new in replacements.items():
    if data.count(old) not in (1, 2):
        sys.exit("build-packages.sh: summary information of %s not as expected" % msi)
    data = data.replace(old, new)
open(msi, "wb").write(data)
PY

echo "built $out/webprint-setup-$version.exe and $msi"
