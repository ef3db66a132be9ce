#!/usr/bin/env bash
# The gateway benchmark: vcgate beside Debian's stunnel4 in one run, both
# as the same loopback topology
#   vcload -> gateway (client mode) -> gateway (server mode) -> vcecho
# with RSA-2048 server credentials (the committed test ones), stunnel on
# TLS 1.2 AES128-SHA without session resumption. Prints one table.
#   bench/gateway.sh [--quick] [--only vcgate|stunnel] [--measures "rate bulk ..."]
# --quick runs every measurement at a small scale, for a check that the
# harness works; the figures then mean little. The build directory is
# $BUILD (default build/default, with vcgate, vcload and vcecho built).
# stunnel4 is installed (apt-get) only when dpkg says it is absent; where
# it cannot be, its column says SKIPPED.
set -u

here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build/default}
creds=$here/tests/data/credentials
gate=$build/tools/vcgate
load=$build/bench/vcload
echo_bin=$build/bench/vcecho

quick=
only=
measures="rate memory held bulk attack integrity"
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --only) only=$2; shift ;;
    --measures) measures=$2; shift ;;
    *) echo "usage: $0 [--quick] [--only vcgate|stunnel] [--measures \"rate memory ...\"]" >&2; exit 2 ;;
  esac
  shift
done

for f in "$gate" "$load" "$echo_bin"; do
  [ -x "$f" ] || { echo "missing $f: build vcgate vcload vcecho first" >&2; exit 2; }
done

# The scale: full as the targets are stated, quick for a short check.
if [ -n "$quick" ]; then
  rate_conns=500 rate_repeats=1 idle_conns=500 fd_limit=1024 held_tries=700
  bulk_mib=16 bulk_repeats=1 attack_idle=200 attack_drip=10 probes=3
  integrity_conns=200 integrity_max=262144
else
  rate_conns=3000 rate_repeats=3 idle_conns=5000 fd_limit=20000 held_tries=10500
  bulk_mib=256 bulk_repeats=3 attack_idle=1000 attack_drip=50 probes=5
  integrity_conns=2000 integrity_max=1048576
fi
# The pair and the backend get the raised descriptor limit; vcload needs
# one descriptor per connection it holds.
hard=$(ulimit -Hn)
[ "$hard" = unlimited ] || [ "$fd_limit" -le "$hard" ] || fd_limit=$hard
ulimit -n "$hard" 2>/dev/null || true

