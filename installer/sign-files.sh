#!/bin/bash
# Signs Windows programs and packages in place with Authenticode:
#   installer/sign-files.sh CERT KEY TIMESTAMP_URL FILE...
# CERT and KEY are PEM files (a certificate chain and its private key; a key
# with a passphrase reads it from the environment variable SIGN_KEY_PASSWORD).
# TIMESTAMP_URL is an RFC 3161 server, or "" for none: without a time stamp
# the signature is valid only as long as the certificate.
set -euo pipefail

if [ $# -lt 4 ]; then
    echo "usage: $0 CERT KEY TIMESTAMP_URL FILE..." >&2
    exit 2
fi
command -v osslsigncode >/dev/null || { echo "$0: osslsigncode is missing (Debian package osslsigncode)" >&2; exit 1; }
cert=$1 key=$2 timestamp=$3
shift 3
options=(-certs "$cert" -key "$key" -n "Tarnwick Web Printing" -h sha256)
[ -n "${SIGN_KEY_PASSWORD:-}" ] && options+=(-readpass <(printf '%s' "$SIGN_KEY_PASSWORD"))
[ -n "$timestamp" ] && options+=(-ts "$timestamp")
for file in "$@"; do
    osslsigncode sign "${options[@]}" -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
    echo "signed $file"
done
