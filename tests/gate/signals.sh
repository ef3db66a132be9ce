#!/bin/sh
# SIGTERM: the gate stops accepting, lets an open transfer finish and then
# exits; a connection that outlasts the grace period is closed. SIGHUP:
# renewed credentials serve the next connections; a bad file keeps the old
# ones and the log says why.
. "$(dirname "$0")/lib.sh"
head -c 300000 /dev/urandom >"$work/data"

echo "== SIGTERM during a transfer: it finishes, nothing new is accepted"
chain
"$peer" send "$entry" "$work/data" --pause-after 100000 >"$work/got" & sender=$!
sleep 0.3
kill -TERM "$client_pid"
expect client 'stopping: 1 connections open'
if "$peer" send "$entry" "$work/data" >/dev/null 2>&1; then echo "still accepting"; exit 1; fi
wait "$sender"
cmp "$work/data" "$work/got"
wait "$client_pid"
expect client 'result=ok'
expect client 'stopped'
stop_all

echo "== SIGTERM with a connection that stays: closed when the grace ends"
chain -- --grace 0.5
"$peer" hold "$entry" >"$work/held" & holder=$!
sleep 0.3
kill -TERM "$client_pid"
wait "$client_pid"
wait "$holder"
expect client 'result="shut down at the end of the grace period"'
stop_all

echo "== SIGHUP with a renewed certificate, then with a broken one"
cp server.pem "$work/cert.pem"
cp server.key "$work/cert.key"
backend echo
start_gate server --mode server --cert "$work/cert.pem" --key "$work/cert.key" --ca ca.pem \
  --accept 127.0.0.1:0 --connect "127.0.0.1:$port"
server_pid=$pid
# The client trusts only the CA of the renewed certificate.
start_gate client --mode client --ca ca4096.pem --name server.example \
  --accept 127.0.0.1:0 --connect "127.0.0.1:$port"
"$peer" send "$port" "$work/data" >"$work/got"
[ ! -s "$work/got" ]
expect client 'result="handshake: certificate invalid"'
cp by-ca4096.pem "$work/cert.pem"
cp by-ca4096.key "$work/cert.key"
kill -HUP "$server_pid"
expect server 'service vcgate: credentials reloaded'
"$peer" send "$port" "$work/data" >"$work/got"
cmp "$work/data" "$work/got"
echo "not a certificate" >"$work/cert.pem"
kill -HUP "$server_pid"
expect server 'service vcgate: keeping the old credentials: --cert: certificate bad'
"$peer" send "$port" "$work/data" >"$work/got"
cmp "$work/data" "$work/got"
