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

# The Windows tool must report what the native one reports. Each run gets
# its own copy of the description, so each lays out a fresh flash.
native_cli=${NATIVE_CLI:-${BUILD_DIR:-build-test}/cli/ardenvel-cli}
if [ ! -x "$native_cli" ]; then
  echo "test-windows: no native ardenvel-cli at $native_cli; build it first or set NATIVE_CLI" >&2
  exit 1
fi
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for example in examples/*/; do
  name=$(basename "$example")
  mkdir -p "$scratch/native/$name" "$scratch/windows/$name"
  cp "$example/description.json" "$scratch/native/$name/"
  cp "$example/description.json" "$scratch/windows/$name/"
  "$native_cli" --virtual "$scratch/native/$name" status >"$scratch/$name.native"
  "$wine" "$build/cli/ardenvel-cli.exe" --virtual "$scratch/windows/$name" status |
    tr -d '\r' >"$scratch/$name.windows"
  if ! diff -u "$scratch/$name.native" "$scratch/$name.windows"; then
    echo "test-windows: ardenvel-cli status of $name differs under Wine" >&2
    exit 1
  fi
  echo "test-windows: ardenvel-cli status of $name is the same under Wine"
done
