#!/usr/bin/env bash
# Builds the library and runs the command-line program's demonstration:
# the information text, seeding from a fresh 512-byte seed file, then a
# server and a client context from the committed test credentials.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vctool
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
head -c 512 /dev/urandom >"$workdir/seed.bin"
build/default/tools/vctool demo "$workdir/seed.bin" tests/data/credentials
