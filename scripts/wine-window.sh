#!/usr/bin/env bash
# Runs "vchost.exe gather" from each Windows build, the 64-bit (x86_64) and
# then the 32-bit (i686) one, under wine on one virtual X display, in the
# prefix of scripts/wine-prefix.sh, and plays the user: diagonal mouse
# movements over the gathering window (at least 5 pixels on both axes per
# step, so each one counts) and a changing key at every step, until the
# program exits. Each passes when it exits 0 having printed vcInitialize's
# 0, and when the screenshot taken part-way shows a painted window rather
# than a blank one. The screenshots stay in
# build/windows-WIDTH/screenshots/. Skips when wine, Xvfb, xdotool or
# ImageMagick are missing and cannot be installed; the 32-bit part alone
# says SKIPPED, in one line, when 32-bit wine cannot be installed or run,
# and the 64-bit part runs all the same. The last line says which widths
# ran.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! scripts/deps.sh --wine; then
  echo "wine-window: SKIPPED: wine64, xvfb, xdotool and imagemagick are not installed" \
       "and could not be installed"
  exit 0
fi
source scripts/wine-prefix.sh
for program in "$wine" "$wineserver" Xvfb xdotool import identify; do
  if ! command -v "$program" >/dev/null; then
    echo "wine-window: SKIPPED: $program not found"
    exit 0
  fi
done
i686=
if wine32_usable wine-window; then
  i686=i686
fi

scripts/deps.sh --windows
for width in x86_64 $i686; do
  cmake --preset "windows-$width" >/dev/null
  cmake --build --preset "windows-$width"
done

started=$SECONDS
xvfb_pid=
host_pid=
display_file=$(mktemp)
cleanup() {
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
    kill "$host_pid" 2>/dev/null || true
  fi
  if [ -d "$WINEPREFIX" ]; then
    "$wineserver" -k 2>/dev/null || true
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -f "$display_file"
}
trap cleanup EXIT

width=
log=
fail() {
  echo "wine-window: ${width:+$width: }FAILED: $*"
  if [ -n "$log" ] && [ -s "$log" ]; then
    echo "--- vchost output"; cat "$log"
  fi
  exit 1
}

# Xvfb picks a free display itself and writes its number to descriptor 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$display_file" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start"
  sleep 0.1
done
[ -s "$display_file" ] || fail "Xvfb reported no display"
display=$(head -n 1 "$display_file")
export DISPLAY=:$display

wine_server_up wine-window || fail "wineboot could not create the prefix"

# gather WIDTH LOADER: build/windows-WIDTH's vchost.exe gather, started
# through LOADER, played until it exits; adds the width's account to
# $passed.
passed=()
gather() {
  width=$1
  local loader=$2 build=$PWD/build/windows-$1
  local shots=$build/screenshots
  local screenshot=$shots/wine-gather.png
  log=$build/wine-gather.log
  mkdir -p "$shots"
  rm -f "$screenshot" "$log"

  # vchost.exe and veilcastnet32.dll sit side by side in the build directory.
  (cd "$build" && exec "$loader" ./vchost.exe gather) >"$log" 2>&1 &
  host_pid=$!

  local window=
  for _ in $(seq 300); do
    window=$(xdotool search --onlyvisible --name '^Veilcastnet' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && break
    kill -0 "$host_pid" 2>/dev/null || fail "vchost exited before its window appeared"
    sleep 0.2
  done
  [ -n "$window" ] || fail "no window named Veilcastnet appeared within 60 seconds"
  local gather_started=$SECONDS X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # The X window is the client area: with no window manager, wine draws no
  # caption around it.
  local left=$X top=$Y width_px=$WIDTH height=$HEIGHT

  # A diagonal path bouncing inside the window, 7 and 6 pixels a step.
  local keys=(a s d f g h j k l q w e r t z u i o p y x c v b n m 1 2 3 4 5 6 7 8 9 0)
  local x=$((left + 10)) y=$((top + 10)) dx=7 dy=6 step=0
  while kill -0 "$host_pid" 2>/dev/null; do
    step=$((step + 1))
    [ "$step" -le 3000 ] || fail "vchost still running after $((step - 1)) steps"
    if [ $((x + dx)) -lt $((left + 5)) ] || [ $((x + dx)) -gt $((left + width_px - 5)) ]; then
      dx=$((-dx))
    fi
    if [ $((y + dy)) -lt $((top + 5)) ] || [ $((y + dy)) -gt $((top + height - 5)) ]; then
      dy=$((-dy))
    fi
    x=$((x + dx)) y=$((y + dy))
    xdotool mousemove "$x" "$y" key "${keys[$((step % ${#keys[@]}))]}" 2>/dev/null || true
    if [ "$step" -eq 40 ]; then
      import -window root "$screenshot"
    fi
    sleep 0.03
  done
  local status=0
  wait "$host_pid" || status=$?
  host_pid=
  local gather_seconds=$((SECONDS - gather_started))

  [ "$status" -eq 0 ] || fail "vchost gather exited with $status"
  grep -q '^vcInitialize: 0 ' "$log" || fail "vchost did not report vcInitialize 0"
  [ -f "$screenshot" ] || fail "the program ended before the screenshot at step 40"
  local colours
  colours=$(identify -format '%k' "${screenshot}[${width_px}x${height}+${left}+${top}]")
  [ "$colours" -ge 3 ] || fail "the window's area in $screenshot has $colours colour(s): blank"

  echo "wine-window: $width: $(cat "$log")"
  echo "wine-window: $width: passed after $step steps, gathering ${gather_seconds}s;" \
       "screenshot: ${screenshot#"$PWD"/} ($colours colours in the window)"
  passed+=("$width ($step steps, ${gather_seconds}s)")
}

wine_run_widths wine-window gather "$started" "prefix ${wine_prefix_seconds}s"
