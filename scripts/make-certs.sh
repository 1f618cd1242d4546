#!/usr/bin/env bash
# Makes certificates for TLS runs and tests with the openssl command line.
# Usage: scripts/make-certs.sh [--prefix P] [--first K] [--days D] DIR N
#   DIR/ca.crt, ca.key          a CA that signs all the others
#   DIR/server.crt, server.key  the collector: names 127.0.0.1 and localhost
#   DIR/NAME.crt, NAME.key      N units named as vandry-fleet names them (prefix U, then the
#                               number from K, default 0, zero-padded to five digits); each
#                               names its unit as its common name and its DNS name
#   DIR/expired.crt, .key       out of date since 2020, naming 127.0.0.1, localhost and
#                               expired, for tests
# --days D: how long the certificates hold (default 825). Keys are EC P-256. Existing files in
# DIR are replaced.
#   -h, --help  print this help and exit
set -euo pipefail

usage() { sed -n '2,15s/^# \{0,1\}//p' "$0"; }
prefix=U first=0 days=825
while [[ $# -gt 0 ]]; do
    case "$1" in
    -h | --help)
        usage
        exit 0
        ;;
    --prefix | --first | --days)
        [[ $# -ge 2 ]] || { echo "make-certs.sh: $1 needs a value" >&2; exit 2; }
        case "$1" in
        --prefix) prefix=$2 ;;
        --first) first=$2 ;;
        --days) days=$2 ;;
        esac
        shift 2
        ;;
    -*)
        echo "make-certs.sh: unknown option $1" >&2
        usage >&2
        exit 2
        ;;
    *) break ;;
    esac
done
if [[ $# -ne 2 || ! "$2" =~ ^[0-9]+$ || ! "$first" =~ ^[0-9]+$ || ! "$days" =~ ^[1-9][0-9]*$ ]]; then
    usage >&2
    exit 2
fi
dir=$1 units=$2
mkdir -p "$dir"
cd "$dir"

cat >openssl.cnf <<'EOF'
[req]
distinguished_name = name
prompt = no
[name]
[ca_cert]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth, clientAuth
subjectAltName = $ENV::ALT_NAMES
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
# A signing run of `openssl ca`, only for the certificate out of date.
[ca]
default_ca = signer
[signer]
database = signer/index.txt
new_certs_dir = signer
serial = signer/serial
default_md = sha256
policy = any
copy_extensions = none
x509_extensions = leaf
[any]
commonName = supplied
EOF
export OPENSSL_CONF=$PWD/openssl.cnf ALT_NAMES=DNS:ca
key_options=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)

openssl req -x509 "${key_options[@]}" -keyout ca.key -out ca.crt -subj "/CN=vandry test CA" \
    -extensions ca_cert -days "$days" 2>/dev/null

# leaf NAME ALT_NAMES: NAME.crt and NAME.key, signed by the CA.
leaf() {
    ALT_NAMES=$2 openssl req -x509 -CA ca.crt -CAkey ca.key \
        -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
        -keyout "$1.key" -out "$1.crt" -subj "/CN=$1" -extensions leaf -days "$days" 2>/dev/null
}
export -f leaf
export days

leaf server "IP:127.0.0.1,DNS:localhost"

# The certificate out of date: `openssl ca` is the one that takes dates in the past.
rm -rf signer && mkdir signer && : >signer/index.txt && echo 01 >signer/serial
ALT_NAMES="IP:127.0.0.1,DNS:localhost,DNS:expired" openssl req "${key_options[@]}" \
    -keyout expired.key -out signer/expired.csr -subj "/CN=expired" 2>/dev/null
ALT_NAMES="IP:127.0.0.1,DNS:localhost,DNS:expired" openssl ca -batch -notext \
    -keyfile ca.key -cert ca.crt -startdate 20200101000000Z -enddate 20200102000000Z \
    -in signer/expired.csr -out expired.crt 2>/dev/null
rm -rf signer

# The units, a process per core: a thousand take a few seconds.
for ((k = first; k < first + units; ++k)); do
    printf '%s%05d\n' "$prefix" "$k"
done | xargs -r -P "$(nproc)" -I{} bash -c 'leaf "$1" "DNS:$1"' _ {}
rm -f openssl.cnf
echo "make-certs.sh: $dir: ca, server, expired and $units unit certificates"
