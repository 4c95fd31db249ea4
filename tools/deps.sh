#!/bin/bash
# Installs the Debian packages a purpose needs: deps.sh run|test|windows
set -euo pipefail
run="cmake g++ make libjpeg-dev libfltk1.3-dev"
test="$run libgtest-dev libbenchmark-dev xvfb xauth xdotool x11-utils imagemagick"
windows="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64 dpkg-dev nasm wine64 xvfb xauth xdotool x11-utils imagemagick"
case "${1:-}" in
  run) wanted=$run ;;
  test) wanted="$test $windows" ;;
  windows) wanted=$windows ;;
  *) echo "usage: $0 run|test|windows" >&2; exit 2 ;;
esac
missing=()
for package in $wanted; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=
[ "$(id -u)" = 0 ] || sudo=sudo
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
