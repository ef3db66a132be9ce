#!/bin/sh
# What a gate does not wait for: connections beyond --max-connections are
# closed at once and counted, a silent peer is dropped at the handshake
# timeout, an idle connection at the idle timeout, and a far side that
# refuses ends the connection it was for.
. "$(dirname "$0")/lib.sh"

# at_most SECONDS FILE / at_least SECONDS FILE: what gate_peer hold printed.
at_most() { awk -v limit="$1" '{ exit !($1 <= limit) }' "$2" || { cat "$2"; exit 1; }; }
at_least() { awk -v limit="$1" '{ exit !($1 >= limit) }' "$2" || { cat "$2"; exit 1; }; }

echo "== two connections allowed, the third closed at once; the two end idle"
chain --handshake-timeout 1 -- --max-connections 2 --idle-timeout 1.5 --stats 0.2
"$peer" hold "$entry" >"$work/first" & first=$!
"$peer" hold "$entry" >"$work/second" & second=$!
expect client 'stats: open=2 '
"$peer" hold "$entry" >"$work/third"
at_most 0.5 "$work/third"
wait $first $second
at_least 1.2 "$work/first"
at_most 3 "$work/second"
expect client 'result="idle timeout"'
expect client 'stats: open=0 .* accepted=3 refused=1'

echo "== a peer that never starts the handshake"
"$peer" hold "$server_port" >"$work/silent"
at_least 0.8 "$work/silent"
at_most 2.5 "$work/silent"
expect server 'suite=- from-peer=0 to-peer=0 .* result="handshake timeout"'
stop_all

echo "== a backend that refuses"
closed=$("$peer" freeport)
start_gate refused $server_args --accept 127.0.0.1:0 --connect "127.0.0.1:$closed" \
  --connect-timeout 1
start_gate front $client_args --accept 127.0.0.1:0 --connect "127.0.0.1:$port"
"$peer" hold "$port" >"$work/refused"
at_most 1 "$work/refused"
expect refused 'result="connect: Connection refused"'
