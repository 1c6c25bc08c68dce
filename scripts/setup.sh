#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need that a fresh
# Debian machine with g++, cmake and GoogleTest lacks. Sourced by the README's
# commands; installs nothing when everything is present.

zntv_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# zntv_setup [windows] [windows32] [aarch64] [armhf] [fuzz] [plot] [package] [format] [ccache] [integrations]:
# the base set plus the named extras; windows32 is the 32-bit (i686) Windows
# build and the 32-bit Wine that runs it; aarch64 and armhf are the ARM Linux
# cross compilers, qemu-user that runs their programs, and the target's C and
# C++ run-time libraries, against which those programs run and from which
# its Debian package takes its dependencies; integrations are the OTA engines
# the fleet integrations are tested with, and the tools that make their
# signed images. dpkg learns each foreign
# architecture (pkg:arch) first.
zntv_setup() {
  local pkgs=(cmake g++ make python3 googletest socat srecord python3-crcmod nlohmann-json3-dev python3-jsonschema) missing=() p want
  # The tests of a host with ModemManager: libsystemd's sd-bus, a private
  # bus with python-dbusmock's mock of it (gdbus waits for its name), and
  # udevadm to read the file of --udev-rules.
  pkgs+=(libsystemd0 dbus-daemon libglib2.0-bin python3-dbusmock udev)
  for want in "$@"; do
    case $want in
      windows) pkgs+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64) ;;
      windows32) pkgs+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386) ;;
      aarch64) pkgs+=(g++-aarch64-linux-gnu qemu-user libc6:arm64 libstdc++6:arm64 libgcc-s1:arm64) ;;
      armhf) pkgs+=(g++-arm-linux-gnueabihf qemu-user libc6:armhf libstdc++6:armhf libgcc-s1:armhf) ;;
      fuzz) pkgs+=(clang libfuzzer-14-dev libclang-rt-14-dev) ;;
      plot) pkgs+=(gnuplot-nox) ;;
      package) pkgs+=(dpkg-dev lintian man-db unzip systemd) ;;
      format) pkgs+=(clang-format) ;;
      ccache) pkgs+=(ccache) ;;
      integrations) pkgs+=(mender-client mender-artifact swupdate rauc squashfs-tools dbus-daemon libglib2.0-bin openssl cpio) ;;
    esac
  done
  for p in "${pkgs[@]}"; do zntv_installed "$p" || missing+=("$p"); done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing with apt-get (needs root and the network): ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    local arch
    for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\([a-z0-9]*\)$/\1/p' | sort -u); do
      dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
    done
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
    zntv_quiet_engines "${missing[@]}"
  fi
}

# zntv_quiet_engines <packages just installed...>: the OTA engines are tools
# of the integrations' test here, not this machine's updaters; under systemd
# their packages enable and start their daemons, which would poll a server
# or listen for images: stop and disable them.
zntv_quiet_engines() {
  [ -d /run/systemd/system ] || return 0
  case " $* " in
    *" mender-client "*) systemctl disable --now mender-client.service >/dev/null 2>&1 ;;
  esac
  case " $* " in
    *" swupdate "*) systemctl disable --now swupdate.socket swupdate.service swupdate-progress.service >/dev/null 2>&1 ;;
  esac
  return 0
}
