#!/usr/bin/env bash
# Cross-builds everything for 64-bit Windows with mingw-w64 and the Qt in
# third_party/qt6-mingw: the core, the Win32 host, ardenvel-cli.exe, the
# window (ardenvel.exe, ardenvel-demo.exe), their tests and the installer.
# Runs the tests under Wine, and the installer there from install to
# uninstall.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${WIN_BUILD_DIR:-build-windows}
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DARDENVEL_GUI=ON -DARDENVEL_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
cmake --build "$build" --target windows-installer >/dev/null

# The request layouts are also checked at compile time for 32-bit Windows,
# whose structure sizes (44 and 80 bytes) the requests were first laid out in.
i686-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Wpedantic -Werror -I. \
  -c hosts/win32/Win32Requests.cpp -o "$build/Win32Requests-i686.o"
echo "test-windows: the request layouts compile for 32-bit Windows"

export WINEDEBUG=-all
# No Mono or Gecko prompts, and no menu entries in the real home for the
# shortcuts the installer makes.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
scratch=$(mktemp -d)
prefixes=()
cleanup() {
  for p in "${prefixes[@]}"; do WINEPREFIX=$p "$wineserver" -k 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# A prefix with Wine's null graphics driver (made afresh with "fresh"): no
# display, yet programs still create (hidden) top-level windows, which is
# where device-change broadcasts go. The desktop takes its driver when it
# starts, so Wine starts afresh, here and not under ctest, whose pipes the
# desktop's processes would hold open. One wineserver then stays for the
# whole run: when each program starts its own, a program that connects while
# the last one's server shuts down gets "recvmsg: Connection reset by peer".
use_prefix() {
  export WINEPREFIX=$1
  prefixes+=("$1")
  "$wineserver" -k 2>/dev/null || true
  if [ "${2:-}" = fresh ]; then rm -rf "$WINEPREFIX"; fi
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1 || true
  "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w
  "$wineserver" -p
  "$wine" wineboot >/dev/null 2>&1 || true
}

use_prefix "$PWD/$build/wineprefix"
# Now and then a test program under Wine ends within milliseconds, before
# main(), with no output at all; a second run shows whether the test fails.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300 --repeat until-pass:2 -LE long
window_tests=$(ctest --test-dir "$build" -N -L '^app$' | sed -n 's/^Total Tests: //p')
echo "test-windows: $window_tests window tests ran as Windows code"

# The Windows tool must report what the native one reports. Each run gets
# its own copy of the description, so each lays out a fresh flash.
native_cli=${NATIVE_CLI:-${BUILD_DIR:-build-test}/cli/ardenvel-cli}
if [ ! -x "$native_cli" ]; then
  echo "test-windows: no native ardenvel-cli at $native_cli; build it first or set NATIVE_CLI" >&2
  exit 1
fi
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
"$wineserver" -k 2>/dev/null || true

# The installer, as a user runs it: silently into a fresh prefix, then the
# installed demo (its window drawn by the shipped platform plugin), then the
# uninstaller. Every DLL shipped is one the demo loads, and nothing is left.
installer=$(ls "$build"/ardenvel-*-setup.exe)
# Whatever Wine makes of the shortcuts for a Linux desktop stays here too.
export XDG_DATA_HOME="$scratch/xdg-data" XDG_CONFIG_HOME="$scratch/xdg-config"
use_prefix "$PWD/$build/wineprefix-install" fresh
"$wine" "$installer" /S
drive_c=$WINEPREFIX/drive_c
installed="$drive_c/Program Files/Ardenvel"
menu="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Ardenvel"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Ardenvel'
fail() {
  echo "test-windows: installer: $*" >&2
  exit 1
}
for f in ardenvel.exe ardenvel-demo.exe ardenvel-cli.exe uninstall.exe; do
  [ -f "$installed/$f" ] || fail "no $f in $installed"
done
[ -f "$menu/Ardenvel.lnk" ] && [ -f "$menu/Ardenvel demo.lnk" ] || fail "no Start-menu entries"
"$wine" reg query "$uninstall_key" /v UninstallString >/dev/null 2>&1 || fail "not in Add/Remove Programs"

unset QT_QPA_PLATFORM
if ! WINEDEBUG=+loaddll cmake -DDEMO="$installed/ardenvel-demo.exe" -DEMULATOR="$wine" \
  -DSTATE="$scratch/demo-state" -P tests/app/DemoStartsAndEnds.cmake >"$scratch/demo.log" 2>&1; then
  cat "$scratch/demo.log" >&2
  fail "the installed demo did not show its window"
fi
loaded=$(grep -o 'Program Files\\\\Ardenvel\\\\[^"]*\.dll' "$scratch/demo.log" | sed 's/.*Ardenvel\\\\//; s/\\\\/\//g' | sort -u)
shipped=$(cd "$installed" && find . -name '*.dll' | sed 's|^\./||' | sort)
if [ "$loaded" != "$shipped" ]; then
  diff <(echo "$shipped") <(echo "$loaded") >&2 || true
  fail "the DLLs shipped (<) are not the ones the demo loads (>)"
fi
echo "test-windows: installed silently; the installed demo showed its window and loaded all $(echo "$shipped" | wc -l) DLLs shipped"

# The uninstaller hands the work to a copy of itself and ends at once. A
# wineserver that is not kept on ends with the last program: waiting for it
# waits for the copy.
"$wineserver" -k
"$wine" "$installed/uninstall.exe" /S
"$wineserver" -w
# The server has ended, so the registry is in its files.
left=$(find "$drive_c" -iname '*ardenvel*' 2>/dev/null; grep -il ardenvel "$WINEPREFIX"/*.reg || true)
[ -z "$left" ] || fail "left behind after the uninstall: $left"
echo "test-windows: uninstalled silently; nothing is left"
