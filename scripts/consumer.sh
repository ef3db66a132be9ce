#!/usr/bin/env bash
# Installs the library with `cmake --install` into a scratch prefix under the
# build directory (build/default/consumer/prefix) and builds three hosts
# against that tree alone, as other projects would, then runs each with the
# test credentials, seeded from a fresh seed file:
#   consumer_c           tests/consumer/consumer.c through pkg-config
#   cxx-shared           tests/consumer/consumer.cpp through find_package,
#                        Veilcastnet::veilcastnet, without exceptions
#   cxx-static           the same through Veilcastnet::veilcastnet_static,
#                        with VEILCASTNET_EXCEPTIONS
# Before that it checks the installed shared library: its SONAME, and that
# it still exports exactly the eleven operations. Last, the examples of
# docs/host-guide.md are built the same way and talk to each other: the C
# client with the C++ echo server, and the asio coroutine client with the
# asio echo server, through find_package's Veilcastnet::asio.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
started=$SECONDS

fail() {
  echo "consumer: FAILED: $*"
  exit 1
}

build=$PWD/build/default
scratch=$build/consumer
prefix=$scratch/prefix
cmake --preset default >/dev/null
cmake --build --preset default --target veilcastnet32 veilcastnet_static vctool
rm -rf "$scratch"
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(cd "$(dirname "$(find "$prefix" -name veilcastnet.pc)")/.." && pwd)
library=$libdir/libveilcastnet32.so
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]$/\1/p')
[ "$soname" = libveilcastnet32.so.2 ] || fail "SONAME is '$soname'"
[ -f "$library.2.0.0" ] || fail "no $library.2.0.0"
cmake -DLIBRARY="$library" -P tests/check_exports.cmake
echo "installed: $(readlink -f "$library") ($soname), $("$prefix/bin/vctool" --version)"

credentials=$PWD/tests/data/credentials
seed=$scratch/seed.bin
head -c 512 /dev/urandom >"$seed"
trap 'rm -f "$seed"' EXIT

# Only the scratch prefix's .pc is visible to pkg-config.
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig
echo "== consumer_c: $(pkg-config --cflags --libs veilcastnet)"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Wpedantic -Werror $(pkg-config --cflags veilcastnet) \
  tests/consumer/consumer.c -o "$scratch/consumer_c" $(pkg-config --libs veilcastnet) \
  -Wl,-rpath,"$(pkg-config --variable=libdir veilcastnet)"
"$scratch/consumer_c" "$credentials" "$seed"

for variant in shared static; do
  echo "== cxx-$variant: find_package(Veilcastnet)"
  static=OFF
  [ "$variant" = static ] && static=ON
  cmake -S tests/consumer -B "$scratch/cxx-$variant" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCONSUMER_STATIC=$static >/dev/null
  cmake --build "$scratch/cxx-$variant" >/dev/null
  "$scratch/cxx-$variant/consumer_cxx" "$credentials" "$seed"
done

# The host guide's two examples, taken from docs/host-guide.md as they
# stand, built the same way and run against each other over loopback: the
# C client sends a line to the C++ echo server and must get it back.
extract() {
  awk -v name="$1:" '
    /^```/ { fence = !fence; if (fence) { first = 1 } else { inside = 0 }; next }
    first { first = 0; if (index($0, name) > 0) { inside = 1 } }
    inside { print }' docs/host-guide.md >"$scratch/$1"
  [ -s "$scratch/$1" ] || fail "docs/host-guide.md has no $1"
}
echo "== the host guide's host.c and echo_server.cpp"
extract host.c
extract echo_server.cpp
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Wpedantic -Werror $(pkg-config --cflags veilcastnet) \
  "$scratch/host.c" -o "$scratch/host" $(pkg-config --libs veilcastnet) \
  -Wl,-rpath,"$(pkg-config --variable=libdir veilcastnet)"
# shellcheck disable=SC2046
c++ -std=c++20 -Wall -Wextra -Wpedantic -Wshadow -Werror $(pkg-config --cflags veilcastnet) \
  "$scratch/echo_server.cpp" -o "$scratch/echo_server" $(pkg-config --libs veilcastnet) \
  -Wl,-rpath,"$(pkg-config --variable=libdir veilcastnet)"
server_seed=$scratch/server-seed.bin
head -c 512 /dev/urandom >"$server_seed"
trap 'rm -f "$seed" "$server_seed"' EXIT
mkfifo "$scratch/port"
timeout 30 "$scratch/echo_server" "$credentials/server.pem" "$credentials/server.key" \
  "$credentials/ca.pem" "$server_seed" >"$scratch/port" &
server=$!
read -r port <"$scratch/port"
message="through the guide's host and server, $(date +%s)"
echoed=$(timeout 30 "$scratch/host" "$credentials/ca.pem" server.example "$port" "$seed" \
  "$message") || fail "host.c exited with $?"
wait "$server" || fail "echo_server.cpp exited with $?"
[ "$echoed" = "$message" ] || fail "host.c got back '$echoed'"
echo "echoed: $echoed"

# The host guide's asio examples through find_package(Veilcastnet COMPONENTS
# asio) and Veilcastnet::asio: the client writes 1.2 MB while it reads the
# echo back, both directions at once, and must get all of it back; then a
# client expecting another name is turned away, and the server, still
# serving, ends on SIGTERM.
echo "== the host guide's echo_server_asio.cpp and echo_client_asio.cpp"
extract echo_server_asio.cpp
extract echo_client_asio.cpp
cmake -S tests/consumer/asio -B "$scratch/asio" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" -DEXAMPLES="$scratch" >/dev/null
cmake --build "$scratch/asio" >/dev/null
mkfifo "$scratch/asio-port"
timeout --preserve-status 60 "$scratch/asio/echo_server_asio" "$credentials/server.pem" \
  "$credentials/server.key" "$credentials/ca.pem" "$server_seed" >"$scratch/asio-port" &
server=$!
read -r port <"$scratch/asio-port"
timeout 30 "$scratch/asio/echo_client_asio" "$credentials/ca.pem" server.example "$port" "$seed" \
  "both ways at once, " 60000 || fail "echo_client_asio exited with $?"
if timeout 30 "$scratch/asio/echo_client_asio" "$credentials/ca.pem" other.example "$port" \
  "$seed" "refused" 1 2>"$scratch/asio-refused"; then
  fail "echo_client_asio accepted a server certificate for another name"
fi
grep -q 'wrong servicename' "$scratch/asio-refused" || fail "$(cat "$scratch/asio-refused")"
kill -TERM "$server"
wait "$server" || fail "echo_server_asio exited with $?"

# The dynamic hosts ask the loader for the SONAME, the static one for nothing.
for host in consumer_c cxx-shared/consumer_cxx cxx-static/consumer_cxx; do
  needed=$(readelf -d "$scratch/$host" | grep -c 'NEEDED.*libveilcastnet32' || true)
  want=1
  [ "$host" = cxx-static/consumer_cxx ] && want=0
  [ "$needed" = "$want" ] || fail "$host needs libveilcastnet32 $needed times"
done
readelf -d "$scratch/consumer_c" | grep -q 'NEEDED.*\[libveilcastnet32\.so\.2\]' ||
  fail "consumer_c does not ask for libveilcastnet32.so.2"

echo "consumer: 3 hosts and the host guide's 4 examples built against the installed" \
     "tree and run, $((SECONDS - started)) s in all"
