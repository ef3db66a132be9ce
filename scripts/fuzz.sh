#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for a
# while (the credential readers from the committed credentials, the others
# from an empty corpus): FUZZ_SECONDS per target, 10 by default.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
seconds=${FUZZ_SECONDS:-10}
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
credentials=tests/data/credentials
# The credential readers start from the committed credentials, so a short
# run reaches the whole certificate and key walk instead of its first tags.
seed() {
  case "$1" in
    fuzz_pem|fuzz_private_key) cp "$credentials"/*.pem "$credentials"/*.key "$2" ;;
    fuzz_certificate)
      for pem in "$credentials"/*.pem; do
        openssl x509 -in "$pem" -outform DER -out "$2/$(basename "$pem" .pem).der" 2>/dev/null || true
      done ;;
  esac
}
for target in build/fuzz/fuzz/fuzz_*; do
  name=$(basename "$target")
  mkdir -p "$workdir/$name"
  seed "$name" "$workdir/$name"
  "$target" "$workdir/$name" -max_total_time="$seconds" -max_len=2100 \
    -artifact_prefix="$workdir/" >"$workdir/$name.log" 2>&1 || {
      tail -40 "$workdir/$name.log"; echo "$name FAILED"; exit 1; }
  echo "$name: $(grep -Eo 'Done [0-9]+ runs' "$workdir/$name.log") without a finding"
done
