# shellcheck shell=bash
# Sourced by the scripts that run the 64-bit Windows build under wine, from
# the top of the source tree: sets $wine and $wineserver, exports the wine
# environment, and defines wine_prefix_ready.
#
# The prefix lives in the build directory. Making one takes a quarter of a
# minute, so a CI run makes it once: .ci/run sets VC_CI_RUN to a name of its
# own, and a prefix stamped with that name is used again. Without
# VC_CI_RUN every script starts from a fresh prefix.
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINEPREFIX=$PWD/build/windows-x86_64/wineprefix
export WINEDEBUG=-all
# No .NET or HTML engine: the prefix is created without asking to download
# them, which keeps its first start short.
export WINEDLLOVERRIDES="mscoree,mshtml="

# wine_prefix_ready: 0 once the prefix is there; sets wine_prefix_seconds to
# the time it took to make (0 when it was there already).
wine_prefix_ready() {
  local stamp=$WINEPREFIX/.vc-ci-run begun=$SECONDS
  wine_prefix_seconds=0
  if [ -n "${VC_CI_RUN:-}" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$VC_CI_RUN" ]; then
    return 0
  fi
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  "$wine" wineboot --init >/dev/null 2>&1 || return 1
  "$wineserver" -w
  if [ -n "${VC_CI_RUN:-}" ]; then
    echo "$VC_CI_RUN" >"$stamp"
  fi
  # shellcheck disable=SC2034  # read by the script that sources this one
  wine_prefix_seconds=$((SECONDS - begun))
}
