#!/usr/bin/env bash
# Builds the native release configuration and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default
