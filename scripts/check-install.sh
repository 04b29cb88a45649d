#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks what it ships: the
# programs, the monitor's unit (systemd-analyze verify must accept it), its
# settings file, the man pages, the desktop file and the icon.
#   scripts/check-install.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

unit=$prefix/lib/systemd/system/ardenvel-monitor.service
files=(bin/ardenvel-cli lib/systemd/system/ardenvel-monitor.service etc/default/ardenvel-monitor
       share/man/man1/ardenvel-cli.1)
if [ -x "$build/app/ardenvel" ]; then
  files+=(bin/ardenvel share/man/man1/ardenvel.1 share/applications/ardenvel.desktop
          share/icons/hicolor/64x64/apps/ardenvel.png)
fi
for f in "${files[@]}"; do
  [ -e "$prefix/$f" ] || { echo "check-install: $f was not installed" >&2; exit 1; }
done

# The unit runs the program just installed, with the settings file beside it.
grep -q "^ExecStart=$prefix/bin/ardenvel-cli " "$unit" || { echo "check-install: ExecStart is not $prefix/bin" >&2; exit 1; }
grep -q "^EnvironmentFile=-$prefix/etc/default/ardenvel-monitor$" "$unit" ||
  { echo "check-install: EnvironmentFile is not under $prefix/etc" >&2; exit 1; }
# A second install keeps the administrator's settings.
echo "ARDENVEL_INTERVAL=9" >>"$prefix/etc/default/ardenvel-monitor"
cmake --install "$build" --prefix "$prefix" >/dev/null
grep -q "^ARDENVEL_INTERVAL=9$" "$prefix/etc/default/ardenvel-monitor" ||
  { echo "check-install: a second install overwrote the settings" >&2; exit 1; }

# The unit's Documentation= names a page that must be found.
out=$(MANPATH="$prefix/share/man:" systemd-analyze verify "$unit" 2>&1) || { echo "$out" >&2; exit 1; }
# It exits 0 on unknown keys and bad values, and says so: any word fails.
if [ -n "$out" ]; then echo "$out" >&2; exit 1; fi

for page in "$prefix"/share/man/man1/*.1; do
  warnings=$(groff -man -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || { echo "check-install: $page: $warnings" >&2; exit 1; }
done
if [ -e "$prefix/share/applications/ardenvel.desktop" ]; then
  desktop-file-validate "$prefix/share/applications/ardenvel.desktop"
fi
echo "check-install: everything installed, the unit verified"
