#!/usr/bin/env bash
# Installs a build twice as an unprivileged user, as a user or a package
# build would: with --prefix into a scratch folder, and with DESTDIR for
# /usr. Each install must stay inside its folder, and the programs, the host
# helper, the polkit action and the unit must name each other. Then checks
# what ships: the unit (systemd-analyze verify must accept it), its settings
# file, the man pages (groff and mandoc), the bash completion, the desktop
# file and the icon, and that the installed tool logs where its user looks.
#   scripts/check-install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
opened=()
manifest=
cleanup() {
  rm -rf "$scratch"
  [ -z "$manifest" ] || chown root "$manifest"
  for d in ${opened[@]+"${opened[@]}"}; do chmod o-x "$d"; done
}
trap cleanup EXIT
chmod 755 "$scratch"

fail() {
  echo "check-install: $*" >&2
  exit 1
}

# Root may write anywhere, so as root (as in CI) the installs and the
# installed tool run as nobody, who may write only the scratch folder.
as_user=(env)
if [ "$(id -u)" -eq 0 ]; then
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups env)
  # A checkout under a folder others may not enter (/root, say): let them
  # pass through its parents for the length of the check.
  for top in "$build" "$source_dir"; do
    d=$(dirname "$top")
    while [ "$d" != / ]; do
      if [ "$(( 0$(stat -c %a "$d") & 1 ))" -eq 0 ]; then chmod o+x "$d" && opened+=("$d"); fi
      d=$(dirname "$d")
    done
  done
  "${as_user[@]}" test -r "$build/cmake_install.cmake" -a -r "$source_dir/docs/man/ardenvel-cli.1" ||
    fail "user nobody cannot read $build or $source_dir, so the install cannot be checked as a user"
  # The one file an install writes into the build tree, which is root's here.
  manifest=$build/install_manifest.txt
  touch "$manifest"
  chown nobody "$manifest"
fi
cp -r "$source_dir/examples/mirror-lba" "$scratch/enclosure"
mkdir -p "$scratch/home" "$scratch/prefix" "$scratch/dest" "$scratch/state"
[ "$(id -u)" -ne 0 ] || chown -R nobody:nogroup "$scratch"/{home,prefix,dest,state,enclosure}

# install LOG PREFIX [DESTDIR]
install_as_user() {
  local log=$1 prefix=$2 destdir=${3:-}
  "${as_user[@]}" HOME="$scratch/home" ${destdir:+DESTDIR="$destdir"} \
    cmake --install "$build" --prefix "$prefix" >"$log" 2>&1 || { cat "$log" >&2; fail "installing to $prefix failed"; }
  local outside
  outside=$(sed -n 's/^-- \(Installing\|Up-to-date\): //p' "$log" | grep -v "^${destdir:-$prefix}/" || true)
  [ -z "$outside" ] || fail "installed outside ${destdir:-$prefix}: $outside"
}

# The value of KEY= in a unit, and of the polkit action's exec.path.
unit_value() { sed -n "s/^$2=//p" "$1"; }
exec_path() { sed -n 's|.*"org.freedesktop.policykit.exec.path">\(.*\)</annotate>.*|\1|p' "$1"; }
# The helper the installed program would start.
helper_of() { "${as_user[@]}" HOME="$scratch/home" "$1" --version | sed -n 's/^Host helper: //p'; }

# check ROOT PREFIX SETTINGS: an install under ROOT (DESTDIR or nothing) to
# PREFIX, whose unit reads SETTINGS.
check_names() {
  local root=$1 prefix=$2 settings=$3
  local unit=$root$prefix/lib/systemd/system/ardenvel-monitor.service
  local policy=$root$prefix/share/polkit-1/actions/org.ardenvel.host-helper.policy
  local files=(bin/ardenvel-cli libexec/ardenvel/ardenvel-host-helper lib/systemd/system/ardenvel-monitor.service
               share/polkit-1/actions/org.ardenvel.host-helper.policy share/man/man1/ardenvel-cli.1
               share/bash-completion/completions/ardenvel-cli)
  if [ -x "$build/app/ardenvel" ]; then
    files+=(bin/ardenvel share/man/man1/ardenvel.1 share/applications/ardenvel.desktop
            share/icons/hicolor/64x64/apps/ardenvel.png)
  fi
  for f in "${files[@]}"; do
    [ -e "$root$prefix/$f" ] || fail "$prefix/$f was not installed under ${root:-/}"
  done
  [ -e "$root$settings" ] || fail "$settings was not installed under ${root:-/}"

  # The unit runs the program installed with it and reads the settings file.
  [ "$(unit_value "$unit" ExecStart | cut -d' ' -f1)" = "$prefix/bin/ardenvel-cli" ] ||
    fail "the unit's ExecStart is not $prefix/bin/ardenvel-cli"
  [ "$(unit_value "$unit" EnvironmentFile)" = "-$settings" ] || fail "the unit does not read $settings"
  # The action names the helper installed with it, and the programs start
  # that one.
  xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$policy" >/dev/null
  local helper
  helper=$(exec_path "$policy")
  [ "$helper" = "$prefix/libexec/ardenvel/ardenvel-host-helper" ] || fail "the action names $helper"
  [ -x "$root$helper" ] || fail "no helper at $root$helper"
  [ "$(helper_of "$root$prefix/bin/ardenvel-cli")" = "$root$helper" ] ||
    fail "the installed tool starts $(helper_of "$root$prefix/bin/ardenvel-cli"), not $root$helper"
  # Only the user at the machine keeps an authorisation.
  grep -q "<allow_any>auth_admin</allow_any>" "$policy" && grep -q "<allow_inactive>auth_admin</allow_inactive>" "$policy" &&
    grep -q "<allow_active>auth_admin_keep</allow_active>" "$policy" || fail "the action's defaults are not as documented"
}

