#!/bin/sh
# vctool server and client against peers that say nothing, with --timeout 1:
#  1. a TCP client that never starts its handshake does not hold the server:
#     it is dropped after the limit and a real client then gets through;
#  2. a client gives up on a server that accepts and never answers;
#  3. both ends give up on a connection on which nothing moves.
# The silent peers are a few lines of perl (perl-base is always there).
#   vctool_timeouts.sh CREDENTIALS_DIR VCTOOL...
set -eu
cd "$1"
shift
work=$(mktemp -d)
pids=
trap 'for pid in $pids; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"' EXIT

fail() {
  echo "vctool_timeouts: FAILED: $*"
  for log in "$work"/*.log; do echo "== $log"; cat "$log"; done
  exit 1
}

# The port a background vctool server reports in LOG.
port_of() {
  for _ in $(seq 100); do
    port=$(sed -n 's/^vctool: listening on .* port \([0-9][0-9]*\)$/\1/p' "$1" 2>/dev/null || true)
    [ -n "$port" ] && { echo "$port"; return; }
    sleep 0.1
  done
  fail "no port in $1"
}

server_options="--cert server.pem --key server-enc.key --pass-phrase-file passphrase.txt --ca ca.pem"
client_options="--ca ca.pem --host 127.0.0.1 --name server.example"
head -c 50000 /dev/urandom >"$work/data"

echo "== 1. a client that never starts its handshake"
# shellcheck disable=SC2086  # lists of options
"$@" server $server_options --host 127.0.0.1 --port 0 --timeout 1 </dev/null \
  >"$work/server-got" 2>"$work/server.log" &
server=$!
pids="$server"
port=$(port_of "$work/server.log")
perl -MIO::Socket::INET -e '$s = IO::Socket::INET->new("127.0.0.1:$ARGV[0]") or die; sleep 20' \
  "$port" &
pids="$pids $!"
sleep 2
grep -q "^vctool: handshake with 127\.0\.0\.1 port [0-9]* failed: not complete within 1 s; waiting for another client$" \
  "$work/server.log" || fail "the server did not drop the silent client"
# shellcheck disable=SC2086
"$@" client $client_options --port "$port" <"$work/data" >/dev/null 2>"$work/client.log" ||
  fail "the client after the silent one failed"
wait "$server" || fail "the server exited with $?"
cmp "$work/data" "$work/server-got" || fail "the server received other data"

echo "== 2. a server that never answers"
perl -MIO::Socket::INET -e '
  $l = IO::Socket::INET->new(LocalAddr => "127.0.0.1", Listen => 1) or die;
  print $l->sockport, "\n"; STDOUT->flush; $c = $l->accept; sleep 20' >"$work/port" &
pids="$pids $!"
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
started=$(date +%s)
status=0
# shellcheck disable=SC2086
"$@" client $client_options --port "$(cat "$work/port")" --timeout 1 </dev/null \
  2>"$work/silent.log" || status=$?
[ "$status" -eq 1 ] || fail "the client exited with $status"
[ $(($(date +%s) - started)) -le 5 ] || fail "the client waited more than 5 s"
grep -qx "vctool: handshake failed: the server did not complete it within 1 s" \
  "$work/silent.log" || fail "no clear message from the client"

echo "== 3. a connection on which nothing moves"
# Both standard inputs are a pipe that stays open and empty: this shell
# holds its writing end.
mkfifo "$work/quiet"
exec 3<>"$work/quiet"
# shellcheck disable=SC2086
"$@" server $server_options --host 127.0.0.1 --port 0 --timeout 1 <"$work/quiet" \
  >/dev/null 2>"$work/idle-server.log" &
server=$!
pids="$pids $server"
status=0
# shellcheck disable=SC2086
"$@" client $client_options --port "$(port_of "$work/idle-server.log")" --timeout 1 \
  <"$work/quiet" >/dev/null 2>"$work/idle-client.log" || status=$?
[ "$status" -eq 1 ] || fail "the idle client exited with $status"
status=0
wait "$server" || status=$?
[ "$status" -eq 1 ] || fail "the idle server exited with $status"
for log in idle-server idle-client; do
  grep -qx "vctool: no data moved either way for 1 s" "$work/$log.log" ||
    fail "$log did not give up on the idle connection"
done
echo "silent peers dropped, silent servers and idle connections given up on"
