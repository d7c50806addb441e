#!/bin/bash
# Packs the print hub into a Debian package:
#   installer/debian/build-hub-deb.sh VERSION OUT_DIR
# writes OUT_DIR/webprint-hub_VERSION_all.deb: the hub's Python package under
# /usr/share/webprint-hub, the webprint-hub command, its systemd unit, the
# settings file as a conffile, the man page, the changelog and the copyright
# notice. Installing it creates the user webprint-hub and enables nothing.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 VERSION OUT_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
files=$here/hub
checkout=$here/../..
version=$1
mkdir -p "$2"
out=$(realpath "$2")
. "$here/deb-common.sh"
maintainer=$(deb_maintainer)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
(cd "$checkout" && find hub -name __pycache__ -prune -o -type f -print) | while read -r file; do
    install -D -m 0644 "$checkout/$file" "$root/usr/share/webprint-hub/$file"
done
install -D -m 0755 "$files/webprint-hub" "$root/usr/bin/webprint-hub"
install -D -m 0644 "$files/webprint-hub.service" "$root/lib/systemd/system/webprint-hub.service"
install -D -m 0640 "$files/hub.conf" "$root/etc/webprint-hub/hub.conf"
install -d "$root/usr/share/man/man1" "$root/usr/share/doc/webprint-hub"
gzip -9n <"$files/webprint-hub.1" >"$root/usr/share/man/man1/webprint-hub.1.gz"
sed 's/^Upstream-Name: .*/Upstream-Name: webprint-hub/; s/^Comment: .*/Comment: webprint-hub, the print hub of the Tarnwick Web Printing client./' \
    "$here/copyright" >"$root/usr/share/doc/webprint-hub/copyright"
install -D -m 0644 "$files/lintian-overrides" "$root/usr/share/lintian/overrides/webprint-hub"
deb_changelog "$root" webprint-hub "$version" "$maintainer" \
    "Release $version of webprint-hub, the print hub for the web printing clients."

install -d "$root/DEBIAN"
install -m 0755 "$files/postinst" "$files/prerm" "$files/postrm" "$root/DEBIAN/"
echo /etc/webprint-hub/hub.conf >"$root/DEBIAN/conffiles"
cat >"$root/DEBIAN/control" <<CONTROL
Package: webprint-hub
Version: $version
Architecture: all
Maintainer: $maintainer
Section: net
Priority: optional
Depends: python3 (>= 3.11), python3-aiohttp, python3-asyncpg, passwd
Recommends: ghostscript
Suggests: postgresql, nginx
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Description: print hub for the web printing clients
 Registers the computers that run the web printing client, queues the jobs a
 web application submits through its JSON API and hands them out to the
 clients' polls. One instance on SQLite, or several behind nginx sharing one
 PostgreSQL database. Runs as a systemd service under its own unprivileged
 user.
CONTROL

deb_pack "$root" "$out/webprint-hub_${version}_all.deb"
