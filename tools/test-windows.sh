#!/usr/bin/env bash
# Builds the Windows programs with their tests and runs what can run here:
# the PE and imports check, the medium layout test, and the Win32 platform
# and host tests under wine64 on a private Xvfb display and Wine prefix.
# (This kernel cannot start 32-bit programs: Wine runs the x86_64 twin.)
#
#   tools/test-windows.sh [--build-dir DIR] [--no-build]
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build_dir="$repo/build-windows"
build=yes
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=${2:?--build-dir needs a value}; shift 2 ;;
    --no-build) build=no; shift ;;
    *) echo "test-windows: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

log() { echo "test-windows: $*" >&2; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in wine64 xvfb xauth; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ $build = yes ]; then
  "$repo/tools/build-windows.sh" --arch both --with-tests --build-dir "$build_dir"
fi

status=0
"$repo/tests/win32_imports_test.sh" "$build_dir/i686/Setup.exe" "$build_dir/x86_64/Setup.exe" || status=1
"$repo/tests/windows_medium_test.sh" || status=1

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
prefix=$(mktemp -d)
trap 'WINEPREFIX="$prefix" "$(dirname "$wine")/wineserver" -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

tests_dir="$build_dir/tests-x86_64"
log "running the Win32 tests under Wine"
# Windows not managed by an X window manager: there is none on Xvfb, and
# Wine would wait two seconds for one at every window it destroys.
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -e
  "$0" wineboot --init >/dev/null 2>&1
  "$0" reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1
  rc=0
  "$0" "$1/platform/win32/win32_platform_tests.exe" || rc=1
  "$0" "$1/app/win32/win32_host_tests.exe" || rc=1
  exit $rc
' "$wine" "$tests_dir" || status=1

[ $status -eq 0 ] && log "all passed" || log "FAILED"
exit $status
