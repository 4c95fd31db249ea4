#!/bin/bash
# Installs the Debian packages a purpose needs: deps.sh run|test|windows
#
# The Windows tests run the 32-bit program under the 32-bit Wine (wine32,
# from the i386 architecture). Where the kernel cannot start i386 programs,
# a binfmt_misc handler runs them through qemu-i386-static.
set -euo pipefail
run="cmake g++ make libjpeg-dev libfltk1.3-dev"
test="$run libgtest-dev libbenchmark-dev xvfb xauth xdotool x11-utils imagemagick"
windows="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64 dpkg-dev nasm wine64 wine32:i386 qemu-user-static xorriso xvfb xauth xdotool x11-utils imagemagick"
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

# The 32-bit Wine loader through qemu, when the kernel cannot start it
# itself. Nothing to do where it starts (natively or through a handler).
if needs_i386 && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt" || true
  if [ -e "$binfmt/register" ] && [ ! -e "$binfmt/qemu-i386" ]; then
    # i386 ELF executables and shared objects; F: the interpreter is opened
    # now, so it also works inside other mount namespaces.
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
      $sudo tee "$binfmt/register" >/dev/null || true
  fi
  /usr/lib/wine/wine --version >/dev/null 2>&1 ||
    echo "deps: this machine cannot start the 32-bit Wine; the Wine tests will run the x86_64 program" >&2
fi
