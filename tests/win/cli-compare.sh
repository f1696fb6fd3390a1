#!/bin/sh
# Runs the same jobs with the build machine's flintmoor-cli and with flintmoor-cli.exe under Wine,
# each against its own virtual ESP32, and requires the same flash contents byte for byte, the same
# exit status and the same output (line ends aside).
# Usage: cli-compare.sh HOST_BUILD_DIR WINE_RUN WINDOWS_CLI WORK_DIR
set -eu
host_cli=$1/cli/flintmoor-cli
samples=$1/cli/flintmoor-samples
wine_run=$2
win_cli=$3
work=$4

for tool in "$host_cli" "$samples"; do
  [ -x "$tool" ] || { echo "missing $tool: build the host's flintmoor-cli first" >&2; exit 1; }
done
rm -rf "$work"
mkdir -p "$work"
cd "$work"
"$samples" make . >/dev/null

failures=0

# run_both NAME EXPECTED_STATUS [cli arguments...]: the flash files start from the same content.
run_both() {
  name=$1
  expected=$2
  shift 2
  for side in linux windows; do
    if [ -f start.bin ]; then cp start.bin "$name-$side.bin"; else rm -f "$name-$side.bin"; fi
  done
  status_linux=0
  "$host_cli" --port SIM --sim-flash "$name-linux.bin" "$@" >"$name-linux.out" \
    2>"$name-linux.err" </dev/null || status_linux=$?
  status_windows=0
  "$wine_run" "$win_cli" --port SIM --sim-flash "$name-windows.bin" "$@" >"$name-windows.raw" \
    2>"$name-windows.rawerr" </dev/null || status_windows=$?
  tr -d '\r' <"$name-windows.raw" >"$name-windows.out"
  tr -d '\r' <"$name-windows.rawerr" >"$name-windows.err"
  if [ -n "${os_codes:-}" ]; then
    # Each side names its own platform's OS error code (Linux, then Windows): compare the rest.
    for pair in "linux ${os_codes% *}" "windows ${os_codes#* }"; do
      if ! grep -q "(Error: ${pair#* })" "$name-${pair% *}.out"; then
        echo "FAIL $name: the ${pair% *} side does not name error ${pair#* }"
        failures=$((failures + 1))
      fi
    done
    for f in "$name-linux.out" "$name-windows.out" "$name-linux.err" "$name-windows.err"; do
      sed -i 's/(Error: [0-9]*)/(Error: N)/' "$f"
    done
  fi

  problem=""
  [ "$status_linux" = "$expected" ] || problem="$problem linux-status=$status_linux"
  [ "$status_windows" = "$status_linux" ] || problem="$problem windows-status=$status_windows"
  cmp -s "$name-linux.bin" "$name-windows.bin" || problem="$problem flash-differs"
  cmp -s "$name-linux.out" "$name-windows.out" || problem="$problem output-differs"
  cmp -s "$name-linux.err" "$name-windows.err" || problem="$problem messages-differ"
  if [ -n "$problem" ]; then
    echo "FAIL $name:$problem"
    diff "$name-linux.out" "$name-windows.out" || true
    diff "$name-linux.err" "$name-windows.err" | head -20 || true
    echo "--- Windows side, exit $status_windows, standard error as written:"
    head -c 2000 "$name-windows.rawerr" || true
    failures=$((failures + 1))
  else
    echo "same $name: exit $status_linux, $(wc -c <"$name-linux.bin") flash bytes," \
      "last line \"$(tail -n 1 "$name-linux.out")\""
  fi
}

run_both update 0 update bootloader.bin partitions.bin application.bin
# Equal is not enough: the flash must hold the images where they belong.
"$samples" check update-windows.bin >/dev/null || { echo "FAIL update: images misplaced"; exit 1; }
# Non-ASCII file names reach both tools intact from the command line.
cp partitions.bin "partition table ü€.bin"
run_both non-ascii-name 0 update bootloader.bin "partition table ü€.bin" application.bin
run_both update-rom 0 --rom-only update bootloader.bin partitions.bin application.bin
cp update-linux.bin start.bin
run_both erase 0 erase --yes
run_both erase-refused 0 erase
# At the connect speed a failing block ends the job: there is no slower speed to try.
run_both failing-block 1 --baud 115200 --sim-fault flash-fail \
  update bootloader.bin partitions.bin application.bin
run_both bridge-limit 0 --sim-fault bridge-limit update bootloader.bin partitions.bin application.bin
# A bridge pulled out: EIO (5) on Linux, ERROR_BAD_COMMAND (22) on Windows.
os_codes="5 22"
run_both unplugged 1 --sim-fault unplug update bootloader.bin partitions.bin application.bin
os_codes=""

[ "$failures" -eq 0 ] || { echo "$failures job(s) differ"; exit 1; }
