#!/usr/bin/env bash
# Checks the station mode's systemd unit as a package installs it: systemd's
# own verifier reads it in a scratch root holding the host's system units and
# the installed tree, where its ExecStart must name the installed updater.
# Its Documentation= must name the installed manual page. Any complaint fails
# the check (systemd only warns about an unknown key).
#
# usage: scripts/check-unit.sh <installed root> [<unit file below it>]
# (default usr/lib/systemd/system/zntv-upgrade-watch.service)
set -uo pipefail
installed=${1:?the installed root}
unit=${2:-usr/lib/systemd/system/zntv-upgrade-watch.service}
[ -f "$installed/$unit" ] || { echo "unit: no $unit in $installed" >&2; exit 1; }
command -v systemd-analyze >/dev/null || { echo "unit: systemd-analyze is missing" >&2; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/usr/lib/systemd"
cp -a /usr/lib/systemd/system "$root/usr/lib/systemd/"
cp -a "$installed/." "$root/"
prefix=${unit%lib/systemd/system/*}
complaints=$(MANPATH="$root/${prefix}share/man" systemd-analyze verify --root="$root" "$(basename "$unit")" 2>&1)
status=$?
if [ $status -ne 0 ] || [ -n "$complaints" ]; then
  echo "unit: systemd-analyze verify finds faults in $unit (status $status):" >&2
  echo "$complaints" >&2
  exit 1
fi
echo "unit: $(basename "$unit") verifies cleanly"
