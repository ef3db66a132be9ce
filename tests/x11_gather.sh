#!/bin/sh
# The mouse-and-keyboard window on a virtual X server. Without a display
# vctool init --gather must answer 1 at once. With one, the window must come
# up centred with its class and title; key presses sent with xdotool must
# show progress in a screenshot (kept, and checked for a painted window),
# and mouse moves alone must then satisfy the generator, so that
# vcInitialize answers 0. Last, a server that goes away in the middle of a
# gathering must end it with 1, not end the process.
#   x11_gather.sh VCTOOL SCREENSHOT_DIR [LIBX11]
# Exits 77 (skipped) when Xvfb, xdotool, xprop or ImageMagick is missing,
# or LIBX11, the libX11 a VCTOOL of another architecture loads, is.
set -eu
vctool=$1
shots=$2
libx11=${3:-}

if [ -n "$libx11" ] && [ ! -e "$libx11" ]; then
  echo "SKIPPED: $libx11 is not installed (libx11-6 for this build's architecture)"
  exit 77
fi

for tool in Xvfb xdotool xprop import convert; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool is not installed (scripts/deps.sh --window installs xvfb, xdotool," \
      "x11-utils and imagemagick)"
    exit 77
  fi
done

fail() {
  echo "FAILED: $*"
  for log in "$work"/*.log; do
    [ -s "$log" ] && { echo "--- $(basename "$log")"; cat "$log"; }
  done
  exit 1
}

work=$(mktemp -d)
xvfb=
gatherer=
trap 'for p in $gatherer $xvfb; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

echo "== no display"
if env -u DISPLAY "$vctool" init --gather >"$work/no-display.log" 2>&1; then
  fail "vctool init --gather succeeded without a display"
fi
grep -q '^vcInitialize(window): 1 ' "$work/no-display.log" || fail "expected answer 1"

echo "== Xvfb 1024x768x24"
# Xvfb picks a free display itself and writes its number once it listens.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" \
  2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start"
DISPLAY=:$(cat "$work/display")
export DISPLAY

echo "== vctool init --gather on $DISPLAY"
"$vctool" init --gather >"$work/gather.log" 2>&1 &
gatherer=$!
window=$(timeout 10 xdotool search --sync --class MouseKeyboard 2>/dev/null | head -n 1)
[ -n "$window" ] || fail "no window of class MouseKeyboard"

LC_ALL=C.UTF-8 xprop -id "$window" WM_CLASS _NET_WM_NAME >"$work/xprop.log"
grep -qx 'WM_CLASS(STRING) = "veilcastnet", "MouseKeyboard"' "$work/xprop.log" ||
  fail "wrong WM_CLASS"
# Veilcastnet and the registered sign, U+00AE, in UTF-8.
grep -qx "_NET_WM_NAME(UTF8_STRING) = \"Veilcastnet$(printf '\302\256')\"" "$work/xprop.log" ||
  fail "wrong _NET_WM_NAME"
# 560x270 in the middle of the 1024x768 screen.
xdotool getwindowgeometry --shell "$window" >"$work/geometry.log"
for expected in X=232 Y=249 WIDTH=560 HEIGHT=270; do
  grep -qx "$expected" "$work/geometry.log" || fail "window geometry: expected $expected"
done
cat "$work/xprop.log" "$work/geometry.log"

# Diagonal moves of 7 and 5 pixels, bouncing off a margin inside the
# window, so every move is far enough along both axes to count.
x=250
y=260
dx=7
dy=5
moves() {
  for _ in $(seq 40); do
    x=$((x + dx))
    y=$((y + dy))
    if [ "$x" -lt 245 ] || [ "$x" -gt 780 ]; then
      dx=$((-dx))
      x=$((x + 2 * dx))
    fi
    if [ "$y" -lt 255 ] || [ "$y" -gt 500 ]; then
      dy=$((-dy))
      y=$((y + 2 * dy))
    fi
    echo "mousemove $x $y"
  done
}

echo "== typing"
# Fifty keys, no key among the four before it (which would count nothing):
# not enough to finish, enough to fill the left end of the progress bar.
xdotool type --delay 4 "abcdefghijklmnopqrstuvwxyz 0123456789 qwertzuiop,.-" \
  2>>"$work/xdotool.log" || true
sleep 0.3
kill -0 "$gatherer" 2>/dev/null || fail "the window closed on fifty keys"
mkdir -p "$shots"
shot="$shots/x11-gather.png"
import -window root "$shot"

# The window's area must be painted: text on white and the progress strip
# give it contrast and several colours, where an unpainted window would be
# one flat colour. Just inside the strip's left end (client 5,255) the bar
# must be navy (0,0,128): the keys have made progress.
contrast=$(convert "$shot" -crop 560x270+232+249 +repage -format '%[fx:standard_deviation]' info:)
colours=$(convert "$shot" -crop 560x270+232+249 +repage -format '%k' info:)
bar=$(convert "$shot" -format '%[fx:int(255*p{237,504}.r+0.5)],%[fx:int(255*p{237,504}.g+0.5)],%[fx:int(255*p{237,504}.b+0.5)]' info:)
echo "screenshot $shot: window area standard deviation $contrast, $colours colours, bar $bar"
awk -v c="$contrast" 'BEGIN { exit !(c > 0.05) }' || fail "the window area is blank"
[ "$colours" -ge 4 ] || fail "the window area has only $colours colours"
[ "$bar" = "0,0,128" ] || fail "no progress after fifty keys (bar colour $bar)"

echo "== moving until the window closes"
round=0
while kill -0 "$gatherer" 2>/dev/null; do
  round=$((round + 1))
  [ "$round" -le 40 ] || fail "the window was still open after 40 rounds of moves"
  moves >"$work/moves"  # not in a subshell: the position carries over
  # shellcheck disable=SC2046  # one xdotool call, many mousemove commands
  xdotool $(cat "$work/moves") 2>>"$work/xdotool.log" || true
  sleep 0.1
done
wait "$gatherer" || fail "vctool init --gather exited $?"
gatherer=
grep -q '^vcInitialize(window): 0 ' "$work/gather.log" || fail "vcInitialize did not answer 0"
cat "$work/gather.log"
echo "closed after $round rounds of 40 moves"

echo "== the server goes away in the middle of a gathering"
"$vctool" init --gather >"$work/lost.log" 2>&1 &
gatherer=$!
timeout 10 xdotool search --sync --class MouseKeyboard >/dev/null 2>&1 ||
  fail "no window for the second gathering"
kill "$xvfb"
wait "$xvfb" 2>/dev/null || true
xvfb=
status=0
wait "$gatherer" || status=$?
gatherer=
grep -q '^vcInitialize(window): 1 ' "$work/lost.log" ||
  fail "expected answer 1 after losing the server (exit status $status)"
[ "$status" -eq 1 ] || fail "vctool exited $status after losing the server"
cat "$work/lost.log"
