#!/usr/bin/env bash
# Both Windows DLLs, the 64-bit (x86_64) and the 32-bit (i686) one, under
# wine against the Linux library, through the host program vchost built for
# each. For each width in turn:
#
#  1. "vchost session" runs the same scripted session on each, the Windows
#     build loading veilcastnet32.dll by ordinal, the Linux build
#     libveilcastnet32.so by name; the two transcripts must be identical.
#     When VC_HOST_NATIVE32_BUILD names a 32-bit Linux build directory
#     (linux-i686, vchost built), the 32-bit transcript must also be
#     identical to its vchost's.
#  2. vchost as a Winsock endpoint against vctool on Linux over 127.0.0.1,
#     one row per line below: a Windows client against a Linux server and
#     a Linux client against a Windows server, both suites, with and
#     without client certificates, 1 MiB each way, standard input and
#     output as files or as pipes. What arrived must have the MD5 of what
#     was sent, as md5sum sees the files and as vchost reports it, and the
#     client must report the suite it asked for.
#
# Each width's transcripts and logs stay in build/windows-WIDTH/wine-host/.
# The Linux side is built with the default preset unless VC_HOST_NATIVE_BUILD
# names a build directory of its own. Skips when wine cannot be installed;
# the 32-bit part alone says SKIPPED, in one line, when 32-bit wine cannot
# be installed or run, and the 64-bit part runs all the same. The last line
# says which widths ran.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

if ! scripts/deps.sh --wine; then
  echo "wine-host: SKIPPED: wine64 is not installed and could not be installed"
  exit 0
fi
source scripts/wine-prefix.sh
if ! command -v "$wine" >/dev/null || ! command -v "$wineserver" >/dev/null; then
  echo "wine-host: SKIPPED: $wine or $wineserver not found"
  exit 0
fi
widths=(x86_64)
if wine32_usable wine-host; then
  widths+=(i686)
fi

scripts/deps.sh --windows
for width in "${widths[@]}"; do
  cmake --preset "windows-$width" >/dev/null
  cmake --build --preset "windows-$width"
done
native=${VC_HOST_NATIVE_BUILD:-build/default}
if [ -z "${VC_HOST_NATIVE_BUILD:-}" ]; then
  cmake --preset default >/dev/null
else
  cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVC_BUILD_TESTS=OFF \
    -DVC_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$native" --target vchost vctool
build_seconds=$((SECONDS - started))

top=$PWD
native=$(cd "$native" && pwd)
vctool=$native/tools/vctool
native32=
if [ -n "${VC_HOST_NATIVE32_BUILD:-}" ]; then
  native32=$(cd "$VC_HOST_NATIVE32_BUILD" && pwd)
fi

# No window is ever shown; without a display wine cannot open one either.
unset DISPLAY WAYLAND_DISPLAY
server=
cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
  fi
  "$wineserver" -k 2>/dev/null || true
}
trap cleanup EXIT