prefix=$scratch/prefix
install_as_user "$scratch/prefix.log" "$prefix"
check_names "" "$prefix" "$prefix/etc/default/ardenvel-monitor"
install_as_user "$scratch/usr.log" /usr "$scratch/dest"
check_names "$scratch/dest" /usr /etc/default/ardenvel-monitor

# A second install keeps the administrator's settings.
echo "ARDENVEL_INTERVAL=9" >>"$prefix/etc/default/ardenvel-monitor"
install_as_user "$scratch/prefix.log" "$prefix"
grep -q "^ARDENVEL_INTERVAL=9$" "$prefix/etc/default/ardenvel-monitor" ||
  fail "a second install overwrote the settings"

# The installed tool logs in the user's state folder, never beside itself,
# and as root in /var/log/ardenvel.
"${as_user[@]}" HOME="$scratch/home" XDG_STATE_HOME="$scratch/state" "$prefix/bin/ardenvel-cli" \
  --virtual "$scratch/enclosure" monitor --count 1 >/dev/null
ls "$scratch/state/ardenvel/"*.log >/dev/null 2>&1 || fail "the installed tool wrote no log in \$XDG_STATE_HOME/ardenvel"
! ls "$prefix/bin/"*.log >/dev/null 2>&1 || fail "the installed tool wrote its log beside itself"
if [ "$(id -u)" -eq 0 ]; then
  "$prefix/bin/ardenvel-cli" --version | grep -qx "Event logs: /var/log/ardenvel" ||
    fail "as root the installed tool does not log in /var/log/ardenvel"
fi

# The unit's Documentation= names a page that must be found.
unit=$prefix/lib/systemd/system/ardenvel-monitor.service
out=$(MANPATH="$prefix/share/man:" systemd-analyze verify "$unit" 2>&1) || { echo "$out" >&2; exit 1; }
# It exits 0 on unknown keys and bad values, and says so: any word fails.
if [ -n "$out" ]; then echo "$out" >&2; exit 1; fi

for page in "$prefix"/share/man/man1/*.1; do
  warnings=$(groff -man -ww -z "$page" 2>&1; mandoc -T lint "$page" 2>&1)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
if [ -e "$prefix/share/applications/ardenvel.desktop" ]; then
  desktop-file-validate "$prefix/share/applications/ardenvel.desktop"
fi

# The completion offers each command's options as its --help lists them.
completion=$prefix/share/bash-completion/completions/ardenvel-cli
bash -n "$completion"
for command in list status monitor buzzer autoscan scan "firmware upgrade" "firmware check"; do
  # shellcheck disable=SC2086
  offered=$(bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _ardenvel_cli
                     printf "%s\n" "${COMPREPLY[@]}"' - "$completion" ardenvel-cli $command -- | { grep -vx -- --help || true; } | sort)
  # The options of its synopsis ([--x) and of its option lines.
  listed=$("$prefix/bin/ardenvel-cli" ${command%% *} --help | grep -o -- '\[--[a-z-]*\|^ *--[a-z-]*' |
           tr -d "[ " | { grep -vx -- --help || true; } | sort -u)
  if [ "${command%% *}" = firmware ]; then
    [ "$command" = "firmware check" ] && listed=""
  fi
  [ "$offered" = "$listed" ] ||
    fail "the completion offers $(echo $offered) for $command, whose --help lists $(echo $listed)"
done
echo "check-install: both installs stay inside their folders and name each other; the unit verified"