work=$(mktemp -d)
pids=
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null
  if [ -n "${KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# stunnel4: used when installed; installed when dpkg says it is absent.
stunnel=
if [ "$only" != vcgate ]; then
  if ! dpkg -s stunnel4 >/dev/null 2>&1; then
    echo "installing stunnel4 ..." >&2
    if [ "$(id -u)" = 0 ]; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q stunnel4 >"$work/apt.log" 2>&1 || true
    else
      # shellcheck disable=SC2024  # the log is ours, not root's
      sudo -n env DEBIAN_FRONTEND=noninteractive apt-get install -y -q stunnel4 >"$work/apt.log" 2>&1 || true
    fi
  fi
  stunnel=$(command -v stunnel4 || command -v stunnel || true)
fi
kinds=
[ "$only" = stunnel ] || kinds=vcgate
[ -z "$stunnel" ] || kinds="$kinds stunnel"

# free_port: the next port nobody listens on (nor is connected from), in
# $next_port; the first one is random.
next_port=$((30000 + RANDOM % 20000))
free_port() {
  while :; do
    next_port=$((next_port + 1))
    grep -q "$(printf ':%04X ' "$next_port")" /proc/net/tcp /proc/net/tcp6 2>/dev/null || return 0
  done
}

listening() {
  grep -q "$(printf '0100007F:%04X 00000000:0000 0A' "$1")" /proc/net/tcp
}

wait_listen() {
  for _ in $(seq 200); do listening "$1" && return 0; sleep 0.05; done
  echo "nothing listens on $1" >&2; return 1
}

rss_kib() {  # the resident memory of the processes given, summed
  for p in "$@"; do awk '/^VmRSS/ { print $2 }' "/proc/$p/status" 2>/dev/null || echo 0; done |
    awk '{ s += $1 } END { print s + 0 }'
}

# start_backend [vcecho options]: sets backend_port, backend_pid.
start_backend() {
  rm -f "$work/echo.port"
  (ulimit -n "$fd_limit"; exec "$echo_bin" "$work/echo.port" "$@") >"$work/echo.out" &
  backend_pid=$!; pids="$pids $backend_pid"
  for _ in $(seq 200); do [ -s "$work/echo.port" ] && break; sleep 0.02; done
  backend_port=$(cat "$work/echo.port")
}

# start_pair KIND: the two gateways of KIND in front of the backend; sets
# entry (the client-mode port), secure (the server-mode port) and pair (the
# two processes).
start_pair() {
  free_port; secure=$next_port
  free_port; entry=$next_port
  case $1 in
  vcgate)
    (ulimit -n "$fd_limit"; cd "$creds" && exec "$gate" --mode server --cert server.pem \
      --key server.key --ca ca.pem --accept "127.0.0.1:$secure" \
      --connect "127.0.0.1:$backend_port") 2>"$work/server.log" &
    server_pid=$!
    (ulimit -n "$fd_limit"; cd "$creds" && exec "$gate" --mode client --ca ca.pem \
      --name server.example --accept "127.0.0.1:$entry" --connect "127.0.0.1:$secure") \
      2>"$work/client.log" &
    client_pid=$!
    ;;
  stunnel)
    # Foreground, one process each, logging to standard error only (as
    # vcgate does: without a syslog socket, trying it on every line costs
    # stunnel most of its time); certificates signed with MD5 need
    # OpenSSL's security level 0; no tickets, no session cache use; no
    # delay for small writes on either socket, as vcgate does.
    common="foreground = yes
pid =
debug = 5
syslog = no
sslVersion = TLSv1.2
ciphers = AES128-SHA:@SECLEVEL=0
options = NO_TICKET
sessionResume = no
socket = l:TCP_NODELAY=1
socket = r:TCP_NODELAY=1"
    cat >"$work/stunnel-server.conf" <<EOF
$common
[echo]
accept = 127.0.0.1:$secure
connect = 127.0.0.1:$backend_port
cert = $creds/server.pem
key = $creds/server.key
EOF
    cat >"$work/stunnel-client.conf" <<EOF
$common
[echo]
client = yes
accept = 127.0.0.1:$entry
connect = 127.0.0.1:$secure
CAfile = $creds/ca.pem
verifyChain = yes
checkHost = server.example
EOF
    (ulimit -n "$fd_limit"; exec "$stunnel" "$work/stunnel-server.conf") 2>>"$work/server.log" &
    server_pid=$!
    (ulimit -n "$fd_limit"; exec "$stunnel" "$work/stunnel-client.conf") 2>>"$work/client.log" &
    client_pid=$!
    ;;
  esac
  pids="$pids $server_pid $client_pid"
  pair="$server_pid $client_pid"
  wait_listen "$secure" && wait_listen "$entry"
}

stop_all() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null
  pids=
}

alive() { kill -0 "$server_pid" 2>/dev/null && kill -0 "$client_pid" 2>/dev/null; }

field() {  # field NAME FILE: the value of NAME=... on the file's last line
  tail -n 1 "$2" | tr ' ' '\n' | sed -n "s|^$1=||p"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR ? v[int((NR + 1) / 2)] : "-") }'; }

declare -A result

measure_rate() {  # new connections/s, a full handshake and a 1 KiB echo each
  local k=$1
  for _ in $(seq "$rate_repeats"); do
    start_backend
    start_pair "$k"
    "$load" --connect "127.0.0.1:$entry" --connections "$rate_conns" --concurrency 64 \
      --size 1024 >"$work/rate.out"
    errors=$(field errors "$work/rate.out")
    [ "$errors" = 0 ] || echo "$k: $errors connections failed in the rate run" >&2
    echo "$(field connections/s "$work/rate.out") ${errors:-?}"
    stop_all
  done >"$work/rate"
  result[$k,rate]=$(cut -d' ' -f1 "$work/rate" | median)
  failed=$(awk '{ s += $2 } END { print s + 0 }' "$work/rate")
  [ "$failed" = 0 ] || result[$k,rate]="${result[$k,rate]} ($failed failed)"
}

