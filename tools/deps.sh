#!/bin/bash
# Installs the Debian packages a purpose needs: deps.sh run|test|windows
#
# The Windows tests run the 32-bit program under the 32-bit Wine (wine32,
# from the i386 architecture). Where the kernel cannot start i386 programs,
# the tests run them through qemu-i386-static (tests/windows/wine-prefix.sh),
# which must be 8 or later: Debian 12's qemu 7.2 ignores MAP_FIXED_NOREPLACE,
# and the 32-bit Wine then probes its address space before every process.
# That qemu comes from bookworm-backports, and only that package does.
# locales gives localedef the Japanese locale's sources, for the scenario
# that runs the wizard in code page 932.
set -euo pipefail
. "$(dirname "$0")/apt-sources.sh"
run="cmake g++ make libjpeg-dev libfltk1.3-dev"
test="$run libgtest-dev libbenchmark-dev xvfb xauth xdotool x11-utils imagemagick bindfs"
windows="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64 dpkg-dev nasm wine64 wine32:i386 xorriso xvfb xauth xdotool x11-utils imagemagick icoutils libxml2-utils osslsigncode openssl locales"
case "${1:-}" in
  run) wanted=$run ;;
  test) wanted="$test $windows" ;;
  windows) wanted=$windows ;;
  *) echo "usage: $0 run|test|windows" >&2; exit 2 ;;
esac
sudo=
[ "$(id -u)" = 0 ] || sudo=sudo
apt_get() { DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=900 "$@"; }

needs_i386() { [[ " $wanted " == *":i386 "* ]]; }

# An i386 program of 96 bytes that exits with 42, started by the kernel
# itself: not when the only way it runs is a qemu handler of the machine.
kernel_runs_i386() {
  local probe status=0
  probe=$(mktemp)
  printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0''\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x60\0\0\0\x60\0\0\0\x05\0\0\0\0\x10\0\0''\xbb\x2a\0\0\0\xb8\x01\0\0\0\xcd\x80' >"$probe"
  chmod 700 "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  [ "$status" = 42 ] || return 1
  ! grep -qs '^interpreter .*qemu-i386' /proc/sys/fs/binfmt_misc/*
}

qemu_usable() {
  local version
  version=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null) &&
    dpkg --compare-versions "$version" ge 1:8
}

missing=()
for package in $wanted; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
qemu=no
needs_i386 && ! kernel_runs_i386 && ! qemu_usable && qemu=yes
if [ ${#missing[@]} -gt 0 ] || [ $qemu = yes ]; then
  if needs_i386 && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  [ $qemu = no ] || AS_ROOT=$sudo apt_add_entry deb bookworm-backports qar-bookworm-backports.sources deps || true
  apt_get update
  [ ${#missing[@]} = 0 ] || apt_get install -y --no-install-recommends "${missing[@]}"
  [ $qemu = no ] || apt_get install -y --no-install-recommends -t bookworm-backports qemu-user-static
fi
