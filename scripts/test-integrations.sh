#!/usr/bin/env bash
# Shows, offline, that the fleet integrations under integrations/ upgrade the
# simulated module through the OTA engines as Debian ships them, and that a
# failing module fails the engine's install with the updater's reason in its
# output. The payload is the static build's zntv-upgrade; each engine runs
# once against a simulated module that takes the upgrade and once against
# one that answers its third image write with an error (--sdl-error-at 3):
#   Mender: the Update Module and the inventory script installed where the
#     client looks for them, a module-image artifact of type zntv-module,
#     `mender install` and `mender show-artifact`;
#   SWUpdate: the Lua handler on Lua's search path, an .swu signed with a
#     throwaway key, `swupdate -i`;
#   RAUC: a bundle of the install hook and the updater signed with that key,
#     the zntv slot in a gateway's system.conf, `rauc install` through a
#     RAUC service on a system bus of the test's own.
# Everything runs in a mount namespace of its own whose file systems hide the
# engines' state (/etc/mender, /usr/share/mender, /var/lib) and the kernel's
# command line, and hold the scratch folder, so the host keeps nothing; the
# bus and the RAUC service are ended with the test, and no service of the
# host's is started.
#
# usage: scripts/test-integrations.sh     (as root)
# ZNTV_STATIC_BUILD_DIR holds the static build (default build-static); what
# is missing is built. Exit status 0 only when every check held.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
static=${ZNTV_STATIC_BUILD_DIR:-$root/build-static}
source "$root/scripts/setup.sh"
source "$root/scripts/module-sim.sh"

fail() { echo "integrations: $*" >&2; exit 1; }

if [ "${1:-}" != --in-namespace ]; then
  zntv_setup integrations || exit 1
  for target in zntv-upgrade zntv-module-sim; do
    zntv_build_target "$static" "$target" -DZNTV_STATIC=ON -DZNTV_BUILD_TESTS=OFF || exit 1
  done
  scratch=$(mktemp -d)
  unshare --mount --propagation private -- "${BASH_SOURCE[0]}" --in-namespace "$scratch"
  status=$?
  # Its contents lived on the namespace's own file system.
  rmdir "$scratch" || status=1
  exit "$status"
fi

scratch=$2
for dir in "$scratch" /etc/mender /usr/share/mender /var/lib; do
  mount -t tmpfs -o mode=0755 zntv-integrations "$dir" || fail "cannot mount a scratch file system on $dir"
done
trap zntv_sim_stop EXIT
image=$(sed -n 2p "$static/resources/embedded_inputs.txt")
payload=$scratch/payload
mkdir -p "$payload"
cp "$static/zntv-upgrade" "$payload/zntv-upgrade" || fail "no static updater in $static"

# expect_refusal <engine> <command...>: runs the engine's install of a module
# that fails; the install must fail too.
expect_refusal() {
  local engine=$1 status
  shift
  "$@"
  status=$?
  echo "integrations: $engine: exit status $status"
  [ "$status" -ne 0 ] || fail "$engine succeeded with a failing module"
}

# start_module <name> [simulator options...]: a simulated module of its own,
# in <scratch>/<name>, whose environment the engines pass on to the updater.
start_module() {
  local work=$scratch/$1
  shift
  mkdir -p "$work"
  zntv_sim_start "$work" 10 "$static/zntv-module-sim" --root "$work/sim" --expect-image "$image" "$@" ||
    fail "the module simulator did not start"
}

# end_module <name> upgraded|failed: the simulator's verdict on the flash.
end_module() {
  local work=$scratch/$1 verdict
  [ "$2" = upgraded ] || kill -TERM "$zntv_sim_pid" 2>/dev/null
  wait "$zntv_sim_pid"
  zntv_sim_pid=
  verdict=$(tail -n +4 "$work/sim.out")
  echo "integrations: $1: $verdict"
  case $2 in
    upgraded) [[ $verdict == "Flash verified: "* ]] || fail "$1: the module was not upgraded" ;;
    failed) [[ $verdict == "Flash differs "* ]] || fail "$1: the module's flash is not the cut-off one" ;;
  esac
}

# expect_lines <output file> <text...>: each text stands in the output.
expect_lines() {
  local output=$1 text
  shift
  for text in "$@"; do
    grep -F -m 1 -- "$text" "$output" | cut -c 1-400 | grep . || { tail -n 30 "$output"; fail "no \"$text\" in $output"; }
  done
}

# --- Mender ------------------------------------------------------------------

