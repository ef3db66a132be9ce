#!/bin/sh
# vctool server and vctool client as two processes over loopback TCP, one
# row per line below: the server reports the port it was given, the client
# pipes a file to it while the server pipes another back, and both files
# must arrive intact.
#   vctool_tcp.sh CREDENTIALS_DIR VCTOOL...
# VCTOOL... is the program, after its emulator in a cross build.
set -eu
cd "$1"
shift
work=$(mktemp -d)
server=
trap 'if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi; rm -rf "$work"' EXIT
head -c 200000 /dev/urandom >"$work/to-server"
head -c 100000 /dev/urandom >"$work/to-client"

# ciphers  server role   client credentials
while read -r ciphers role client_credentials; do
  echo "== $ciphers, server role $role"
  [ "$client_credentials" = - ] && client_credentials=
  "$@" server --cert server.pem --key server-enc.key --pass-phrase-file passphrase.txt \
    --ca ca.pem --role "$role" --host 127.0.0.1 --port 0 --ciphers "$ciphers" \
    <"$work/to-client" >"$work/server-got" 2>"$work/server-log" &
  server=$!
  port=
  for _ in $(seq 100); do
    # The background shell may not have opened the log yet.
    port=$(sed -n 's/^vctool: listening on .* port \([0-9][0-9]*\)$/\1/p' "$work/server-log" \
      2>/dev/null || true)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$work/server-log"; exit 1; }
  # shellcheck disable=SC2086  # the credentials column is a list of options
  "$@" client --ca ca.pem --host 127.0.0.1 --port "$port" --name server.example \
    $client_credentials <"$work/to-server" >"$work/client-got"
  wait "$server" || { cat "$work/server-log"; exit 1; }
  server=
  cmp "$work/to-server" "$work/server-got"
  cmp "$work/to-client" "$work/client-got"
done <<'ROWS'
rc4   server       -
des   auth-client  --cert client.pem --key client-enc.key --pass-phrase-file passphrase.txt
ROWS
echo "both directions intact"
