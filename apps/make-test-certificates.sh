#!/bin/sh
# Throw-away certificates for the secure demo and the tests (valid 2 days; never for real use),
# made with openssl in DIR:
#   ca.pem, ca.key              the authority that signs the others
#   other-ca.pem, other-ca.key  an authority that signed nothing here: trusting it alone fails
#   server.pem, server.key      the Redis server's, for localhost and 127.0.0.1
#   client.pem, client.key      a client certificate, for servers that require one
#
#   apps/make-test-certificates.sh DIR
set -eu

[ $# -eq 1 ] && [ -d "$1" ] || { echo "usage: $0 DIR (an existing directory)" >&2; exit 2; }
cd "$1"
umask 077

authority() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -keyout "$1.key" -out "$1.pem" -subj "/CN=$2" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}

# signed NAME COMMON_NAME EXTENSIONS: a key and a certificate that ca signed.
signed() {
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$1.key" -out "$1.csr" -subj "/CN=$2"
  printf '%s\n' "$3" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out "$1.pem" -extfile "$1.ext"
  rm -f "$1.csr" "$1.ext"
}

authority ca "TUL test CA"
authority other-ca "TUL other CA"
signed server localhost "subjectAltName=DNS:localhost,IP:127.0.0.1
extendedKeyUsage=serverAuth"
signed client tul-client "extendedKeyUsage=clientAuth"
rm -f ca.srl
