#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for a
# while from an empty corpus: FUZZ_SECONDS per target, 10 by default.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
seconds=${FUZZ_SECONDS:-10}
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
for target in build/fuzz/fuzz/fuzz_*; do
  name=$(basename "$target")
  mkdir -p "$workdir/$name"
  "$target" "$workdir/$name" -max_total_time="$seconds" -max_len=2100 \
    -artifact_prefix="$workdir/" >"$workdir/$name.log" 2>&1 || {
      tail -40 "$workdir/$name.log"; echo "$name FAILED"; exit 1; }
  echo "$name: $(grep -Eo 'Done [0-9]+ runs' "$workdir/$name.log") without a finding"
done
