#!/usr/bin/env bash
# Cross-builds veilcastnet32.dll and vchost.exe for 32-bit and 64-bit
# Windows and checks each DLL's export table: exactly the ordinals 10 to 20,
# no names, each ordinal on the operation it stands for. Both may import
# nothing but system DLLs, and only the host program Winsock. The installed
# tree of each build must let a C host link the DLL by ordinal.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --windows

expected=(vcTerminate vcDestroyConnection vcDestroyContext vcInitialize vcCreateConnection
          vcOpenRecord vcCreateContext vcHandshake vcSealRecord vcErrorText vcInfoText)

# check_imports TOOL_PREFIX FILE [DLL...]: every imported DLL is a system
# DLL, or one of those named.
check_imports() {
  local dump dll_name status=0
  dump=$("$1-objdump" -p "$2")
  imports=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | sort -u)
  for dll_name in $imports; do
    case " kernel32.dll user32.dll gdi32.dll msvcrt.dll advapi32.dll ${*:3} " in
      *" $dll_name "*) ;;
      *) echo "$2 imports a non-system DLL: $dll_name"; status=1 ;;
    esac
  done
  return "$status"
}

# check_installed PRESET TOOL_PREFIX: cmake --install into a scratch prefix
# lays out the DLL, its import library and .def, the headers and the
# package files; the C consumer host, compiled with the flags pkg-config
# gives for that prefix, links against the import library and imports all
# eleven operations by ordinal (10 to 20), none by name.
check_installed() {
  local preset=$1 tool=$2 file ordinals status=0
  local prefix=build/$preset/install-check
  rm -rf "$prefix"
  cmake --install "build/$preset" --prefix "$prefix" >/dev/null
  for file in bin/veilcastnet32.dll lib/libveilcastnet32.dll.a lib/veilcastnet32.def \
      include/veilcastnet.h include/veilcastnet.hpp lib/pkgconfig/veilcastnet.pc \
      lib/cmake/Veilcastnet/VeilcastnetConfig.cmake; do
    [ -f "$prefix/$file" ] || { echo "$preset: cmake --install left out $file"; status=1; }
  done
  # shellcheck disable=SC2046
  if ! "$tool-gcc" -std=c11 -Wall -Wextra -Wpedantic -Werror \
      $(PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig pkg-config --cflags veilcastnet) \
      tests/consumer/consumer.c -o "$prefix/consumer_c.exe" \
      $(PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig pkg-config --libs veilcastnet); then
    echo "$preset: the C host does not link against the installed import library"; return 1
  fi
  # An import by ordinal shows as the ordinal flag and the ordinal in hex,
  # and no name.
  local entry imported=()
  for entry in $("$tool-objdump" -p "$prefix/consumer_c.exe" | awk '
      /DLL Name:/ {inside = tolower($3) == "veilcastnet32.dll"; next}
      inside && /^$/ {inside = 0}
      inside && /^\t[0-9a-f]+\t/ {print ($NF == "<none>" ? $1 : "name:" $NF)}'); do
    case "$entry" in
      name:*) imported+=("$entry") ;;
      *) imported+=("$((16#${entry: -4}))") ;;
    esac
  done
  ordinals=$(printf '%s\n' "${imported[@]}" | sort -n | tr '\n' ' ')
  if [ "$ordinals" != "10 11 12 13 14 15 16 17 18 19 20 " ]; then
    echo "$preset: the C host imports from veilcastnet32.dll: $ordinals"; status=1
  fi
  return "$status"
}

# check_dll PRESET TOOL_PREFIX SYMBOL_PATTERN: SYMBOL_PATTERN is how nm shows
# an operation NAME ("NAME" replaced); stdcall decorates it on i686 only.
check_dll() {
  local preset=$1 tool=$2 pattern=$3
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  local dll=build/$preset/veilcastnet32.dll
  local dump image_base names symbols entry ordinal rva want address status=0
  dump=$("$tool-objdump" -p "$dll")
  image_base=$(awk '/^ImageBase/ {print $2}' <<<"$dump")

  # Ordinal -> RVA from the export address table.
  mapfile -t exports < <(awk '
    /^Export Address Table -- Ordinal Base/ {base = $NF; inside = 1; next}
    inside && /^\t\[/ {gsub(/[\[\]+]/, " "); print base + $1, $4; next}
    inside && /^$/ {inside = 0}' <<<"$dump")
  names=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {inside = 1; next}
               inside && /^\t\[/ {print} inside && /^$/ {inside = 0}' <<<"$dump")

  if [ -n "$names" ]; then
    echo "$preset: export table carries names:"; echo "$names"; status=1
  fi
  if [ "${#exports[@]}" -ne 11 ]; then
    echo "$preset: expected 11 exports, found ${#exports[@]}"; status=1
  fi
  symbols=$("$tool-nm" "$dll")
  for entry in "${exports[@]}"; do
    read -r ordinal rva <<<"$entry"
    want=${expected[$((ordinal - 10))]:-}
    address=$(printf "%0${#image_base}x" $((16#$image_base + 16#$rva)))
    if ! grep -qE "^$address T ${pattern//NAME/$want}$" <<<"$symbols"; then
      echo "$preset: ordinal $ordinal (rva $rva) is not $want"; status=1
    fi
  done
  check_imports "$tool" "$dll" || status=1
  local dll_imports=$imports
  check_imports "$tool" "build/$preset/vchost.exe" ws2_32.dll || status=1
  check_installed "$preset" "$tool" || status=1
  if [ "$status" -ne 0 ]; then
    echo "$preset: veilcastnet32.dll export check FAILED"; return 1
  fi
  echo "$preset: veilcastnet32.dll exports ordinals 10-20 without names, installs, and" \
       "links a C host by ordinal;" \
       "imports: $(echo $dll_imports)"
}

status=0
check_dll windows-i686 i686-w64-mingw32 '_NAME@[0-9]+' || status=1
check_dll windows-x86_64 x86_64-w64-mingw32 'NAME' || status=1
exit "$status"
