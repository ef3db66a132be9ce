#!/usr/bin/env bash
# Builds the linux-i686 preset (the library, vctool and the tests as 32-bit
# programs, executables linked statically) and runs every test: directly
# when this kernel runs a small static 32-bit program (a 64-bit x86 kernel
# with its 32-bit support does), under qemu's user-mode emulation when it
# does not, and not at all, with one line saying why, when neither works.
# The tests that check against OpenSSL's libcrypto are left out of that
# build; the native builds run them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --i686

build=build/linux-i686
mkdir -p "$build"
probe=$build/probe-i686
printf 'int main(void) { return 0; }\n' >"$probe.c"
gcc -m32 -static "$probe.c" -o "$probe"
if "$probe" 2>/dev/null; then
  runner="directly on this kernel"
  emulator=
elif { scripts/deps.sh --qemu || true; } && command -v qemu-i386-static >/dev/null &&
    qemu-i386-static "$probe" 2>/dev/null; then
  runner="under qemu-i386-static: this kernel runs no 32-bit programs"
  emulator=$(command -v qemu-i386-static)
else
  runner=
  emulator=
fi

cmake --preset linux-i686 -DVC_I686_EMULATOR="$emulator" >/dev/null
cmake --build --preset linux-i686
if [ -z "$runner" ]; then
  echo "SKIPPED: this kernel does not run 32-bit programs and qemu-i386-static is not available"
  exit 0
fi
echo "linux-i686: the tests run $runner"
ctest --preset linux-i686