width=
work=
fail() {
  echo "wine-host: ${width:+$width: }FAILED: $*"
  for log in "$work"/*.log; do
    [ -s "$log" ] && { echo "--- $(basename "$log")"; cat "$log"; }
  done
  exit 1
}

i686=
[ "${widths[-1]}" = i686 ] && i686=i686
wine_server_up wine-host || fail "wineboot could not create the prefix"

# Both programs read the credentials from the current directory.
cd tests/data/credentials
md5_of() { md5sum <"$1" | cut -d ' ' -f 1; }
server_credentials="--cert server.pem --key server-enc.key --pass-phrase-file passphrase.txt"
client_credentials="--cert client.pem --key client-enc.key --pass-phrase-file passphrase.txt"

# endpoint IO SIDE ROLE ARGUMENTS...: runs vctool (SIDE linux) or vchost.exe
# under wine (SIDE windows) as server or client, for at most a minute,
# reading $work/to-ROLE's peer and writing $work/ROLE-got, through pipes
# when IO is pipe.
endpoint() {
  local io=$1 side=$2 role=$3 program
  shift 3
  program=("$vctool")
  [ "$side" = windows ] && program=("$loader" "$windows/vchost.exe")
  local input=$work/to-client
  [ "$role" = client ] && input=$work/to-server
  if [ "$io" = pipe ]; then
    # shellcheck disable=SC2002  # a pipe is the point
    cat "$input" | timeout 60 "${program[@]}" "$role" "$@" 2>"$work/$role.log" |
      cat >"$work/$role-got"
  else
    timeout 60 "${program[@]}" "$role" "$@" <"$input" >"$work/$role-got" 2>"$work/$role.log"
  fi
}

# run_width WIDTH LOADER: both parts for build/windows-WIDTH's vchost.exe,
# started through LOADER; adds the width's account to $passed.
passed=()
run_width() {
  width=$1 loader=$2
  windows=$top/build/windows-$width
  work=$windows/wine-host
  rm -rf "$work"
  mkdir -p "$work"
  local phase=$SECONDS

  # 1. The transcripts.
  "$native/vchost" session . >"$work/session-linux.txt" 2>"$work/session-linux.log" ||
    fail "vchost session on Linux exited with $?"
  "$loader" "$windows/vchost.exe" session . >"$work/session-windows.txt" \
    2>"$work/session-windows.log" || fail "vchost.exe session under wine exited with $?"
  if ! cmp -s "$work/session-linux.txt" "$work/session-windows.txt"; then
    diff -u "$work/session-linux.txt" "$work/session-windows.txt" | head -n 60 || true
    fail "the transcripts differ (build/windows-$width/wine-host/session-*.txt)"
  fi
  local against="the Linux one"
  if [ "$width" = i686 ] && [ -n "$native32" ]; then
    "$native32/vchost" session . >"$work/session-linux32.txt" 2>"$work/session-linux32.log" ||
      fail "vchost session from $native32 exited with $?"
    if ! cmp -s "$work/session-linux32.txt" "$work/session-windows.txt"; then
      diff -u "$work/session-linux32.txt" "$work/session-windows.txt" | head -n 60 || true
      fail "the transcripts differ (build/windows-$width/wine-host/session-*.txt)"
    fi
    against="the 64-bit and 32-bit Linux ones"
  fi
  local transcript_lines
  transcript_lines=$(wc -l <"$work/session-linux.txt")
  echo "wine-host: $width: the transcript ($transcript_lines lines) is identical to $against"
  local session_seconds=$((SECONDS - phase))
  phase=$SECONDS

  # 2. TCP both ways.
  head -c 1048576 /dev/urandom >"$work/to-server"
  head -c 1048576 /dev/urandom >"$work/to-client"
  local to_server_md5 to_client_md5 rows=0
  to_server_md5=$(md5_of "$work/to-server")
  to_client_md5=$(md5_of "$work/to-client")
  local windows_side ciphers role client_certificate io suite
  local server_side client_side row extra port sent received
  # windows  ciphers  server role  client certificate  io  suite the client reports
  while read -r windows_side ciphers role client_certificate io suite; do
    rows=$((rows + 1))
    if [ "$windows_side" = client ]; then
      server_side=linux client_side=windows
    else
      server_side=windows client_side=linux
    fi
    row="$client_side client, $server_side server, $ciphers, role $role, $io"
    extra=
    [ "$client_certificate" = yes ] && extra=$client_credentials
    rm -f "$work"/*.log "$work"/*-got
    # shellcheck disable=SC2086  # the credentials are a list of options
    endpoint "$io" "$server_side" server $server_credentials --ca ca.pem --role "$role" \
      --host 127.0.0.1 --port 0 --ciphers "$ciphers" &
    server=$!
    port=
    for _ in $(seq 200); do
      # The log may not exist yet: the shell that starts the server in the
      # background has not necessarily opened it when the first look comes.
      port=$(sed -n 's/^[a-z]*: listening on .* port \([0-9][0-9]*\)$/\1/p' "$work/server.log" \
        2>/dev/null || true)
      [ -n "$port" ] && break
      kill -0 "$server" 2>/dev/null || break
      sleep 0.1
    done
    [ -n "$port" ] || fail "$row: the server reported no port"
    # shellcheck disable=SC2086
    endpoint "$io" "$client_side" client --ca ca.pem --host 127.0.0.1 --port "$port" \
      --name server.example $extra --ciphers "$ciphers" || fail "$row: the client exited with $?"
    wait "$server" || fail "$row: the server exited with $?"
    server=
    [ "$(md5_of "$work/server-got")" = "$to_server_md5" ] ||
      fail "$row: what the server received is not what the client sent"
    [ "$(md5_of "$work/client-got")" = "$to_client_md5" ] ||
      fail "$row: what the client received is not what the server sent"
    grep -q "^v[a-z]*: handshake complete, $suite\$" "$work/client.log" ||
      fail "$row: the client did not report $suite"
    # vchost's own account of both streams, against md5sum's.
    if [ "$windows_side" = client ]; then
      sent=$to_server_md5 received=$to_client_md5
    else
      sent=$to_client_md5 received=$to_server_md5
    fi
    grep -qx "vchost: sent 1048576 bytes, MD5 $sent" "$work/$windows_side.log" ||
      fail "$row: vchost reports other bytes sent"
    grep -qx "vchost: received 1048576 bytes, MD5 $received" "$work/$windows_side.log" ||
      fail "$row: vchost reports other bytes received"
    echo "wine-host: $width: $row: 1 MiB each way intact, $suite"
  done <<'ROWS'
client  rc4  server       no   file  RC4-128
client  des  server       no   pipe  triple-DES-CBC
client  rc4  auth-client  yes  pipe  RC4-128
client  des  auth-client  yes  file  triple-DES-CBC
server  rc4  server       no   pipe  RC4-128
server  des  server       no   file  triple-DES-CBC
server  rc4  auth-client  yes  file  RC4-128
server  des  auth-client  yes  pipe  triple-DES-CBC
ROWS
  local tcp_seconds=$((SECONDS - phase))
  local account="$width (transcripts identical, $rows TCP runs;"
  passed+=("$account session ${session_seconds}s, TCP ${tcp_seconds}s)")
}

wine_run_widths wine-host run_width "$started" \
  "build ${build_seconds}s, prefix ${wine_prefix_seconds}s"
