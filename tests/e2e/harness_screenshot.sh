#!/usr/bin/env bash
# Shows the harness window under Wine on the test display and saves a
# screenshot of it: the picture to look at for Japanese text drawn as glyphs.
# Usage: harness_screenshot.sh HARNESS_EXE OUTPUT_PNG   (DISPLAY and WINEPREFIX set by scripts/test)
set -euo pipefail
exe=$1 out=$2
: "${DISPLAY:?the test display is set by scripts/test}"
: "${WINEPREFIX:?}"
mkdir -p "$(dirname "$out")"
wine "$exe" </dev/null >/dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
win=
for _ in $(seq 1 100); do
  win=$(xdotool search --name 'Morvik harness' 2>/dev/null | head -n 1) && [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "the harness window did not appear"; exit 1; }
# The window maps before it paints: retake until text shows (dark pixels),
# for up to 5 s.
ink=0
for _ in $(seq 1 25); do
  sleep 0.2
  eval "$(xdotool getwindowgeometry --shell "$win")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
  # permille of pixels darker than half grey
  ink=$(convert "$out" -colorspace gray -threshold 50% -negate -format '%[fx:int(1000*mean)]' info:)
  [ "$ink" -gt 5 ] && break
done
echo "screenshot: $out (${WIDTH}x${HEIGHT}, ink ${ink}/1000)"
[ "$WIDTH" -ge 300 ] && [ "$ink" -gt 5 ]
