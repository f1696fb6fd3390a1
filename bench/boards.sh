#!/bin/sh
# Several boards at once through flintmoor-cli on virtual ESP32s (run on demand, never by the
# tests): the virtual time of 8 boards writing an image side by side against one board alone, and
# the processor time the tool takes per board while the boards run at the pace of real hardware.
# Usage: bench/boards.sh BUILD_DIR IMAGE [REALTIME_SECONDS]
set -eu
build=$1
image=$2
realtime_seconds=${3:-30}
cli="$build/cli/flintmoor-cli"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

calc() {
  awk "BEGIN { printf \"%.3f\", $1 }"
}
# The slowest board's virtual time, from the JSON results.
slowest() {
  sed -n 's/.*"event":"result".*"seconds":\([0-9.]*\).*/\1/p' "$1" | sort -n | tail -n 1
}
results() {
  grep -c '"event":"result","result":"ok"' "$1" || true
}
ports() {
  n=1
  while [ "$n" -le "$1" ]; do printf ' --port SIM:%d' "$n"; n=$((n + 1)); done
}

echo "write $(wc -c < "$image") bytes at 0x10000 through the ROM loader at 921600 bit/s"
start=$(date +%s.%N)
"$cli" --json --rom-only --port SIM:1 write 0x10000 "$image" > "$work/one.json"
one_wall=$(calc "$(date +%s.%N) - $start")
one=$(slowest "$work/one.json")
# shellcheck disable=SC2046
start=$(date +%s.%N)
"$cli" --json --rom-only $(ports 8) write 0x10000 "$image" > "$work/eight.json"
eight_wall=$(calc "$(date +%s.%N) - $start")
eight=$(slowest "$work/eight.json")
printf '%-34s %10s %10s %8s\n' "boards" "virtual s" "wall s" "ok"
printf '%-34s %10s %10.2f %8s\n' "1 (SIM:1)" "$one" "$one_wall" "$(results "$work/one.json")"
printf '%-34s %10s %10.2f %8s\n' "8 (SIM:1..8), slowest board" "$eight" "$eight_wall" \
  "$(results "$work/eight.json")"
printf 'ratio of the slowest of 8 to one: %s (target at most 1.25)\n' \
  "$(calc "$eight / $one")"

echo
echo "8 boards at the pace of real hardware, stopped after $realtime_seconds s (processor time of the tool)"
# Through the flasher stub, the image twice: longer than the measurement.
# shellcheck disable=SC2046
"$cli" --realtime $(ports 8) write 0x10000 "$image" 0x210000 "$image" > "$work/rt.out" \
  2> "$work/rt.err" &
pid=$!
sleep "$realtime_seconds"
ticks=$(getconf CLK_TCK)
# utime and stime of the process (fields 14 and 15 of /proc/PID/stat, after the command name).
cpu=$(sed 's/.*) //' "/proc/$pid/stat" | awk -v t="$ticks" '{ printf "%.2f", ($12 + $13) / t }')
kill -INT "$pid"
wait "$pid" || true
printf 'processor time %s s in %s s: %s %% of a core per board (target under 5 %%)\n' "$cpu" \
  "$realtime_seconds" "$(calc "100 * $cpu / $realtime_seconds / 8")"
