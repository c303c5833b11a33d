#!/usr/bin/env bash
# Installs the build tree into a scratch DESTDIR and checks that every file lands where the system
# bus, systemd and man read it, with its mode, that the bus and systemd start the installed daemon,
# that the daemon runs the power tool where it is installed, and that systemd accepts the unit.
#
#   check-install.sh BUILD_DIR DAEMON TOOL TOOL_BUILT UNIT_DIR SYSUSERS_DIR BIN_DIR MAN_DIR
#
# All paths but BUILD_DIR are absolute install paths; TOOL_BUILT is 1 when the build has the tool.
set -euo pipefail
build=$1 daemon=$2 tool=$3 tool_built=$4 unit_dir=$5 sysusers_dir=$6 bin_dir=$7 man_dir=$8

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" >/dev/null

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

expect_file() {  # path mode
  local file=$root$1
  if [ ! -f "$file" ]; then
    fail "$1 is not installed"
  elif [ "$(stat -c %a "$file")" != "$2" ]; then
    fail "$1 has mode $(stat -c %a "$file"), not $2"
  fi
}

unit=$unit_dir/zelvo-power-helper.service
activation=/usr/share/dbus-1/system-services/com.zelvo.Zelvo.power.service
expect_file /usr/share/dbus-1/system.d/com.zelvo.Zelvo.power.conf 644
expect_file "$activation" 644
expect_file "$unit" 644
expect_file "$sysusers_dir/zelvo-power.conf" 644
expect_file "$daemon" 755
expect_file "$bin_dir/zelvo-power" 755
for page in man1/zelvo-power.1 man8/zelvo-power-helper.8 man8/zelvo-pmset.8; do
  expect_file "$man_dir/$page" 644
done

# The bus starts the daemon through the unit, and either way it is the installed binary.
value() { sed -n "s/^$2=//p" "$root$1"; }
[ "$(value "$activation" Exec)" = "$daemon" ] || fail "the activation file runs '$(value "$activation" Exec)'"
[ "$(value "$activation" SystemdService)" = "$(basename "$unit")" ] ||
  fail "the activation file starts '$(value "$activation" SystemdService)'"
[ "$(value "$unit" ExecStart)" = "$daemon" ] || fail "the unit runs '$(value "$unit" ExecStart)'"
# The state file's folder is the one systemd makes for the unit.
grep -qx 'StateDirectory=zelvo-power' "$root$unit" || fail "the unit has no StateDirectory=zelvo-power"
grep -q "/var/lib/zelvo-power/power-helper-state.json" "$root$daemon" ||
  fail "the daemon keeps its state elsewhere than the unit's state directory"

# The tool path is fixed in the daemon at build time: it must be where the tool is installed.
grep -q "$tool" "$root$daemon" || fail "the daemon does not run $tool"
if [ "$tool_built" = 1 ]; then
  expect_file "$tool" 755
fi

# systemd's own check of the unit, in a root made of the install and the system's unit folder (the
# unit names sysinit.target and dbus.socket). It reports problems on its output, not its status. The
# manual page named by Documentation= is checked above in the install, which man does not search.
if command -v systemd-analyze >/dev/null && [ -d /lib/systemd/system ]; then
  mkdir -p "$root$unit_dir"
  cp -rn /lib/systemd/system/. "$root$unit_dir/"
  if ! report=$(systemd-analyze verify --man=no --root="$root" "$(basename "$unit")" 2>&1) || [ -n "$report" ]; then
    fail "systemd-analyze verify: $report"
  fi
fi

[ "$failures" -eq 0 ] && echo "installed files in place"
exit $((failures > 0))
