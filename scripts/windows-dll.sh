#!/usr/bin/env bash
# Cross-builds veilcastnet32.dll and checks its export table: exactly the
# ordinals 10 to 20, no names, each ordinal on the operation it stands for,
# and nothing imported but system DLLs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --windows
cmake --preset windows-i686 >/dev/null
cmake --build --preset windows-i686
dll=build/windows-i686/veilcastnet32.dll

dump=$(i686-w64-mingw32-objdump -p "$dll")
image_base=$(awk '/^ImageBase/ {print $2}' <<<"$dump")

# Ordinal -> RVA from the export address table.
mapfile -t exports < <(awk '
  /^Export Address Table -- Ordinal Base/ {base = $NF; inside = 1; next}
  inside && /^\t\[/ {gsub(/[\[\]+]/, " "); print base + $1, $4; next}
  inside && /^$/ {inside = 0}' <<<"$dump")
names=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {inside = 1; next}
             inside && /^\t\[/ {print} inside && /^$/ {inside = 0}' <<<"$dump")

expected=(vcTerminate vcDestroyConnection vcDestroyContext vcInitialize vcCreateConnection
          vcOpenRecord vcCreateContext vcHandshake vcSealRecord vcErrorText vcInfoText)
status=0
if [ -n "$names" ]; then
  echo "export table carries names:"; echo "$names"; status=1
fi
if [ "${#exports[@]}" -ne 11 ]; then
  echo "expected 11 exports, found ${#exports[@]}"; status=1
fi
symbols=$(i686-w64-mingw32-nm "$dll")
for entry in "${exports[@]}"; do
  read -r ordinal rva <<<"$entry"
  want=${expected[$((ordinal - 10))]:-}
  address=$(printf '%08x' $((16#$image_base + 16#$rva)))
  if ! grep -qE "^$address T _${want}@[0-9]+$" <<<"$symbols"; then
    echo "ordinal $ordinal (rva $rva) is not $want"; status=1
  fi
done
imports=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | sort -u)
for dll_name in $imports; do
  case "$dll_name" in
    kernel32.dll|user32.dll|gdi32.dll|msvcrt.dll|advapi32.dll) ;;
    *) echo "imports a non-system DLL: $dll_name"; status=1 ;;
  esac
done
if [ "$status" -ne 0 ]; then
  echo "veilcastnet32.dll export check FAILED"; exit 1
fi
echo "veilcastnet32.dll exports ordinals 10-20 without names; imports: $(echo $imports)"
