#!/bin/sh
# Runs the same jobs with the build machine's flintmoor-cli and with flintmoor-cli.exe under Wine,
# each against its own virtual ESP32, and requires the same flash contents byte for byte, the same
# file from a read job, the same exit status and the same output (line ends aside).
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

# keep_read SIDE: moves the file the side's read job saved out of the way of the other side.
keep_read() {
  if [ -n "${read_file:-}" ] && [ -f "$read_file" ]; then mv "$read_file" "$name-$1.read"; fi
}

# run_both NAME EXPECTED_STATUS [cli arguments...]: the flash files start from the same content.
# With read_file set, the job saves that file (the same name on both sides, so that the outputs
# can name it alike); each side's copy is kept as NAME-SIDE.read and they must be equal too.
run_both() {
  name=$1
  expected=$2
  shift 2
  for side in linux windows; do
    if [ -f start.bin ]; then cp start.bin "$name-$side.bin"; else rm -f "$name-$side.bin"; fi
  done
  rm -f "$name-linux.read" "$name-windows.read"
  [ -z "${read_file:-}" ] || rm -f "$read_file"
  status_linux=0
  "$host_cli" --port SIM --sim-flash "$name-linux.bin" "$@" >"$name-linux.out" \
    2>"$name-linux.err" </dev/null || status_linux=$?
  keep_read linux
  status_windows=0
  "$wine_run" "$win_cli" --port SIM --sim-flash "$name-windows.bin" "$@" >"$name-windows.raw" \
    2>"$name-windows.rawerr" </dev/null || status_windows=$?
  keep_read windows
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
  if [ -n "${read_file:-}" ]; then
    if [ ! -f "$name-linux.read" ] || [ ! -f "$name-windows.read" ]; then
      problem="$problem read-file-missing"
    elif ! cmp -s "$name-linux.read" "$name-windows.read"; then
      problem="$problem read-file-differs"
    fi
  fi
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
# Two images at addresses of their own, into a flash that holds the update. The second one's
# 16 KiB blocks would reach into the first: through the stub each image erases only its own
# sectors, so the first image, and everything below the second, stay.
cp bootloader.bin extra.bin
printf 'tail of the last sector' >>extra.bin
run_both write 0 write 0x52000 extra.bin 0x40000 application.bin
cmp -s -n 262144 start.bin write-windows.bin ||
  { echo "FAIL write: the flash below 0x40000 changed"; failures=$((failures + 1)); }
for placed in "application.bin 262144" "extra.bin 335872"; do
  file=${placed% *}
  cmp -s -n "$(wc -c <"$file")" "$file" write-windows.bin 0 "${placed#* }" ||
    { echo "FAIL write: $file is not where it belongs"; failures=$((failures + 1)); }
done
# 80 KiB at 0x40000: the application, the erased rest of its last sector and the start of the
# other image; the file must hold what the flash holds there.
cp write-linux.bin start.bin
read_file=region.bin
run_both read 0 read 0x40000 80K region.bin
cmp -s -n 70000 application.bin read-windows.read ||
  { echo "FAIL read: the file does not begin with the application"; failures=$((failures + 1)); }
cmp -s -n 81920 read-windows.read read-windows.bin 0 262144 ||
  { echo "FAIL read: the file differs from the flash region"; failures=$((failures + 1)); }
# The same read as JSON lines: the same events on both sides.
run_both read-json 0 --json read 0x40000 80K region.bin
read_file=""
cp update-linux.bin start.bin
# At the connect speed a failing block ends the job: there is no slower speed to try.
run_both failing-block 1 --baud 115200 --sim-fault flash-fail \
  update bootloader.bin partitions.bin application.bin
run_both bridge-limit 0 --sim-fault bridge-limit update bootloader.bin partitions.bin application.bin
# A bridge pulled out: EIO (5) on Linux, ERROR_BAD_COMMAND (22) on Windows.
os_codes="5 22"
run_both unplugged 1 --sim-fault unplug update bootloader.bin partitions.bin application.bin
os_codes=""

[ "$failures" -eq 0 ] || { echo "$failures job(s) differ"; exit 1; }
