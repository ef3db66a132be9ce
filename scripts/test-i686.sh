#!/usr/bin/env bash
# Builds the 32-bit Linux build and runs every test in it: directly when
# this kernel runs 32-bit programs (a 64-bit x86 kernel with its 32-bit
# support does), under qemu's user-mode emulation when it does not, and not
# at all, with one line saying why, when neither works.
#
# With Debian's i386 packages (scripts/deps.sh --i386) it is the linux-i686
# preset, linked dynamically: the whole suite with the differential tests
# against the i386 libcrypto, vctool, vchost, vcbench and the X11 window
# through the i386 libX11. Where those packages cannot be installed, the
# linux-i686-static preset: static executables and the tests that need
# nothing but the library, with a SKIPPED line for the rest.
#
# Its last line says what ran, for the end of .ci/run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --i686

if scripts/deps.sh --i386; then
  preset=linux-i686
  static=
else
  preset=linux-i686-static
  static=-static
  echo "SKIPPED: the OpenSSL differential tests, vchost and vcbench in 32 bits:" \
       "the i386 packages (libssl-dev:i386, libgtest-dev:i386, libbenchmark-dev:i386)" \
       "could not be installed"
fi

build=build/$preset
mkdir -p "$build"
probe=$build/probe-i686
printf 'int main(void) { return 0; }\n' >"$probe.c"
# The probe is linked the way the build's programs are.
gcc -m32 ${static:+"$static"} "$probe.c" -o "$probe"
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

cmake --preset "$preset" -DVC_I686_EMULATOR="$emulator" >/dev/null
cmake --build --preset "$preset"
if [ -z "$runner" ]; then
  echo "SKIPPED: the 32-bit tests: this kernel does not run 32-bit programs and" \
       "qemu-i386-static is not available"
  echo "i686: built $preset; tests SKIPPED (no way to run 32-bit programs)"
  exit 0
fi
echo "$preset: the tests run $runner"
ctest --preset "$preset" | tee "$build/ctest.log"
summary=$(grep -E '^[0-9]+% tests passed' "$build/ctest.log" | tail -n 1)
bench=
if [ -x "$build/bench/vcbench" ]; then
  # Every benchmark once, briefly, so that a pair that no longer runs in 32
  # bits (OpenSSL's RC4 wants its legacy provider, the TLS handshake its
  # whole libssl) shows here; the figures are too short to mean anything.
  ${emulator:+"$emulator"} "$build/bench/vcbench" --benchmark_min_time=0.001 \
    >"$build/vcbench-smoke.log" 2>&1 || { cat "$build/vcbench-smoke.log"; exit 1; }
  bench=", vcbench: $(grep -cE '^[^ ]+ +[0-9.]+ (ns|us|ms) ' \
    "$build/vcbench-smoke.log") benchmarks ran"
fi
echo "i686: $preset, run $runner: $summary$bench"
