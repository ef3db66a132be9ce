#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each from a
# copy of its committed seed corpus (fuzz/corpus/<target>): FUZZ_SECONDS per
# target, 10 by default, FUZZ_PARALLEL targets at a time (2 by default, one
# per core of the CI machines). Names given as arguments run only those
# targets. A finding prints the target's log and the input that caused it,
# which stays in FUZZ_ARTIFACTS (a scratch directory unless set).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --fuzz
cmake --preset fuzz >/dev/null
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for source in fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi
# The targets alone: the shared library is of no use to them.
cmake --build --preset fuzz --target "${targets[@]}"
seconds=${FUZZ_SECONDS:-10}
parallel=${FUZZ_PARALLEL:-2}
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
artifacts=${FUZZ_ARTIFACTS:-$workdir/artifacts}
mkdir -p "$artifacts"

# One target: its corpus grows in the scratch copy, never in the tree.
# -len_control=0 lets inputs grow at once: the handshake target runs a few
# dozen inputs a second and would otherwise spend its time on inputs too
# short to hold a second message.
run() {
  local name=$1 corpus="$workdir/$1"
  mkdir -p "$corpus"
  if [ -d "fuzz/corpus/$name" ]; then
    cp fuzz/corpus/"$name"/* "$corpus"/
  fi
  if build/fuzz/fuzz/"$name" "$corpus" -max_total_time="$seconds" -max_len=2100 \
      -len_control=0 -timeout=60 -artifact_prefix="$artifacts/$name-" >"$workdir/$name.log" 2>&1; then
    echo "$name: $(grep -Eo 'Done [0-9]+ runs in [0-9]+ second' "$workdir/$name.log")s without a finding"
  else
    tail -40 "$workdir/$name.log"
    echo "$name FAILED (input kept in $artifacts)"
    return 1
  fi
}

status=0
pids=()
for name in "${targets[@]}"; do
  run "$name" &
  pids+=($!)
  if [ "${#pids[@]}" -ge "$parallel" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
exit "$status"
