#!/bin/sh
# A seed file is renewed at every start, privately and without a temporary
# file left behind, so no two starts from one path seed alike; a FIFO named
# as a seed or a credential is refused at once instead of waiting for a
# writer (each run is cut off by a time-out, which would fail the check).
#   vctool_seed.sh CREDENTIALS_DIR VCHOST|- VCTOOL...
# VCTOOL... is the program, after its emulator in a cross build.
set -eu
credentials=$1
vchost=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 512 /dev/urandom >"$work/seed"
chmod 644 "$work/seed"
mkfifo "$work/fifo"
digests=
digest() { digests="$digests $(md5sum <"$work/seed" | cut -c1-32)"; }
digest
timeout 20 "$@" demo --seed "$work/seed" >/dev/null
digest
timeout 20 "$@" demo --seed "$work/seed" >/dev/null
digest
if [ "$vchost" != - ]; then
  # Nobody listens on port 1: the client fails, but after its start-up.
  if timeout 20 "$vchost" client --ca "$credentials/ca.pem" --seed "$work/seed" \
    --host 127.0.0.1 --port 1 2>/dev/null; then exit 1; fi
  digest
fi
[ "$(echo $digests | tr ' ' '\n' | sort -u | wc -l)" = "$(echo $digests | wc -w)" ]
[ "$(stat -c '%a %s' "$work/seed")" = "600 512" ]
[ "$(ls "$work")" = "$(printf 'fifo\nseed')" ]

# refused: status 1 at once, never 124 from the time-out
refused() {
  status=0
  timeout 10 "$@" >"$work/out" 2>&1 </dev/null || status=$?
  [ "$status" = 1 ] || { echo "status $status: $*"; cat "$work/out"; exit 1; }
}
refused "$@" demo --seed "$work/fifo"
grep -q "fifo: not a regular file" "$work/out"
refused "$@" init "$work/fifo"  # the library's own read of the seed file
refused "$@" server --cert "$work/fifo" --key "$credentials/server.key" --ca "$credentials/ca.pem"
grep -q "fifo: not a regular file" "$work/out"
if [ "$vchost" != - ]; then
  refused "$vchost" client --ca "$work/fifo" --seed "$work/seed"
  grep -q "fifo: not a regular file" "$work/out"
fi
echo ok
