#!/usr/bin/env bash
# Runs the fuzz targets built in BUILD (tests/fuzz/CMakeLists.txt): for each, first the inputs
# kept in regressions/<target>/ once, then fuzzing for SECONDS from the seeds in corpus/<target>/,
# JOBS targets at a time. Inputs found along the way go to BUILD/fuzz/<target>/ (the corpus in
# git is never written), an input that crashed, leaked or hung to BUILD/fuzz/<target>-found/;
# copy it into regressions/<target>/ once the fault is fixed. Logs: BUILD/fuzz/<target>.log. Prints each target's execution count; fails
# when a target crashed.
#   usage: tests/fuzz/run.sh BUILD [SECONDS] [JOBS] [TARGET...]
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"
seconds="${2:-600}"
jobs="${3:-1}"
shift $(($# < 3 ? $# : 3))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(SlipReader EspReplies StubImage IniFile NaturalCompare StubFrames)

# Longest input per target: the chip's answers and the stub's requests need room for frames longer
# than their buffers.
max_len() {
  case "$1" in
    EspReplies) echo 20000 ;;
    StubFrames) echo 40000 ;;
    IniFile) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

run_one() {
  local t="$1" bin="$build/fuzz_$1" work="$build/fuzz/$1"
  local log="$work.log"
  mkdir -p "$work" "$work-found"
  rm -f "$work.rc"
  : >"$log"
  if [ ! -x "$bin" ]; then
    echo "fuzz $t: $bin not built" >>"$log"
    return 1
  fi
  local kept=()
  for f in "$here/regressions/$t"/*; do
    [ -f "$f" ] && kept+=("$f")
  done
  if [ ${#kept[@]} -gt 0 ]; then
    if ! "$bin" "${kept[@]}" >>"$log" 2>&1; then
      echo "fuzz $t: a kept regression input fails again" >>"$log"
      return 1
    fi
    echo "fuzz $t: ${#kept[@]} regression inputs pass" >>"$log"
  fi
  "$bin" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$work-found/" "$work" "$here/corpus/$t" >>"$log" 2>&1
}

failed=0
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  echo "fuzz $t: ${seconds} s"
  (run_one "$t"; echo $? >"$build/fuzz/$t.rc") &
done
wait

for t in "${targets[@]}"; do
  log="$build/fuzz/$t.log"
  if [ "$(cat "$build/fuzz/$t.rc" 2>/dev/null)" = 0 ]; then
    status=ok
  else
    status=FAILED
    failed=1
    tail -n 60 "$log"
    ls "$build/fuzz/$t-found"/* \
      2>/dev/null
  fi
  grep -h "regression inputs pass" "$log" || true
  runs="$(grep -ho 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -n 1)"
  echo "fuzz $t: ${runs:-?} executions, $status"
done
exit $failed
