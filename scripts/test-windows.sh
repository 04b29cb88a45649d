#!/usr/bin/env bash
# Cross-builds the core, the Win32 host, the command-line tool and the core's
# unit tests for 64-bit Windows with mingw-w64, and runs them under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${WIN_BUILD_DIR:-build-windows}
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DARDENVEL_GUI=OFF -DARDENVEL_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

export WINEDEBUG=-all
export WINEPREFIX="$PWD/$build/wineprefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300
