#!/bin/bash
# Packs a built webprintd into a Debian package:
#   installer/debian/build-deb.sh WEBPRINTD VERSION OUT_DIR
# writes OUT_DIR/webprintd_VERSION_ARCH.deb: the program, its systemd unit,
# the settings file as a conffile, the man page, the changelog and the
# copyright notice. Installing it creates the user webprint and enables
# nothing. The maintainer is DEBFULLNAME <DEBEMAIL> as for Debian's own tools,
# else the committer of the checkout's HEAD; SOURCE_DATE_EPOCH dates the
# changelog.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 WEBPRINTD VERSION OUT_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
daemon_files=$here/../../app/linux
program=$(realpath "$1")
version=$2
mkdir -p "$3"
out=$(realpath "$3")
arch=$(dpkg --print-architecture)
. "$here/deb-common.sh"
maintainer=$(deb_maintainer)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
install -D -m 0755 -s "$program" "$root/usr/sbin/webprintd"
install -D -m 0644 "$daemon_files/webprintd.service" "$root/lib/systemd/system/webprintd.service"
install -d -m 0750 "$root/etc/webprint"
install -m 0640 "$daemon_files/webprint.conf" "$root/etc/webprint/webprint.conf"
install -d "$root/usr/share/man/man8" "$root/usr/share/doc/webprintd"
gzip -9n <"$daemon_files/webprintd.8" >"$root/usr/share/man/man8/webprintd.8.gz"
install -m 0644 "$here/copyright" "$root/usr/share/doc/webprintd/copyright"
install -D -m 0644 "$here/lintian-overrides" "$root/usr/share/lintian/overrides/webprintd"
deb_changelog "$root" webprintd "$version" "$maintainer" \
    "Release $version of webprintd, the web printing client for Linux and CUPS."

# The libraries the program links, as package dependencies.
mkdir -p "$work/debian"
printf 'Source: webprintd\n\nPackage: webprintd\nArchitecture: any\n' >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O -e"$root/usr/sbin/webprintd" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')

install -d "$root/DEBIAN"
install -m 0755 "$here/postinst" "$here/prerm" "$here/postrm" "$root/DEBIAN/"
echo /etc/webprint/webprint.conf >"$root/DEBIAN/conffiles"
cat >"$root/DEBIAN/control" <<CONTROL
Package: webprintd
Version: $version
Architecture: $arch
Maintainer: $maintainer
Section: net
Priority: optional
Depends: $depends, passwd
Recommends: cups
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Description: web printing client for CUPS
 Polls a remote print service, downloads the jobs waiting for this computer
 and prints them raw on its CUPS queues. Runs as a systemd service under its
 own unprivileged user.
CONTROL

deb_pack "$root" "$out/webprintd_${version}_$arch.deb"
