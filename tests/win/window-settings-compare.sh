#!/bin/sh
# The settings file of the Linux window after a start from a file naming the three images and the
# port SIM, and a close; then the Windows window's test, which starts from the same file, types the
# same names, picks SIM and closes, compares its own file with it. Usage: window-settings-compare.sh HOST_BUILD_DIR WORK_DIR TEST_COMMAND...
set -eu
qt_window=$1/app/flintmoor
work=$2
shift 2
[ -x "$qt_window" ] || { echo "missing $qt_window: build the host's window first" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
# The settings file lands beside the program.
cp "$qt_window" "$work/flintmoor"
# Both windows start from the same file: the port and the files of an earlier session.
printf '[CONFIG]\r\nComPort=SIM\r\n[FILES]\r\nBootloader=boot.bin\r\nPartitions=part.bin\r\nFirmware=app.bin\r\n' \
  >"$work/start.ini"
cp "$work/start.ini" "$work/Flintmoor.ini"
(cd "$work" && QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" ./flintmoor --simulate \
  --screenshot "$work/window.png" >/dev/null 2>&1)
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
FLINTMOOR_QT_SETTINGS=$(windows_path "$work/Flintmoor.ini")
FLINTMOOR_SETTINGS_START=$(windows_path "$work/start.ini")
export FLINTMOOR_QT_SETTINGS FLINTMOOR_SETTINGS_START
exec "$@" --gtest_filter='WindowSettings.*'