measure_memory() {  # RSS growth of the pair per idle connection
  local k=$1
  start_backend
  start_pair "$k"
  # A few connections first, so that what every connection needs once
  # (thread pools, the allocator's first arenas) is not counted per connection.
  "$load" --connect "127.0.0.1:$entry" --connections 64 --concurrency 64 >/dev/null
  sleep 0.5
  # shellcheck disable=SC2086  # two process ids
  before=$(rss_kib $pair)
  "$load" --connect "127.0.0.1:$entry" --mode hold --connections "$idle_conns" \
    --concurrency 64 >"$work/hold.out" &
  holder=$!
  for _ in $(seq 1200); do grep -q '^held=' "$work/hold.out" && break; sleep 0.1; done
  sleep 1
  # shellcheck disable=SC2086
  after=$(rss_kib $pair)
  held=$(head -n 1 "$work/hold.out" | tr ' ' '\n' | sed -n 's/^held=//p')
  kill -USR1 "$holder" 2>/dev/null
  wait "$holder"
  result[$k,memory]=$(awk -v a="$after" -v b="$before" -v n="${held:-0}" \
    'BEGIN { if (n > 0) printf "%.1f", (a - b) / n; else print "-" }')
  [ "${held:-0}" = "$idle_conns" ] || result[$k,memory]="${result[$k,memory]} (${held:-0} held)"
  stop_all
}

measure_held() {  # connections held at most, up to the descriptor limit
  local k=$1
  start_backend
  start_pair "$k"
  "$load" --connect "127.0.0.1:$entry" --mode hold --connections "$held_tries" \
    --concurrency 64 --hold-seconds 2 >"$work/held.out"
  answered=$(field answered "$work/held.out")
  refused=$(field refused "$work/held.out")
  if alive; then
    # Still serving once the held ones are gone?
    sleep 1
    if "$load" --connect "127.0.0.1:$entry" --connections 10 --concurrency 1 >/dev/null; then
      result[$k,held]="${answered:-0} (${refused:-?} refused)"
    else
      result[$k,held]="${answered:-0} (${refused:-?} refused; no service after)"
    fi
  else
    result[$k,held]="${answered:-0} CRASHED"
  fi
  stop_all
}

measure_bulk() {  # one connection, N MiB each way
  local k=$1
  for _ in $(seq "$bulk_repeats"); do
    start_backend
    start_pair "$k"
    if "$load" --connect "127.0.0.1:$entry" --mode bulk --connections 1 \
      --size $((bulk_mib << 20)) >"$work/bulk.out"; then
      echo "$(field MB/s "$work/bulk.out") ok"
    else
      echo "$k: a bulk run lost data" >&2
      echo "- lost"
    fi
    stop_all
  done >"$work/bulk"
  # The median of the runs that delivered everything; the others counted.
  result[$k,bulk]=$(grep ' ok$' "$work/bulk" | cut -d' ' -f1 | median)
  lost=$(grep -c ' lost$' "$work/bulk")
  [ "$lost" = 0 ] || result[$k,bulk]="${result[$k,bulk]} ($lost of $bulk_repeats runs lost data)"
}

