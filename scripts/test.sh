#!/usr/bin/env bash
# Sets up, builds with AddressSanitizer and UndefinedBehaviorSanitizer, and
# runs every test. This is what CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=${BUILD_DIR:-build-test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DARDENVEL_GUI=ON -DARDENVEL_SANITIZE=ON -DARDENVEL_TSAN=OFF -DARDENVEL_WERROR=ON -DARDENVEL_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The long runs (ctest -L long) are for a developer to start by hand.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300 -LE 'long|vm'

# The Linux host on a real kernel in QEMU, with the machine to itself: two
# boots side by side, then their checks (tests/vm).
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -L vm
# What the boots said: the kernel, their times and the disk images' checksums.
grep '^vm:' "$build/Testing/Temporary/LastTest.log" || true

# The threaded flows again, under ThreadSanitizer.
if [ "${ARDENVEL_SKIP_TSAN:-0}" != 1 ]; then
  scripts/test-tsan.sh
fi

# The same core as Windows code, under Wine.
if [ "${ARDENVEL_SKIP_WINDOWS:-0}" != 1 ]; then
  NATIVE_CLI="$build/cli/ardenvel-cli" scripts/test-windows.sh
fi
