#!/bin/bash
# Makes the certificates the TLS tests use, into this folder: a test CA, a
# server certificate for localhost and 127.0.0.1, and one for each way a
# certificate can fail the client's checks. The files are committed, so tests
# never run this; run it again only to change or renew the set.
#
#   ca.pem                        the test CA that tests trust (SSL_CERT_FILE
#                                 natively, the Wine prefix's root store)
#   server.pem / server.key       localhost and 127.0.0.1, signed by the test CA
#   other-host.pem / other-host.key  names only print.other.test, same CA
#   expired.pem / expired.key     localhost and 127.0.0.1, expired in 2021
#   not-yet-valid.pem / .key      localhost and 127.0.0.1, valid from 2090
#   untrusted.pem / untrusted.key localhost and 127.0.0.1, signed by
#                                 untrusted-ca.pem, which no test trusts
#   non-ca-issuer.pem / .key      localhost and 127.0.0.1, signed by a
#                                 certificate of the test CA that is no CA
#                                 itself; the file holds both, as a server
#                                 sends them
#   client-only.pem / .key        localhost and 127.0.0.1, test CA, but meant
#                                 for TLS clients only
set -euo pipefail
cd "$(dirname "$0")"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# From yesterday (a clock a little behind still accepts them) for 30 years:
# long enough that the committed set never needs renewing.
start=$(date -u -d yesterday +%Y%m%d%H%M%SZ)
end=$(date -u -d '+30 years' +%Y%m%d%H%M%SZ)

cat >"$work/ca.cnf" <<CONF
[ca]
default_ca = test_ca

[test_ca]
dir = $work
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none

[any_name]
commonName = supplied

[req]
distinguished_name = req_name
prompt = no

[req_name]
CN = placeholder

[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[loopback_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
authorityKeyIdentifier = keyid

[client_only_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = clientAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
authorityKeyIdentifier = keyid

[other_host_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:print.other.test
authorityKeyIdentifier = keyid
CONF

new_serial() {
    : >"$work/index.txt"
    openssl rand -hex 16 >"$work/serial"
}

# A self-signed CA: NAME is the file stem, CN its subject. Its key stays in
# the scratch folder: nothing signs with it after this run.
make_ca() {
    local name=$1 cn=$2
    new_serial
    openssl req -new -newkey rsa:2048 -nodes -config "$work/ca.cnf" -subj "/CN=$cn" \
        -keyout "$work/$name.key" -out "$work/$name.csr" 2>/dev/null
    openssl ca -batch -notext -selfsign -config "$work/ca.cnf" -extensions ca_ext \
        -keyfile "$work/$name.key" -startdate "$start" -enddate "$end" \
        -in "$work/$name.csr" -out "$name.pem" 2>/dev/null
}

# A server certificate signed by CA, for the extensions section EXT; the
# remaining arguments choose the validity (-startdate and -enddate).
make_server() {
    local name=$1 cn=$2 ca=$3 ext=$4
    shift 4
    new_serial
    openssl req -new -newkey rsa:2048 -nodes -config "$work/ca.cnf" -subj "/CN=$cn" \
        -keyout "$name.key" -out "$work/$name.csr" 2>/dev/null
    openssl ca -batch -notext -config "$work/ca.cnf" -extensions "$ext" \
        -cert "$ca.pem" -keyfile "$work/$ca.key" "$@" \
        -in "$work/$name.csr" -out "$name.pem" 2>/dev/null
}

make_ca ca "webprint test CA"
make_ca untrusted-ca "webprint untrusted test CA"
make_server server localhost ca loopback_ext -startdate "$start" -enddate "$end"
make_server other-host print.other.test ca other_host_ext -startdate "$start" -enddate "$end"
make_server expired localhost ca loopback_ext -startdate 20200101000000Z -enddate 20210101000000Z
make_server not-yet-valid localhost ca loopback_ext -startdate 20900101000000Z -enddate 20950101000000Z
make_server untrusted localhost untrusted-ca loopback_ext -startdate "$start" -enddate "$end"
make_server client-only localhost ca client_only_ext -startdate "$start" -enddate "$end"
# The issuer that may not sign is a server certificate of the test CA.
make_server issuer-not-ca "webprint server certificate as issuer" ca loopback_ext -startdate "$start" -enddate "$end"
mv issuer-not-ca.key "$work/"
make_server non-ca-issuer localhost issuer-not-ca loopback_ext -startdate "$start" -enddate "$end"
cat issuer-not-ca.pem >>non-ca-issuer.pem
rm issuer-not-ca.pem
chmod 644 ./*.key
echo "certificates made in $(pwd)"
