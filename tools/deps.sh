#!/bin/bash
# Installs the Debian packages a purpose needs: deps.sh run|test|windows
#
# The Windows tests run the 32-bit program under the 32-bit Wine (wine32,
# from the i386 architecture). Where the kernel cannot start i386 programs,
# the tests run them through qemu-i386-static (tests/windows/wine-prefix.sh).
set -euo pipefail
run="cmake g++ make libjpeg-dev libfltk1.3-dev"
test="$run libgtest-dev libbenchmark-dev xvfb xauth xdotool x11-utils imagemagick"
windows="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64 dpkg-dev nasm wine64 wine32:i386 qemu-user-static xorriso xvfb xauth xdotool x11-utils imagemagick icoutils libxml2-utils osslsigncode openssl"
case "${1:-}" in
  run) wanted=$run ;;
  test) wanted="$test $windows" ;;
  windows) wanted=$windows ;;
  *) echo "usage: $0 run|test|windows" >&2; exit 2 ;;
esac
sudo=
[ "$(id -u)" = 0 ] || sudo=sudo

needs_i386() { [[ " $wanted " == *":i386 "* ]]; }

missing=()
for package in $wanted; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  if needs_i386 && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

