#!/bin/sh
# Runs a command under Wine with an X display of its own: a fresh Xvfb screen, and a Wine prefix
# for window programs whose server is ended afterwards, so that the next run's server starts on
# its own display. Works on a machine without any display.
# Usage: with-display.sh WINEPREFIX WINESERVER COMMAND [ARGS...]
set -eu
prefix=$1
wineserver=$2
shift 2
dir=$(mktemp -d)
# Xvfb picks a free display number and writes it to descriptor 3 once it accepts connections.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
xvfb=$!
cleanup() {
  WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
tries=0
until [ -s "$dir/display" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 200 ] || ! kill -0 "$xvfb" 2>/dev/null; then
    echo "with-display: Xvfb did not start" >&2
    cat "$dir/xvfb.log" >&2
    exit 1
  fi
  sleep 0.05
done
FLINTMOOR_WINE_DISPLAY=:$(head -n1 "$dir/display")
export FLINTMOOR_WINE_DISPLAY
FLINTMOOR_WINEPREFIX=$prefix
export FLINTMOOR_WINEPREFIX
status=0
"$@" || status=$?
exit "$status"
