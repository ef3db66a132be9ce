#!/usr/bin/env bash
# Builds the library and runs the command-line program's demonstration: a
# server and a client on 127.0.0.1, seeded from the operating system, with
# handshakes under RC4-128, triple-DES-CBC and client authentication and
# sealed data both ways, printed as a transcript.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vctool
build/default/tools/vctool demo
