#!/usr/bin/env bash
# Builds the program and runs the demo: the main window over emulated
# enclosures that rebuild, scan, lose a disk and get unplugged while you
# watch. Arguments go to ardenvel-demo (enclosure directories, --no-start,
# --upgrade ardenvel-demo-v2.bin, --fresh; see --help). The enclosures keep
# their flash in $XDG_STATE_HOME/ardenvel-demo (~/.local/state/ardenvel-demo),
# so an upgrade outlives a run.
#
# Without a display it runs under xvfb-run, saves a picture of the main
# window after discovery (or after the --upgrade) and prints its path
# (SCREENSHOT=file, AFTER=seconds); what the demo reports goes to stderr.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target ardenvel-demo

demo="$build/app/ardenvel-demo"
if [ -n "${DISPLAY:-}" ]; then
  exec "$demo" "$@"
fi

shot=$(realpath -m "${SCREENSHOT:-$build/demo-screenshot.png}")
xvfb-run -a -s "-screen 0 1024x768x24" "$demo" --screenshot "$shot" --after "${AFTER:-5}" "$@" >&2
if [ ! -s "$shot" ]; then
  echo "demo: no screenshot was written" >&2
  exit 1
fi
echo "$shot"
