# What the build scripts of the Debian packages share; sourced by them.
# SOURCE_DATE_EPOCH dates the changelogs.

# DEBFULLNAME <DEBEMAIL> as for Debian's own tools, else the committer of the
# checkout's HEAD; exits when neither is known.
deb_maintainer() {
    local maintainer
    if [ -n "${DEBEMAIL:-}" ]; then
        maintainer="${DEBFULLNAME:-webprint maintainers} <$DEBEMAIL>"
    else
        maintainer=$(git -C "$(dirname "${BASH_SOURCE[0]}")" log -1 --format='%cn <%ce>' 2>/dev/null || true)
    fi
    if [ -z "$maintainer" ]; then
        echo "$0: no maintainer: set DEBEMAIL (and DEBFULLNAME)" >&2
        exit 2
    fi
    echo "$maintainer"
}

# A native package's changelog, one entry for this version, into ROOT's doc folder:
#   deb_changelog ROOT PACKAGE VERSION MAINTAINER TEXT
deb_changelog() {
    install -d "$1/usr/share/doc/$2"
    gzip -9n >"$1/usr/share/doc/$2/changelog.gz" <<CHANGELOG
$2 ($3) stable; urgency=medium

  * $5

 -- $4  $(date -u -R -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}")
CHANGELOG
}

# The checksums of ROOT's files, then the package: deb_pack ROOT DEB
deb_pack() {
    (cd "$1" && find usr lib -type f -print0 | sort -z | xargs -0 md5sum) >"$1/DEBIAN/md5sums"
    dpkg-deb --root-owner-group -Zxz --build "$1" "$2" >/dev/null
    echo "built $2"
}
