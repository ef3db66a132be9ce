#!/usr/bin/env bash
# Installs the Debian packages the build needs, but only those that are
# absent, so a run that needs nothing new never touches the mirror.
set -euo pipefail

# libx11-dev only for Xlib's headers: the library loads libX11 at run time.
# pkgconf for the C host scripts/consumer.sh builds through pkg-config.
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
          openssl clang-format binutils libx11-dev pkgconf)
case "${1:-}" in
  --windows) packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686
                        g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64) ;;
  --fuzz) packages+=(clang libclang-rt-dev) ;;
  # What the X11 window test drives the window with.
  --window) packages+=(xvfb xdotool imagemagick x11-utils) ;;
  --wine) packages+=(wine64 xvfb xdotool imagemagick) ;;
  # 32-bit Linux programs, run under user-mode emulation; GoogleTest from
  # its sources, built for 32 bits with the rest of that build.
  --i686) packages+=(g++-multilib qemu-user-static googletest) ;;
  --valgrind) packages+=(valgrind) ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg -s "$package" >/dev/null 2>&1; then
    missing+=("$package")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
