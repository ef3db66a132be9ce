#!/bin/sh
# The config file: two services in one process chained to each other, the
# global keys, the seed file refreshed after start-up, and a table of
# broken files, each refused with its file, line and key and nothing started.
. "$(dirname "$0")/lib.sh"

echo "== two services: [out] client mode into [in] server mode, one process"
backend echo
inner=$("$peer" freeport)
seed=$work/seed
head -c 512 /dev/urandom >"$seed"
cp "$seed" "$work/seed.before"
cat >"$work/two.conf" <<CONF
# global keys first
threads = 2
stats = 0.2
log = $work/two.log
seed = $seed

[out]
mode = client
accept = 127.0.0.1:0
connect = 127.0.0.1:$inner
ca = ca.pem
name = server.example

[in]
mode = server
accept = 127.0.0.1:$inner
connect = 127.0.0.1:$port
cert = server.pem
key = server-enc.key
pass-phrase-file = passphrase.txt
ca = ca.pem
ciphers = des
CONF
"$gate" --config "$work/two.conf" & pids="$pids $!"
expect two 'service out \(client mode\) listening on 127.0.0.1 port [0-9]+$'
port=$(sed -n 's/^vcgate: service out .* port \([0-9]*\)$/\1/p' "$work/two.log")
head -c 100000 /dev/urandom >"$work/data"
"$peer" send "$port" "$work/data" >"$work/got"
cmp "$work/data" "$work/got"
expect two 'service=out .*suite=triple-DES-CBC .*from-peer=100000 to-peer=100000 .*result=ok'
expect two 'service=in .*suite=triple-DES-CBC .*from-peer=100000 to-peer=100000 .*result=ok'
expect two 'stats: open=0 .* accepted=2 refused=0'
[ "$(wc -c <"$seed")" -eq 512 ] && ! cmp -s "$seed" "$work/seed.before"
stop_all

echo "== a seed that is not a regular file"
mkdir "$work/dir"
if "$gate" $server_args --accept 127.0.0.1:0 --connect 127.0.0.1:9 --seed "$work/dir" \
  2>"$work/err"; then exit 1; fi
grep -q "not a regular file" "$work/err"

echo "== broken files"
# expected message | the file, \n between lines
while IFS='|' read -r message text; do
  printf '%b\n' "$text" >"$work/bad.conf"
  if "$gate" --config "$work/bad.conf" 2>"$work/err"; then exit 1; fi
  if ! grep -qF "vcgate: $work/bad.conf:$message" "$work/err" || grep -q listening "$work/err"; then
    echo "wanted: $message"; cat "$work/err"; exit 1
  fi
done <<'ROWS'
2: colour: unknown key|threads = 2\ncolour = blue\n[s]
3: threads: a global key goes before the first [section]|[s]\nmode = server\nthreads = 2
1: mode: a service key goes inside a [section]|mode = server
3: idle-timeout: 'soon' is not seconds|[s]\nmode = client\nidle-timeout = soon
2: accept: '4433' is not HOST:PORT|[s]\naccept = 4433
4: [t]: a section needs a name of its own|[t]\nmode = client\n\n[t]
2: stray: expected KEY = VALUE|[s]\nstray
1: [s] cert: a server needs cert and key|[s]\nmode = server\naccept = :0\nconnect = 127.0.0.1:9\nca = ca.pem
1: [s] ca: missing: at least one trusted CA certificate|[s]\nmode = client\naccept = :0\nconnect = 127.0.0.1:9
3: [s] role: only a server asks for client certificates|[s]\nmode = client\nrole = auth-client\naccept = :0\nconnect = 127.0.0.1:9\nca = ca.pem
4: [s] cert: nosuch.pem: not a regular file|[s]\nmode = server\naccept = :0\ncert = nosuch.pem\nkey = server.key\nconnect = 127.0.0.1:9\nca = ca.pem
5: [s] key: privKey/cert do not match|[s]\nmode = server\naccept = :0\ncert = server.pem\nkey = client.key\nconnect = 127.0.0.1:9\nca = ca.pem
6: [s] pass-phrase-file: passphrase bad|[s]\nmode = server\naccept = :0\ncert = server.pem\nkey = server-enc.key\npass-phrase-file = ca.pem\nconnect = 127.0.0.1:9\nca = ca.pem
ROWS
