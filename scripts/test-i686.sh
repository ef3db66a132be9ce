#!/usr/bin/env bash
# Builds the linux-i686 preset (the library, vctool and the tests as 32-bit
# programs, executables linked statically) and runs every test under qemu's
# user-mode emulation, which needs no 32-bit support from the kernel.
# The tests that check against OpenSSL's libcrypto are left out of that
# build; the native builds run them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --i686
cmake --preset linux-i686 >/dev/null
cmake --build --preset linux-i686
ctest --preset linux-i686
