#!/bin/sh
# Makes the RSA test keys: one PKCS#1 "RSA PRIVATE KEY" PEM file per modulus
# size, unencrypted, e = 65537, written next to this script as rsa-BITS.pem.
# Generated once with the openssl command-line tool (OpenSSL 3.0); the files
# are committed so every run of the tests sees the same keys. The odd sizes
# give moduli whose byte length is not a multiple of four (1016 bits: 127
# bytes) or whose top byte is not full (1023 bits: 128 bytes).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
for bits in 512 1016 1023 1024 2048 4096; do
    out="$here/rsa-$bits.pem"
    openssl genpkey -algorithm RSA -pkeyopt "rsa_keygen_bits:$bits" \
        -pkeyopt rsa_keygen_pubexp:65537 -out "$out.tmp"
    openssl rsa -in "$out.tmp" -traditional -out "$out"
    rm -f "$out.tmp"
    # The size is what the tests rely on: refuse a key of any other length.
    got=$(openssl rsa -in "$out" -noout -text | sed -n 's/.*Private-Key: (\([0-9]*\) bit.*/\1/p')
    if [ "$got" != "$bits" ]; then
        echo "rsa-$bits.pem has $got bits" >&2
        exit 1
    fi
    openssl rsa -in "$out" -check -noout
done
