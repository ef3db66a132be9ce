#!/bin/sh
# Both modes in one chain (client-mode gate -> server-mode gate -> echo
# backend): data both ways with a client certificate, half-close from
# either end, a bad record after good data, and many connections at once.
. "$(dirname "$0")/lib.sh"
head -c 300000 /dev/urandom >"$work/data"

echo "== triple-DES with a client certificate, both ways"
chain --role auth-client --ciphers des -- --cert client.pem --key client-enc.key \
  --pass-phrase-file passphrase.txt
"$peer" send "$entry" "$work/data" >"$work/got"
cmp "$work/data" "$work/got"
expect server 'suite=triple-DES-CBC subject="C=DE, O=Veilcastnet Test, CN=client.example" md5=([0-9A-F]{2}:){15}[0-9A-F]{2} from-peer=300000 to-peer=300000 .* result=ok'
expect client 'suite=triple-DES-CBC subject=".*CN=server.example" md5=10:6E:B4:47:F1:9D:CE:FB:F8:D8:AD:21:D1:BE:E3:6E from-peer=300000 to-peer=300000 .* result=ok'
stop_all

echo "== the client ends first, the backend answers after that"
backend late --after-eof
start_gate server $server_args --accept 127.0.0.1:0 --connect "127.0.0.1:$port"
start_gate client $client_args --accept 127.0.0.1:0 --connect "127.0.0.1:$port"
"$peer" send "$port" "$work/data" >"$work/got"
cmp "$work/data" "$work/got"

echo "== the backend ends first, the client sends after that"
head -c 5000 /dev/urandom >"$work/greeting"
backend speaker --speak "$work/greeting" --record "$work/heard"
start_gate server2 $server_args --accept 127.0.0.1:0 --connect "127.0.0.1:$port"
start_gate client2 $client_args --accept 127.0.0.1:0 --connect "127.0.0.1:$port"
"$peer" send "$port" "$work/data" --wait-eof >"$work/got"
cmp "$work/greeting" "$work/got"
wait_file "$work/heard"
cmp "$work/data" "$work/heard"
stop_all

echo "== the backend hangs up with the client's data unread: what it sent arrives whole"
head -c 4000000 /dev/urandom >"$work/parting"
backend hangup --speak "$work/parting" --hang-up 1000
start_gate server3 $server_args --accept 127.0.0.1:0 --connect "127.0.0.1:$port"
start_gate client3 $client_args --accept 127.0.0.1:0 --connect "127.0.0.1:$port"
"$peer" send "$port" "$work/data" >"$work/got"
cmp "$work/parting" "$work/got"
stop_all

echo "== a bad record after good data: the good part arrives, then the end"
backend recorder --record "$work/recorded"
start_gate server $server_args --accept 127.0.0.1:0 --connect "127.0.0.1:$port"
"$peer" spoil "$work/spoil.port" "$port" 250000 & pids="$pids $!"
wait_file "$work/spoil.port"
start_gate client $client_args --accept 127.0.0.1:0 --connect "127.0.0.1:$(cat "$work/spoil.port")"
"$peer" send "$port" "$work/data" --pause-after 200000 >/dev/null
expect server 'from-peer=200000 .* result="peer: decryption failed"'
wait_file "$work/recorded"
head -c 200000 "$work/data" | cmp - "$work/recorded"
stop_all

echo "== many connections of random sizes in random pieces"
chain --threads 2 -- --threads 2
"$peer" many "$entry" 200 262144
