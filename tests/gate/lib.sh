# Sourced by the gateway test scripts, which take
#   CREDENTIALS_DIR VCGATE GATE_PEER
# and run in the credentials directory with a scratch directory in $work.
set -eu
cd "$1"
gate=$2
peer=$3
work=$(mktemp -d)
pids=
trap 'for p in $pids; do kill "$p" 2>/dev/null || true; done
  if [ -n "${KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi' EXIT

server_args="--mode server --cert server.pem --key server-enc.key --pass-phrase-file passphrase.txt --ca ca.pem"
client_args="--mode client --ca ca.pem --name server.example"

wait_file() {
  for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.05; done
  echo "no $1"; return 1
}

# backend NAME [gate_peer echo options]: an echo backend; its port in $port.
backend() {
  name=$1; shift
  rm -f "$work/$name.port"
  "$peer" echo "$work/$name.port" "$@" & pids="$pids $!"
  wait_file "$work/$name.port"
  port=$(cat "$work/$name.port")
}

# start_gate NAME VCGATE_ARGS...: vcgate logging to $work/NAME.log; the
# port of its first service in $port, its process in $pid.
start_gate() {
  name=$1; shift
  # The child opens the log; the port must not come from an earlier one.
  : >"$work/$name.log"
  "$gate" "$@" 2>"$work/$name.log" & pid=$!; pids="$pids $pid"
  for _ in $(seq 100); do
    port=$(sed -n 's/^vcgate: service .* listening on .* port \([0-9]*\)$/\1/p' \
      "$work/$name.log" | head -n 1)
    [ -n "$port" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  cat "$work/$name.log"; return 1
}

# chain [SERVER_ARGS] [-- CLIENT_ARGS]: echo backend, server-mode gate
# "server", client-mode gate "client" in front of it; the client gate's
# port in $entry, the gates' processes in $server_pid and $client_pid.
chain() {
  extra_server= extra_client= side=server
  for a in "$@"; do
    if [ "$a" = -- ]; then side=client; continue; fi
    if [ $side = server ]; then extra_server="$extra_server $a"; else extra_client="$extra_client $a"; fi
  done
  backend echo
  # shellcheck disable=SC2086  # option lists
  start_gate server $server_args --accept 127.0.0.1:0 --connect "127.0.0.1:$port" $extra_server
  server_pid=$pid server_port=$port
  # shellcheck disable=SC2086
  start_gate client $client_args --accept 127.0.0.1:0 --connect "127.0.0.1:$port" $extra_client
  client_pid=$pid entry=$port
}

# expect LOG PATTERN: the log has a line matching the pattern (grep -E).
expect() {
  for _ in $(seq 40); do grep -Eqs "$2" "$work/$1.log" && return 0; sleep 0.05; done
  echo "$1.log lacks /$2/:"; cat "$work/$1.log"; return 1
}

# stop_all: ends every process started so far.
stop_all() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  pids=
}
