#!/bin/sh
# Installs what building, running and testing webprint needs on Debian 12.
# Safe to run again: it installs only what is missing.
set -eu

PACKAGES="cmake g++ make googletest libbenchmark-dev clang libclang-rt-14-dev
g++-mingw-w64-i686 wine wine32:i386 fonts-wine xvfb xauth xdotool x11-utils imagemagick
cups cups-ipp-utils libcups2:i386 libcups2-dev nsis wixl msitools python3 procps
libssl-dev openssl libgnutls30:i386 osslsigncode systemd dpkg-dev man-db tinyproxy curl lintian
postgresql nginx python3-aiohttp python3-asyncpg chromium chromium-driver python3-selenium
ghostscript poppler-utils printer-driver-cups-pdf"

missing=""
for package in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "Installing:$missing"
# 32-bit Wine needs the i386 architecture.
dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
