# shellcheck shell=bash
# Sourced by the scripts that run the Windows builds under wine, from the
# top of the source tree: sets $wine (the 64-bit loader), $wine32 (the
# 32-bit one) and $wineserver, exports the wine environment, and defines
# wine32_usable, wine_prefix_ready, wine32_runs, and the steps every such
# script takes the same way: wine_server_up and wine_run_widths.
#
# Both widths run in one 64-bit prefix: wine's WoW64 runs the 32-bit
# programs in it, through the 32-bit loader of Debian's wine32:i386. Each
# width is started through its own loader. Either loader starts the other
# width too, but only by way of start.exe, so the process a timeout or a
# kill reaches would not be the program itself. The 32-bit part is
# optional: where wine32 cannot be installed or cannot run, the scripts say
# SKIPPED for it and run the 64-bit part alone.
#
# The prefix lives in the build directory. Making one takes a quarter of a
# minute, so a CI run makes it once: .ci/run sets VC_CI_RUN to a name of its
# own, and a prefix stamped with that name is used again. Without
# VC_CI_RUN every script starts from a fresh prefix.
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
# Not `command -v wine`: Debian's wine is a script that falls back on the
# 64-bit loader when the 32-bit one is missing. VC_WINE32 names another.
wine32=${VC_WINE32:-/usr/lib/wine/wine}
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINEPREFIX=$PWD/build/windows-x86_64/wineprefix
export WINEDEBUG=-all
# No .NET or HTML engine: the prefix is created without asking to download
# them, which keeps its first start short.
export WINEDLLOVERRIDES="mscoree,mshtml="

# wine32_usable NAME: 0 when the 32-bit loader is installed (installing
# wine32:i386 if need be) and starts on this kernel; otherwise sets
# wine32_skipped to why. What the install prints is kept for the log
# unless it fails, when the reason says it all.
wine32_usable() {
  local output
  wine32_skipped=
  if ! output=$(scripts/deps.sh --wine32 2>&1); then
    wine32_skipped="32-bit wine (wine32:i386) is not installed and could not be installed"
    return 1
  fi
  [ -z "$output" ] || echo "$1: $output"
  if [ ! -x "$wine32" ]; then
    wine32_skipped="no 32-bit wine loader at $wine32"
    return 1
  fi
  # The loader is an i386 program: a kernel without 32-bit support does
  # not start it at all.
  if ! output=$("$wine32" --version 2>&1); then
    output=$(head -n 1 <<<"$output")
    wine32_skipped="$wine32 does not start (${output##*: }): this kernel may run no i386 programs"
    return 1
  fi
}

# wine_prefix_ready [i686]: 0 once the prefix is there; sets
# wine_prefix_seconds to the time it took to make (0 when it was there
# already). With i686 the prefix must have been made with the 32-bit
# loader installed, since that is when wineboot lays out its 32-bit side.
wine_prefix_ready() {
  local stamp=$WINEPREFIX/.vc-ci-run begun=$SECONDS want=${VC_CI_RUN:-}${1:+ $1} have=
  wine_prefix_seconds=0
  [ -f "$stamp" ] && have=$(cat "$stamp")
  if [ -n "${VC_CI_RUN:-}" ] && { [ "$have" = "$want" ] || [ "$have" = "$VC_CI_RUN i686" ]; }; then
    return 0
  fi
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  "$wine" wineboot --init >/dev/null 2>&1 || return 1
  "$wineserver" -w
  if [ -n "${VC_CI_RUN:-}" ]; then
    echo "$want" >"$stamp"
  fi
  # shellcheck disable=SC2034  # read by the script that sources this one
  wine_prefix_seconds=$((SECONDS - begun))
}

# wine32_runs: 0 when the prefix runs a 32-bit Windows program of wine's
# own (cmd.exe, reporting the x86 processor architecture); otherwise sets
# wine32_skipped to why. Run once the wine server is up.
wine32_runs() {
  local output file=$WINEPREFIX/.vc-wine32-probe
  # Into a file, not a pipe: the services the first program of a wine
  # server starts inherit its output, and would hold a pipe open for good.
  "$wine32" cmd /c echo %PROCESSOR_ARCHITECTURE% >"$file" 2>&1 || true
  output=$(tr -d '\r' <"$file")
  if [ "$output" != x86 ]; then
    wine32_skipped="the 32-bit loader runs no 32-bit program in the prefix"
    wine32_skipped+=" (cmd.exe said: $(head -n 1 <<<"${output:-nothing}"))"
    return 1
  fi
}

# wine_server_up NAME: the prefix made (for the 32-bit part too where $i686
# is set, as wine_prefix_ready says), and one wine server started for all
# the runs that follow instead of one per run. Where the prefix runs no
# 32-bit program, clears i686; where the 32-bit part is skipped, says so
# as NAME. 1 when the prefix cannot be made.
wine_server_up() {
  wine_prefix_ready ${i686:+"$i686"} || return 1
  "$wineserver" -p
  if [ -n "$i686" ] && ! wine32_runs; then
    i686=
  fi
  if [ -n "$wine32_skipped" ]; then
    echo "SKIPPED: $1 i686: $wine32_skipped"
  fi
}

# wine_run_widths NAME RUN STARTED TIMES: RUN x86_64 "$wine", then, where
# $i686 is set, RUN i686 "$wine32", each adding its width's account to the
# array passed; then the last line, as NAME: the accounts, why the 32-bit
# part was skipped if it was, TIMES, and the total since $SECONDS was
# STARTED.
wine_run_widths() {
  local name=$1 run=$2 since=$3 times=$4 skipped='' summary
  "$run" x86_64 "$wine"
  if [ -n "$i686" ]; then
    "$run" i686 "$wine32"
  fi
  [ -n "$wine32_skipped" ] && skipped=", i686 SKIPPED: $wine32_skipped"
  # shellcheck disable=SC2154  # the array of the script that sources this one
  summary=$(printf '%s, ' "${passed[@]}")
  echo "$name: passed: ${summary%, }$skipped; $times, total $((SECONDS - since))s"
}
