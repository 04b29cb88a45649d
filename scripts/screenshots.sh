#!/usr/bin/env bash
# Redraws the pictures in docs/screenshots: the main window over emulated
# enclosures in the states a user meets most (idle mirror, rebuild, surface
# scan with its Stop button, failed disk, two enclosures).
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
