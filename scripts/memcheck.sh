#!/usr/bin/env bash
# The whole test program of the default build under valgrind's memcheck:
# an invalid read or write, a jump on an uninitialised value, or a block
# definitely lost at exit fails the run (the forked child of the random
# pool test included). About 90 s of CPU.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --valgrind
cmake --preset default >/dev/null
cmake --build --preset default
valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
  --show-leak-kinds=definite build/default/tests/vctests --gtest_brief=1
