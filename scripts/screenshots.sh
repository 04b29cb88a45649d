#!/usr/bin/env bash
# Redraws the pictures in docs/screenshots: the main window over emulated
# enclosures in the states a user meets most (idle mirror, rebuild, surface
# scan with its Stop button, failed disk, two enclosures), and the rebuild
# once more as the Windows build draws it, under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
if [ ! -x "$build/app/ardenvel-demo" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)" --target ardenvel-demo
fi
demo=$(realpath "$build/app/ardenvel-demo")
out=$(realpath docs/screenshots)
scenes=$(mktemp -d)
trap 'rm -rf "$scenes"' EXIT

# scene NAME TIMELINE [STATUS-EXTRA]: a healthy mirror on the reserved-LBA
# route whose timeline brings it into the state shown.
scene() {
  mkdir -p "$scenes/$1"
  cat >"$scenes/$1/description.json" <<JSON
{
  "route": "lba",
  "firmwareRevision": "090619.0",
  "model": "ARDV Mirror Dock",
  "serial": "ARDV-M-0001",
  "status": {
    "raidModeOfSystem": 1, "portState": "0x22", "configuredCapacity": 1953525168,
    "ports": [
      { "serial": "WD-WCAV11111111", "model": "WDC WD10EARS-00Y5B1", "capacity": 1953525168, "sataGeneration": 2 },
      { "serial": "WD-WCAV22222222", "model": "WDC WD10EARS-00Y5B1", "capacity": 1953525168, "sataGeneration": 2 }
    ]${3:-}
  },
  "timeline": [ $2 ]
}
JSON
}

scene idle-mirror ''
scene rebuild '{ "afterReads": 1, "event": "activity", "flags": "0x02", "percent": 37 }'
scene scan '{ "afterReads": 1, "event": "activity", "flags": "0x81", "percent": 62 }' \
  ', "badSectors": [ 73400320 ]'
scene failed-disk '{ "afterReads": 1, "event": "fail-disk", "port": 1 }'

shoot() {
  local name=$1
  shift
  QT_QPA_PLATFORM=offscreen "$demo" --screenshot "$out/$name.png" --after "${AFTER:-9}" "$@" >/dev/null
  echo "$out/$name.png"
}

shoot idle-mirror "$scenes/idle-mirror"
shoot rebuild "$scenes/rebuild"
shoot scan "$scenes/scan"
shoot failed-disk "$scenes/failed-disk"
mkdir -p "$scenes/usb-striping"
cp examples/usb-striping/description.json "$scenes/usb-striping/"
shoot two-enclosures "$scenes/idle-mirror" "$scenes/usb-striping"

# The rebuild again as Windows draws it: the Windows demo under Wine, with
# Qt's real windows platform plugin on Xvfb. Wine has no Arial; Arimo, drawn
# to the same measures and smoothed at every size as Windows smooths Arial,
# stands in for it inside Wine's prefix only (installed for the whole system
# it would take Arial's place in the Linux pictures too).
win_build=${WIN_BUILD_DIR:-build-windows}
if [ ! -f "$win_build/app/ardenvel-demo.exe" ]; then
  cmake -S . -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DARDENVEL_GUI=ON -DARDENVEL_BENCH=OFF >/dev/null
  cmake --build "$win_build" -j "$(nproc)" --target ardenvel-demo
fi
arimo="$win_build/arimo"
if [ ! -f "$arimo/Arimo-Regular.ttf" ]; then
  (cd "$scenes" && apt-get download fonts-croscore >/dev/null 2>&1)
  dpkg-deb -x "$scenes"/fonts-croscore_*.deb "$scenes/croscore"
  mkdir -p "$arimo"
  cp "$scenes"/croscore/usr/share/fonts/truetype/croscore/Arimo-*.ttf "$arimo/"
fi
export WINEPREFIX="$PWD/$win_build/wineprefix-screens" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
mkdir -p "$WINEPREFIX"
"$wine" wineboot -i >/dev/null 2>&1 || true
cp "$arimo"/Arimo-*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
"$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /d Arimo /f >/dev/null 2>&1
"$wineserver" -k 2>/dev/null || true
rm -f "$scenes"/rebuild/*.bin
# Wine's own processes outlive the demo; ending them lets xvfb-run end.
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '"$1" "$2" --state "$3" --screenshot "$4" --after "$5" "$6" >/dev/null; "$7" -k' \
  sh "$wine" "$(realpath "$win_build/app/ardenvel-demo.exe")" "$scenes/windows-state" "$out/windows-demo.png" \
  "${AFTER:-9}" "$scenes/rebuild" "$wineserver"
echo "$out/windows-demo.png"
