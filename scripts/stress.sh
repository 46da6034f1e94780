#!/usr/bin/env bash
# Runs the whole test suite many times in a row while every core is kept busy,
# to bring out tests that pass only on a quiet machine.
#   scripts/stress.sh [RUNS] [extra ctest arguments...]     (RUNS defaults to 20)
# KX_STRESS_LOAD sets how many busy loops run beside the tests (default: one per
# core); KX_JOBS how many tests ctest runs at once (default 8). Every run's output
# is kept in build/stress/. Prints how often each test failed; exits non-zero
# when any test failed even once.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KX_BUILD_DIR:-$here/build}"
runs="${1:-20}"
shift || true
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
  echo "stress: the number of runs must be a positive whole number, not '$runs'" >&2
  exit 2
fi

"$here/scripts/build.sh"

logs="$build/stress"
rm -rf "$logs"
mkdir -p "$logs"
export PATH="$here/build/npm-tools/node_modules/.bin:$PATH"

# The background load: one busy loop per core, always stopped on the way out,
# together with a suite run still in progress.
load_pids=()
ctest_pid=
stop_all() {
  if [ -n "$ctest_pid" ]; then
    kill -TERM -- "-$ctest_pid" 2>/dev/null || kill -TERM "$ctest_pid" 2>/dev/null || true
    wait "$ctest_pid" 2>/dev/null || true
    ctest_pid=
  fi
  for pid in "${load_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${load_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  load_pids=()
}
trap stop_all EXIT
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM
load="${KX_STRESS_LOAD:-$(nproc)}"
for _ in $(seq "$load"); do
  (while :; do :; done) &
  load_pids+=("$!")
done
echo "stress: $runs runs of the suite beside $load busy loops (logs in $logs)"

declare -A test_failures=() case_failures=()
failed_runs=0
for run in $(seq "$runs"); do
  log="$logs/run-$(printf '%03d' "$run").log"
  start=$SECONDS
  # ctest runs in a session of its own, in the background, so that a signal
  # reaches the traps at once and stops it with its tests.
  (cd "$build" && exec setsid ctest --output-on-failure -j "${KX_JOBS:-8}" "$@") >"$log" 2>&1 &
  ctest_pid=$!
  status=0
  wait "$ctest_pid" || status=$?
  ctest_pid=
  if [ "$status" -eq 0 ]; then
    echo "run $run: passed ($((SECONDS - start)) s)"
    continue
  fi
  failed_runs=$((failed_runs + 1))
  # ctest's closing list: "  12 - test_core_keys (Failed)".
  mapfile -t failed < <(sed -n '/The following tests FAILED:/,$p' "$log" |
    sed -nE 's/^[[:space:]]*[0-9]+ - ([^ ]+) \((.*)\)$/\1 (\2)/p')
  if [ "${#failed[@]}" -eq 0 ]; then failed=("ctest itself (see $log)"); fi
  for t in "${failed[@]}"; do test_failures["$t"]=$(( ${test_failures["$t"]:-0} + 1 )); done
  # GoogleTest's own names for the failing cases, once per run.
  while IFS= read -r c; do
    [ -n "$c" ] && case_failures["$c"]=$(( ${case_failures["$c"]:-0} + 1 ))
  done < <(sed -nE 's/^\[  FAILED  \] ([A-Za-z_0-9/]+\.[A-Za-z_0-9/]+).*/\1/p' "$log" | sort -u)
  echo "run $run: FAILED: ${failed[*]} ($((SECONDS - start)) s, $log)"
done
stop_all

echo
echo "stress: $failed_runs of $runs runs had a failure"
if [ "$failed_runs" -eq 0 ]; then exit 0; fi
echo "failures per test:"
for t in "${!test_failures[@]}"; do printf '  %3d/%d  %s\n' "${test_failures[$t]}" "$runs" "$t"; done | sort -rn
if [ "${#case_failures[@]}" -gt 0 ]; then
  echo "failures per test case:"
  for c in "${!case_failures[@]}"; do printf '  %3d/%d  %s\n' "${case_failures[$c]}" "$runs" "$c"; done | sort -rn
fi
exit 1
