#!/usr/bin/env bash
# Cross-builds the core, the Win32 host, the command-line tool and the core's
# unit tests for 64-bit Windows with mingw-w64, and runs them under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${WIN_BUILD_DIR:-build-windows}
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DARDENVEL_GUI=OFF -DARDENVEL_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

# The request layouts are also checked at compile time for 32-bit Windows,
# whose structure sizes (44 and 80 bytes) the requests were first laid out in.
i686-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Wpedantic -Werror -I. \
  -c hosts/win32/Win32Requests.cpp -o "$build/Win32Requests-i686.o"
echo "test-windows: the request layouts compile for 32-bit Windows"

# The window needs Qt and is not built here, but its resource script is: read
# back that it carries the icon "Z1" and a manifest asking for administrator
# rights. (ardenvel-cli.exe's resources are read back under Wine below.)
window_res=$(find "$build/resources" -name 'ardenvel.rc.res' | head -n 1)
x86_64-w64-mingw32-windres -J coff -O rc -i "$window_res" >"$build/window-resources.rc"
if ! grep -q '^"Z1" 14 /\* RT_GROUP_ICON \*/' "$build/window-resources.rc" ||
  ! grep -q 'level=""requireAdministrator""' "$build/window-resources.rc"; then
  echo "test-windows: the window's resources lack the icon Z1 or the administrator manifest" >&2
  exit 1
fi
echo "test-windows: the window's resources carry the icon Z1 and ask for administrator rights"

export WINEDEBUG=-all
export WINEPREFIX="$PWD/$build/wineprefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# One wineserver for the whole run: when each test program starts its own, a
# program that connects while the last one's server shuts down gets "recvmsg:
# Connection reset by peer". The prefix is made once, before the programs run
# side by side.
mkdir -p "$WINEPREFIX"
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$wine" wineboot -i >/dev/null 2>&1 || true
# No display here: Wine's null graphics driver still lets programs create
# (hidden) top-level windows, which is where device-change broadcasts go.
# The desktop takes its driver when it starts, so Wine starts afresh, here
# and not under ctest, whose pipes the desktop's processes would hold open.
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w
"$wineserver" -p
"$wine" wineboot >/dev/null 2>&1 || true
# Now and then a test program under Wine ends within milliseconds, before
# main(), with no output at all; a second run shows whether the test fails.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300 --repeat until-pass:2

# The Windows tool must report what the native one reports. Each run gets
# its own copy of the description, so each lays out a fresh flash.
native_cli=${NATIVE_CLI:-${BUILD_DIR:-build-test}/cli/ardenvel-cli}
if [ ! -x "$native_cli" ]; then
  echo "test-windows: no native ardenvel-cli at $native_cli; build it first or set NATIVE_CLI" >&2
  exit 1
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"; "$wineserver" -k 2>/dev/null || true' EXIT
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
