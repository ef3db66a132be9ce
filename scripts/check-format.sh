#!/usr/bin/env bash
# Fails when any C or C++ source or header differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' '*.hpp')
clang-format --dry-run --Werror "${files[@]}"
echo "clang-format: ${#files[@]} files clean"
