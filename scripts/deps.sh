#!/usr/bin/env bash
# Installs the Debian packages the build needs, but only those that are
# absent, so a run that needs nothing new never touches the mirror.
set -euo pipefail

# libx11-dev only for Xlib's headers: the library loads libX11 at run time.
# pkgconf for the C host scripts/consumer.sh builds through pkg-config.
# libasio-dev: standalone asio (headers only) for the asio adapter, its
# tests and vctool's network commands.
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
          openssl clang-format binutils libx11-dev pkgconf libasio-dev)
# Each argument adds a group of packages; several may be given at once.
foreign=
for group in "$@"; do
  case "$group" in
    --windows) packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686
                          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64) ;;
    --fuzz) packages+=(clang libclang-rt-dev) ;;
    # What the X11 window test drives the window with.
    --window) packages+=(xvfb xdotool imagemagick x11-utils) ;;
    --wine) packages+=(wine64 xvfb xdotool imagemagick) ;;
    # 32-bit Linux programs; GoogleTest from its sources, built for 32 bits
    # with the rest of that build. User-mode emulation only for a kernel
    # that cannot run them itself.
    --i686) packages+=(g++-multilib googletest) ;;
    # Debian's i386 packages: what the dynamically linked 32-bit build runs
    # against (OpenSSL for the differential tests and the benchmarks,
    # GoogleTest, Google Benchmark, the libX11 the window loads) and 32-bit
    # wine for the shipped DLL. The architecture is added when absent.
    --i386) foreign=i386
            packages+=(libssl-dev:i386 libgtest-dev:i386 libbenchmark-dev:i386 libx11-6:i386
                      libx11-xcb1:i386) ;;
    --wine32) foreign=i386; packages+=(wine32:i386) ;;
    --qemu) packages+=(qemu-user-static) ;;
    --valgrind) packages+=(valgrind) ;;
  esac
done

# installed NAME[:ARCH]: the package is installed for ARCH (without one,
# for the machine's own architecture), or for all. dpkg -s cannot say: once
# a package is there for two architectures it asks which one is meant.
native=$(dpkg --print-architecture)
installed() {
  local name=${1%%:*} arch=$native
  [[ $1 == *:* ]] && arch=${1#*:}
  dpkg-query -W -f='${db:Status-Abbrev}|${Architecture}\n' "$name" 2>/dev/null |
    grep -qE "^ii \|($arch|all)$"
}
missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ -n "$foreign" ] && ! dpkg --print-foreign-architectures | grep -qx "$foreign"; then
    dpkg --add-architecture "$foreign"
  fi
  apt-get update -qq
  # Another step may be installing at the same moment: wait for its lock.
  apt-get install -y -qq -o DPkg::Lock::Timeout=300 "${missing[@]}" >/dev/null
fi
