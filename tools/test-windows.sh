#!/usr/bin/env bash
# Builds the Windows programs with their tests and runs what can run here:
# the PE and imports check, the medium layout test, and the Win32 platform
# and host tests under Wine, each on a private Xvfb display and Wine prefix
# (tests/windows/wine-prefix.sh chooses how the 32-bit programs run).
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

bash "$repo/tools/deps.sh" windows

if [ $build = yes ]; then
  "$repo/tools/build-windows.sh" --arch both --with-tests --build-dir "$build_dir"
fi

status=0
"$repo/tests/win32_imports_test.sh" "$build_dir/i686/Setup.exe" "$build_dir/x86_64/Setup.exe" || status=1
"$repo/tests/windows_medium_test.sh" "$build_dir/i686/Setup.exe" || status=1

# The i686 tests in 32-bit prefixes (or their x86_64 twins, with a line
# saying why, where this machine cannot run 32-bit programs).
export QAR_WINE_TEMPLATE="$build_dir/wine-template"
log "running the Win32 tests under Wine"
for t in platform/win32/win32_platform_tests.exe app/win32/win32_host_tests.exe; do
  "$repo/tests/windows/run-wine-test.sh" "$build_dir/tests-i686/$t" || status=1
done

[ $status -eq 0 ] && log "all passed" || log "FAILED"
exit $status