measure_attack() {  # a fresh client while idle and dripping peers press the server
  local k=$1 hello
  # The first bytes of each protocol's client hello, then zeros: each
  # gateway has to wait for the rest.
  if [ "$k" = vcgate ]; then hello=00250102000003; else hello=16030102000101fc0303; fi
  start_backend
  start_pair "$k"
  "$load" --connect "127.0.0.1:$secure" --mode hold --raw --connections "$attack_idle" \
    --concurrency 64 --hold-seconds 30 >"$work/idle.out" &
  idler=$!
  for _ in $(seq 300); do grep -q '^held=' "$work/idle.out" && break; sleep 0.1; done
  "$load" --connect "127.0.0.1:$secure" --mode drip --connections "$attack_drip" \
    --drip-hex "$hello" --interval-ms 100 --seconds $((probes + 4)) >"$work/drip.out" &
  dripper=$!
  sleep 2
  : >"$work/probes"
  for _ in $(seq "$probes"); do
    "$load" --connect "127.0.0.1:$entry" --connections 1 --concurrency 1 >"$work/probe.out" ||
      echo 99999 >>"$work/probes"
    field max-ms "$work/probe.out" >>"$work/probes"
    sleep 0.5
  done
  result[$k,attack]=$(sort -g "$work/probes" | tail -n 1)
  idle=$(head -n 1 "$work/idle.out" | tr ' ' '\n' | sed -n 's/^held=//p')
  [ "${idle:-0}" = "$attack_idle" ] || result[$k,attack]="${result[$k,attack]} (${idle:-0} idle)"
  kill "$idler" "$dripper" 2>/dev/null
  wait "$idler" "$dripper" 2>/dev/null
  alive || result[$k,attack]="${result[$k,attack]} CRASHED"
  stop_all
}

measure_integrity() {  # random sizes in random chunks, MD5 at both ends
  local k=$1
  start_backend --check
  start_pair "$k"
  "$load" --connect "127.0.0.1:$entry" --mode integrity --connections "$integrity_conns" \
    --concurrency 64 --size "$integrity_max" >"$work/integrity.out"
  lost=$(field errors "$work/integrity.out")
  stop_all
  damaged=$(field damaged "$work/echo.out")
  result[$k,integrity]="${lost:-?} lost, ${damaged:-?} damaged at the backend"
  start_backend --early "$integrity_max"
  start_pair "$k"
  "$load" --connect "127.0.0.1:$entry" --mode integrity --early \
    --connections "$integrity_conns" --concurrency 64 --size "$integrity_max" \
    >"$work/early.out"
  result[$k,early]="$(field errors "$work/early.out") lost"
  stop_all
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for k in $kinds; do
  for m in $measures; do
    echo "$k: $m ..." >&2
    "measure_$m" "$k"
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

ratio() {  # ratio A B: A/B to two places, or -
  awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }'
}
value() { if [ -n "$stunnel" ] || [ "$1" = vcgate ]; then echo "${result[$1,$2]:--}"; else echo SKIPPED; fi; }

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
family=$(sed -n 's/^cpu family[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
model=$(sed -n 's/^model[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo
echo "processor: $cpu (family $family model $model), $(nproc) CPUs; load average $load_before before, $load_after after"
echo "scale: $([ -n "$quick" ] && echo quick || echo full); stunnel: $([ -n "$stunnel" ] && "$stunnel" -version 2>&1 | sed -n 's/^stunnel \([0-9.]*\) .*/stunnel \1/p' | head -n 1)"
printf '%-50s %-34s %-34s %s\n' measure vcgate stunnel4 "ratio (target)"
row() {  # row LABEL KEY RATIO-KIND TARGET
  local v s r=-
  v=$(value vcgate "$2") s=$(value stunnel "$2")
  case $3 in
    up) r=$(ratio "${v%% *}" "${s%% *}") ;;
    down) r=$(ratio "${s%% *}" "${v%% *}") ;;
  esac
  printf '%-50s %-34s %-34s %s\n' "$1" "$v" "$s" "$r${4:+ ($4)}"
}
row "new connections/s (handshake + 1 KiB echo, c=64)" rate up ">= 1.5"
row "memory per idle connection, KiB (pair RSS)" memory down ">= 4 (stunnel/vcgate)"
row "connections held at most (limit $fd_limit fds)" held up ""
row "bulk MB/s each way (one connection, $bulk_mib MiB)" bulk up ">= 1.0"
row "attack: fresh client handshake + echo, ms" attack "" "< 1000"
row "integrity ($integrity_conns x <= $((integrity_max >> 10)) KiB)" integrity "" "0 lost"
row "integrity, backend closing early" early "" "0 lost"