mkdir -p /var/lib/mender /usr/share/mender/modules/v3 /usr/share/mender/inventory
install -m 0755 "$root/integrations/mender/zntv-module" /usr/share/mender/modules/v3/ &&
  install -m 0755 "$root/integrations/mender/mender-inventory-zntv" /usr/share/mender/inventory/ ||
  fail "no Mender integration in $root/integrations/mender"
echo device_type=zntv-gateway >/var/lib/mender/device_type
echo artifact_name=factory >/etc/mender/artifact_info
echo '{}' >/etc/mender/mender.conf

# mender_artifact <name>: a module-image artifact carrying the updater.
mender_artifact() {
  mender-artifact write module-image -T zntv-module -t zntv-gateway -n "$1" \
    -f "$payload/zntv-upgrade" -o "$scratch/$1.mender" >/dev/null || fail "mender-artifact failed"
}

# run_mender <name> <artifact>: installs the artifact as the device's Mender
# does from the command line, its output in <scratch>/<name>.log.
run_mender() {
  mender --no-syslog install "$scratch/$2.mender" >"$scratch/$1.log" 2>&1
}

start_module mender-upgraded
inventory=$(PATH=$payload:$PATH /usr/share/mender/inventory/mender-inventory-zntv) || fail "the inventory script failed"
echo "integrations: inventory: $inventory"
[ "$inventory" = "zntv_module=$DEV_PATH/ttyUSB0 1-2" ] || fail "the inventory script reported something else"
mender_artifact zntv-upgrade-1
run_mender mender-upgraded zntv-upgrade-1 ||
  { tail -n 30 "$scratch/mender-upgraded.log"; fail "mender install failed"; }
expect_lines "$scratch/mender-upgraded.log" 'Upgraded 1 of 1 modules' 'Committing Artifact...'
end_module mender-upgraded upgraded
[ "$(mender --no-syslog show-artifact 2>/dev/null)" = zntv-upgrade-1 ] || fail "mender show-artifact does not name zntv-upgrade-1"
echo "integrations: mender show-artifact: zntv-upgrade-1"

start_module mender-failed --sdl-error-at 3
mender_artifact zntv-upgrade-2
expect_refusal "mender install" run_mender mender-failed zntv-upgrade-2
expect_lines "$scratch/mender-failed.log" 'Failed to receive SDL response [2 of 276]' 'Upgraded 0 of 1 modules' \
  'Update module terminated abnormally: exit status 255'
end_module mender-failed failed
echo "integrations: mender show-artifact: $(mender --no-syslog show-artifact 2>/dev/null)"

# --- SWUpdate ----------------------------------------------------------------

swu=$scratch/swu
mkdir -p "$swu"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$swu/key.pem" -out "$swu/cert.pem" -days 1 \
  -subj /CN=zntv-integrations -batch 2>/dev/null || fail "openssl cannot make a key"
# The .swu: sw-description with the payload's hash, its signature, the
# payload, in that order.
(
  cd "$swu" && cp "$payload/zntv-upgrade" . &&
    sed "s/@zntv-upgrade/$(sha256sum zntv-upgrade | cut -d ' ' -f 1)/" \
      "$root/integrations/swupdate/sw-description" >sw-description &&
    openssl cms -sign -in sw-description -out sw-description.sig -signer cert.pem -inkey key.pem \
      -outform DER -nosmimecap -binary &&
    printf '%s\n' sw-description sw-description.sig zntv-upgrade | cpio -o -H crc >zntv.swu 2>/dev/null
) || fail "cannot make the .swu"

# run_swupdate <name>: installs the .swu as SWUpdate does from the command
# line, with the handler on Lua's search path; its output in <name>.log.
run_swupdate() {
  mkdir -p "$scratch/$1.tmp"
  TMPDIR=$scratch/$1.tmp LUA_PATH="$root/integrations/swupdate/?.lua;;" \
    swupdate -v -H zntv-gateway:1.0 -k "$swu/cert.pem" -i "$swu/zntv.swu" >"$scratch/$1.log" 2>&1
}

start_module swupdate-upgraded
run_swupdate swupdate-upgraded || { tail -n 30 "$scratch/swupdate-upgraded.log"; fail "swupdate failed"; }
expect_lines "$scratch/swupdate-upgraded.log" 'Upgraded 1 of 1 modules' 'zntv: every module upgraded'
end_module swupdate-upgraded upgraded

