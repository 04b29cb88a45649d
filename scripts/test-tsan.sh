#!/usr/bin/env bash
# Builds the tests of the threaded flows with ThreadSanitizer and runs them:
# discovery and DriveDetectThread, plug and unplug, TRaidThread's hand-off
# with polls, commands and close, an upgrade while polling, and the hosts'
# device-change notices, and the monitor's hook runner. Fails on the first
# race report.
#
# The window's tests stay out (ARDENVEL_GUI=OFF): Debian's Qt is not built
# with ThreadSanitizer, so its queued events and locks would be reported as
# races that are not there.
#
#   TSAN_BUILD_DIR   build directory (default build-tsan)
#   ARDENVEL_TSAN_REPEAT   runs of each threaded test program (default 5):
#                    each run meets other interleavings, and a run is seconds
set -euo pipefail
cd "$(dirname "$0")/.."

build=${TSAN_BUILD_DIR:-build-tsan}
tests=(test_device test_monitor test_firmware test_hosts test_monitor_service)
repeat=${ARDENVEL_TSAN_REPEAT:-5}

start=$SECONDS
# Debug: GCC 12 at -O2 warns falsely (array-bounds) in a test's vector insert.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DARDENVEL_TSAN=ON -DARDENVEL_SANITIZE=OFF -DARDENVEL_GUI=OFF -DARDENVEL_BENCH=OFF -DARDENVEL_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${tests[@]}"
echo "tsan: built in $((SECONDS - start)) s"

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"

# Some kernels randomise mappings more than this runtime allows; it then
# refuses to start. Without address randomisation it runs.
run=()
probe=$("$build/tests/${tests[0]}" --gtest_list_tests 2>&1 >/dev/null || true)
if grep -q "unexpected memory mapping" <<<"$probe"; then
  run=(setarch "$(uname -m)" -R)
  echo "tsan: running without address randomisation"
fi

# Kept for a look after a failure.
logs=$build/tsan-logs
rm -rf "$logs"
mkdir -p "$logs"

# Two at a time; each program prints its own summary.
for t in "${tests[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  # The power-loss sweep is single-threaded: it runs under AddressSanitizer,
  # and here it would add minutes and no thread coverage.
  filter=-
  [ "$t" = test_firmware ] && filter=-Upgrades/FaultSweepTest.*
  (set +e
   "${run[@]}" "$build/tests/$t" --gtest_brief=1 --gtest_repeat="$repeat" --gtest_filter="$filter" \
     >"$logs/$t.log" 2>&1
   echo $? >"$logs/$t.rc") &
done
wait

failed=0
total=0
for t in "${tests[@]}"; do
  rc=$(cat "$logs/$t.rc" 2>/dev/null || echo none)
  # One summary line per run.
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$logs/$t.log" |
    awk '{ n += $1 } END { print n + 0 }')
  total=$((total + ran))
  if [ "$rc" != 0 ] || grep -q "ThreadSanitizer" "$logs/$t.log"; then
    echo "tsan: $t FAILED (exit $rc)"
    cat "$logs/$t.log"
    failed=1
  else
    echo "tsan: $t $ran tests passed"
  fi
done
echo "tsan: $total test runs in $((SECONDS - start)) s"
exit "$failed"
