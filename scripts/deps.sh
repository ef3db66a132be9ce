#!/usr/bin/env bash
# Installs the Debian packages the build needs, but only those that are
# absent, so a run that needs nothing new never touches the mirror.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
          openssl clang-format binutils)
case "${1:-}" in
  --windows) packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686
                        g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64) ;;
  --fuzz) packages+=(clang libclang-rt-dev) ;;
  --wine) packages+=(wine64 xvfb xdotool imagemagick) ;;
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