start_module swupdate-failed --sdl-error-at 3
expect_refusal swupdate run_swupdate swupdate-failed
expect_lines "$scratch/swupdate-failed.log" 'Upgraded 0 of 1 modules' \
  'ERROR : {"v":1,"event":"failure","t":' '"step":"Failed to receive SDL response [2 of 276]"' \
  'ERROR : zntv: zntv-upgrade ended with exit 255' 'Installation failed !'
end_module swupdate-failed failed

# --- RAUC --------------------------------------------------------------------

rauc=$scratch/rauc
mkdir -p "$rauc/bundle" "$rauc/mnt" "$rauc/data"
cp "$root/integrations/rauc/manifest.raucm" "$root/integrations/rauc/zntv-hook" "$payload/zntv-upgrade" "$rauc/bundle/" &&
  rauc bundle --cert="$swu/cert.pem" --key="$swu/key.pem" "$rauc/bundle" "$rauc/zntv.raucb" >"$rauc/bundle.log" 2>&1 ||
  { cat "$rauc/bundle.log"; fail "cannot make the RAUC bundle"; }
# The gateway: booted from its root file system's slot A, which RAUC learns
# from the kernel's command line, with the zntv slot added to its
# system.conf; RAUC's mounts and state in the scratch folder.
: >"$rauc/rootfs.img"
echo rauc.slot=A >"$rauc/cmdline"
mount --bind "$rauc/cmdline" /proc/cmdline || fail "cannot give RAUC a kernel command line"
{
  printf '[system]\ncompatible=zntv-gateway\nbootloader=noop\nmountprefix=%s\ndata-directory=%s\n\n' "$rauc/mnt" "$rauc/data"
  printf '[keyring]\npath=%s\n\n' "$swu/cert.pem"
  printf '[slot.rootfs.0]\ndevice=%s\ntype=raw\nbootname=A\n\n' "$rauc/rootfs.img"
  cat "$root/integrations/rauc/system.conf"
} >"$rauc/system.conf"
# A system bus of the test's own, on which `rauc install` reaches the RAUC
# service; its address comes through a FIFO once it listens.
printf '%s\n' '<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"' \
  ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">' \
  "<busconfig><type>system</type><listen>unix:path=$rauc/bus</listen><auth>EXTERNAL</auth>" \
  '<policy context="default"><allow user="root"/><allow own="*"/><allow send_destination="*"/>' \
  '<allow receive_sender="*"/></policy></busconfig>' >"$rauc/bus.conf"
mkfifo "$rauc/bus.address"
dbus-daemon --config-file="$rauc/bus.conf" --nofork --nopidfile --print-address=3 3>"$rauc/bus.address" \
  2>"$rauc/bus.log" &
bus_pid=$!
service_pid=
stop_rauc() {
  [ -z "$service_pid" ] || { kill "$service_pid"; wait "$service_pid"; }
  service_pid=
}
trap 'stop_rauc; kill "$bus_pid"; wait "$bus_pid"; zntv_sim_stop' EXIT
read -r DBUS_SYSTEM_BUS_ADDRESS <"$rauc/bus.address" || { cat "$rauc/bus.log"; fail "the test's system bus did not start"; }
export DBUS_SYSTEM_BUS_ADDRESS

# run_rauc <name>: `rauc install` of the bundle, by a RAUC service started
# for it (the hook gets its environment: the simulated module's); the
# client's output in <name>.log, the service's in <name>.service.log.
run_rauc() {
  rauc service --conf="$rauc/system.conf" >"$scratch/$1.service.log" 2>&1 &
  service_pid=$!
  gdbus wait --system --timeout 10 de.pengutronix.rauc || fail "the RAUC service did not start"
  rauc install "$rauc/zntv.raucb" >"$scratch/$1.log" 2>&1
  local status=$?
  stop_rauc
  return "$status"
}

start_module rauc-upgraded
run_rauc rauc-upgraded ||
  { tail -n 30 "$scratch/rauc-upgraded.log" "$scratch/rauc-upgraded.service.log"; fail "rauc install failed"; }
expect_lines "$scratch/rauc-upgraded.log" 'succeeded'
expect_lines "$scratch/rauc-upgraded.service.log" 'Upgraded 1 of 1 modules'
end_module rauc-upgraded upgraded

start_module rauc-failed --sdl-error-at 3
expect_refusal "rauc install" run_rauc rauc-failed
expect_lines "$scratch/rauc-failed.log" 'failed to run slot hook: Child process exited with code 255'
expect_lines "$scratch/rauc-failed.service.log" 'Failed to receive SDL response [2 of 276]' 'Upgraded 0 of 1 modules'
end_module rauc-failed failed
echo "integrations: every engine upgraded the module and failed with it"
