#!/usr/bin/env bash
# The test program of the default (optimised release) build under
# valgrind's memcheck: an invalid read or write, a jump on an uninitialised
# value, or a block definitely lost at exit fails the run (the forked child
# of the random pool test included).
#
# What memcheck finds here that the sanitizer builds cannot is a use of an
# uninitialised value in the code as it ships, optimised. Left out by
# default, as the sanitizers and the other builds cover them and memcheck
# runs them some fifty times slower: the loops of random inputs against
# OpenSSL's libcrypto (tests named *OpenSsl* and *Oracle*, the vector and
# IFMA kernel tables, the Montgomery reduction loop and the large Wycheproof
# keys) and the thread tests, which ThreadSanitizer runs and valgrind would
# take one thread at a time. `scripts/memcheck.sh --all` runs every test.
#
# The tests are split into VC_MEMCHECK_SHARDS shards (2 by default, one per
# core) that run side by side; each shard's output is printed whole.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --valgrind
cmake --preset default >/dev/null
cmake --build --preset default --target vctests

# valgrind answers cpuid for a processor of its own (its brand, without
# the vector features it cannot run), which is not the one /proc/cpuinfo
# describes: CpuFeatures compares the two, so it runs natively only.
filter='-*OpenSsl*:*Oracle*:*IfmaPair*:*Wycheproof*:BigNumMontReduce.*:Threads.*:CpuFeatures.*'
[ "${1:-}" = --all ] && filter='*'
shards=${VC_MEMCHECK_SHARDS:-2}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pids=()
for ((shard = 0; shard < shards; shard++)); do
  GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$shard \
    valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
    --show-leak-kinds=definite build/default/tests/vctests --gtest_brief=1 \
    --gtest_filter="$filter" >"$work/$shard.log" 2>&1 &
  pids+=($!)
done
status=0
for ((shard = 0; shard < shards; shard++)); do
  result=passed
  wait "${pids[$shard]}" || { status=1; result=FAILED; }
  echo "--- shard $((shard + 1)) of $shards"
  cat "$work/$shard.log"
  echo "memcheck: shard $((shard + 1)) of $shards $result"
done
exit "$status"
